// The archive copy of a printout ("FILE:" channels, the BON archive): each line
// with its NUL bytes written as "{0}" and CR LF after it, then a last line
// "###CRC:" with the check value over the lines as archived (without their
// line ends). The print engine writes it; the status page reads it back.
#pragma once

#include <string>
#include <vector>

namespace tolven::printing {

std::string FormatArchivedPrintout(const std::vector<std::string>& lines);

struct ArchivedPrintout {
  enum class Check { Ok, Wrong, Missing };
  std::vector<std::string> lines;  // "{0}" turned back into NUL bytes
  Check check = Check::Missing;
};
ArchivedPrintout ParseArchivedPrintout(const std::string& contents);

}  // namespace tolven::printing
