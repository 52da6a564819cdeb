#include "printing/print_archive.h"

#include <cstddef>

#include "common/crc16.h"
#include "common/text.h"

namespace tolven::printing {

namespace {

const char kCheckPrefix[] = "###CRC:";
const std::string kNul(1, '\0');

std::string CheckValue(const std::string& archivedLines) { return HexEncode(Crc16Text(archivedLines)); }

}  // namespace

std::string FormatArchivedPrintout(const std::vector<std::string>& lines) {
  std::string contents, checked;
  for (const std::string& l : lines) {
    const std::string line = ReplaceAll(l, kNul, "{0}");
    contents += line + "\r\n";
    checked += line;
  }
  return contents + kCheckPrefix + CheckValue(checked) + "\r\n";
}

ArchivedPrintout ParseArchivedPrintout(const std::string& contents) {
  ArchivedPrintout out;
  std::vector<std::string> raw;
  size_t pos = 0;
  while (pos < contents.size()) {
    size_t end = contents.find("\r\n", pos);
    if (end == std::string::npos) end = contents.size();
    raw.push_back(contents.substr(pos, end - pos));
    pos = end == contents.size() ? end : end + 2;
  }
  // The check line closes the file; anything after it was not written by the
  // print engine, so the copy no longer passes its check.
  size_t crcLine = raw.size();
  for (size_t k = 0; k < raw.size(); ++k) {
    if (StartsWith(raw[k], kCheckPrefix)) crcLine = k;
  }
  if (crcLine < raw.size()) {
    const std::string stated = raw[crcLine].substr(sizeof kCheckPrefix - 1);
    const bool last = crcLine + 1 == raw.size();
    raw.erase(raw.begin() + static_cast<std::ptrdiff_t>(crcLine));
    std::string checked;
    for (size_t k = 0; k < crcLine; ++k) checked += raw[k];
    out.check =
        last && ToUpper(stated) == CheckValue(checked) ? ArchivedPrintout::Check::Ok : ArchivedPrintout::Check::Wrong;
  }
  for (const std::string& l : raw) out.lines.push_back(ReplaceAll(l, "{0}", kNul));
  return out;
}

}  // namespace tolven::printing
