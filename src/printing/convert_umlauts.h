// Character conversions of the print engine.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolven::printing {

// German letters and the euro sign to the code-page 437/850 bytes that receipt
// printers expect (Ä 142, ä 132, Ö 153, ö 148, Ü 154, ü 129, ß 225, € 213);
// é, ó and ú lose their accent. Every other character stays as it is.
std::string ConvertUmlauts(std::string_view text);

// The printer commands (names for GetPrinterCode) a printout may hold.
const std::vector<std::string>& PrinterCommandNames();

// The umlaut conversion for a line that may hold printer commands (`codes`,
// their current bytes): a line that is a command goes out byte for byte, and
// inside a text line a command beginning with a control character keeps its
// bytes too; only the text around it is converted. A drawer pulse configured as
// 27,112,0,25,250 must not turn into ESC p 0 25 "u".
std::string ConvertUmlautsKeepingCodes(std::string_view line, const std::vector<std::string>& codes);

// Every character below code 32 replaced by "." (for the print log).
std::string PrintableText(std::string_view text);

}  // namespace tolven::printing
