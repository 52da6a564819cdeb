#include "common/crc16.h"

#include <array>

namespace tolven {

namespace {

constexpr std::array<uint16_t, 256> MakeTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned n = 0; n < 256; ++n) {
    unsigned v = n;
    for (int bit = 0; bit < 8; ++bit) v = (v & 1u) ? (v >> 1) ^ 0x8408u : v >> 1;
    table[n] = static_cast<uint16_t>(v);
  }
  return table;
}

constexpr std::array<uint16_t, 256> kTable = MakeTable();

}  // namespace

uint16_t Crc16Kermit(std::string_view text) {
  unsigned crc = 0;
  for (char ch : text) {
    unsigned c = static_cast<unsigned char>(ch);
    crc = kTable[(crc ^ c) & 0xFFu] ^ (crc >> 8);
  }
  return static_cast<uint16_t>(crc);
}

std::string Crc16Text(std::string_view text) {
  uint16_t crc = Crc16Kermit(text);
  std::string out;
  out += static_cast<char>(crc & 0xFFu);
  out += static_cast<char>(crc >> 8);
  return out;
}

}  // namespace tolven
