#include "printing/convert_umlauts.h"

namespace tolven::printing {

std::string ConvertUmlauts(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    switch (static_cast<unsigned char>(ch)) {
      case 0xC4: out += static_cast<char>(142); break;  // Ä
      case 0xE4: out += static_cast<char>(132); break;  // ä
      case 0xD6: out += static_cast<char>(153); break;  // Ö
      case 0xF6: out += static_cast<char>(148); break;  // ö
      case 0xDC: out += static_cast<char>(154); break;  // Ü
      case 0xFC: out += static_cast<char>(129); break;  // ü
      case 0xDF: out += static_cast<char>(225); break;  // ß
      case 0x80: out += static_cast<char>(213); break;  // €
      case 0xE9: out += 'e'; break;                     // é
      case 0xF3: out += 'o'; break;                     // ó
      case 0xFA: out += 'u'; break;                     // ú
      default: out += ch;
    }
  }
  return out;
}

std::string PrintableText(std::string_view text) {
  std::string out(text);
  for (char& ch : out) {
    if (static_cast<unsigned char>(ch) < 32) ch = '.';
  }
  return out;
}

}  // namespace tolven::printing
