// The check value of archived printouts: CRC-16 with the reflected CCITT
// polynomial 0x8408, start value 0 and no final XOR (the KERMIT parameters),
// over the Windows-1252 code of every character.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolven {

uint16_t Crc16Kermit(std::string_view text);
// The CRC as two characters: the low byte first, then the high byte. Hex-encoded
// this gives the four digits of the "###CRC:" line ("123456789" -> "8921").
std::string Crc16Text(std::string_view text);

}  // namespace tolven
