#include "startup/scramble.h"

#include <array>
#include <cstdint>

namespace tolven {

namespace {
// Drawn once from a seeded generator (random fraction x 255, rounded) and frozen
// here: changing a single value makes every coded password unreadable.
constexpr std::array<uint8_t, 101> kKeystream = {
    26,  192, 65,  224, 224, 225, 74,  98,  239, 220, 65,  172, 212, 84,  118, 214, 142, 85,  224, 36,  58,
    187, 61,  37,  58,  184, 74,  15,  187, 199, 129, 114, 250, 159, 111, 81,  56,  50,  15,  201, 129, 240,
    116, 154, 245, 45,  24,  210, 108, 216, 30,  177, 228, 246, 10,  153, 162, 172, 204, 245, 5,   148, 238,
    160, 30,  146, 255, 33,  235, 12,  17,  49,  194, 202, 154, 174, 82,  33,  219, 252, 124, 181, 180, 198,
    94,  210, 125, 189, 78,  174, 190, 185, 14,  46,  223, 21,  195, 220, 251, 240, 120,
};
}  // namespace

std::string ScrambleText(std::string_view text) {
  std::string out(text);
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char>(static_cast<uint8_t>(out[i]) ^ kKeystream[i % kKeystream.size()]);
  }
  return out;
}

}  // namespace tolven
