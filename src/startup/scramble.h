// Light scrambling of the database password in TOLVEN.INI and of customer PINs.
// It keeps a password from being read over a shoulder; it is no encryption.
#pragma once

#include <string>
#include <string_view>

namespace tolven {

// XOR with one fixed 101-character keystream shared by every installation, so
// that an INI file coded by one station is readable by every other. Applying it
// twice gives the input back. Texts longer than 101 characters reuse the
// keystream from its start.
std::string ScrambleText(std::string_view text);

}  // namespace tolven
