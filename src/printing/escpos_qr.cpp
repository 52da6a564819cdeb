#include "printing/escpos_qr.h"

namespace tolven::printing {

namespace {
const std::string kGsParenK = {29, 40, 107};

std::string Function(const std::string& body) {
  // Parameter length pL pH counts cn, fn and what follows.
  const size_t n = body.size();
  return kGsParenK + static_cast<char>(n & 0xFF) + static_cast<char>((n >> 8) & 0xFF) + body;
}
}  // namespace

std::string EscPosQrCode(const std::string& data, int moduleSize) {
  if (moduleSize < 1) moduleSize = 1;
  if (moduleSize > 16) moduleSize = 16;
  std::string out;
  out += Function(std::string{49, 65, 50, 0});                          // fn 65: model 2
  out += Function(std::string{49, 67, static_cast<char>(moduleSize)});  // fn 67: module size
  out += Function(std::string{49, 69, 49});                             // fn 69: error correction M
  out += Function(std::string{49, 80, 48} + data);                      // fn 80: store the data
  out += Function(std::string{49, 81, 48});                             // fn 81: print the symbol
  return out;
}

bool IsQrCommandLine(const std::string& line) { return line.compare(0, kGsParenK.size(), kGsParenK) == 0; }

bool QrCodeData(const std::string& line, std::string& data) {
  size_t pos = 0;
  while (pos + 5 <= line.size() && line.compare(pos, 3, kGsParenK) == 0) {
    const size_t n = static_cast<unsigned char>(line[pos + 3]) + 256u * static_cast<unsigned char>(line[pos + 4]);
    const size_t body = pos + 5;
    if (body + n > line.size()) return false;
    if (n >= 3 && line[body] == 49 && line[body + 1] == 80) {
      data = line.substr(body + 3, n - 3);
      return true;
    }
    pos = body + n;
  }
  return false;
}

}  // namespace tolven::printing
