// Character conversions of the print engine.
#pragma once

#include <string>
#include <string_view>

namespace tolven::printing {

// German letters and the euro sign to the code-page 437/850 bytes that receipt
// printers expect (Ä 142, ä 132, Ö 153, ö 148, Ü 154, ü 129, ß 225, € 213);
// é, ó and ú lose their accent. Every other character stays as it is.
std::string ConvertUmlauts(std::string_view text);

// Every character below code 32 replaced by "." (for the print log).
std::string PrintableText(std::string_view text);

}  // namespace tolven::printing
