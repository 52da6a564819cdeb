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

const std::vector<std::string>& PrinterCommandNames() {
  static const std::vector<std::string> names = {"SCHUBLADE_ALT",
                                                 "SCHUBLADE",
                                                 "SCHUBLADE_LONG_PULSE",
                                                 "SCHUBLADE_2",
                                                 "SCHUBLADE_2_LONG_PULSE",
                                                 "KÜCHENSUMMER",
                                                 "CUTTER",
                                                 "LOGO",
                                                 "LOGO2",
                                                 "DOPPELT_HOCH",
                                                 "DOPPELT_BREIT",
                                                 "DOPPELT_HOCH_BREIT",
                                                 "DOPPELT_HOCH_BREIT_AUS",
                                                 "HALB_BREIT",
                                                 "FARBE0",
                                                 "FARBE1",
                                                 "BELEG_AN",
                                                 "BELEG_AUS"};
  return names;
}

std::string ConvertUmlautsKeepingCodes(std::string_view line, const std::vector<std::string>& codes) {
  for (const std::string& code : codes) {
    if (!code.empty() && line == code) return std::string(line);
  }
  std::string out;
  out.reserve(line.size());
  size_t text = 0;  // start of the text not yet converted
  for (size_t i = 0; i < line.size();) {
    const std::string* found = nullptr;
    if (static_cast<unsigned char>(line[i]) < 32) {
      for (const std::string& code : codes) {
        if (code.size() > 1 && line.compare(i, code.size(), code) == 0 && (!found || code.size() > found->size())) {
          found = &code;
        }
      }
    }
    if (!found) {
      ++i;
      continue;
    }
    out += ConvertUmlauts(line.substr(text, i - text)) + *found;
    i += found->size();
    text = i;
  }
  return out + ConvertUmlauts(line.substr(text));
}

std::string PrintableText(std::string_view text) {
  std::string out(text);
  for (char& ch : out) {
    if (static_cast<unsigned char>(ch) < 32) ch = '.';
  }
  return out;
}

}  // namespace tolven::printing
