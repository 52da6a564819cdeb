// The ESC/POS QR-code command (GS ( k): one print line that a receipt printer
// turns into the code, and the way back to the encoded text for printers that
// can only print plain text.
#pragma once

#include <string>

namespace tolven::printing {

// Model 2, the given module size (dots), error correction level M, store, print.
std::string EscPosQrCode(const std::string& data, int moduleSize = 4);
// True when the line starts with GS ( k.
bool IsQrCommandLine(const std::string& line);
// The text stored by the line's "store data" command; false when there is none
// or a length runs past the end of the line.
bool QrCodeData(const std::string& line, std::string& data);

}  // namespace tolven::printing
