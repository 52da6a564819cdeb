// Text for the web. Pages and JSON documents are put together in Windows-1252
// like every other text of the gateway and turned into UTF-8 as a whole when
// they are sent; no text from a terminal, a printout or the database may ever
// be taken for markup.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "status/paper.h"

namespace tolven::status {

// HTML text with & < > " ' escaped; control characters other than line feed
// and tab are dropped.
std::string HtmlText(std::string_view cp1252);
// A JSON string literal (quotes included) with quote, backslash and every
// control character escaped; "<", ">" and "&" too, so the text is safe even
// where a browser takes the document for HTML.
std::string JsonString(std::string_view cp1252);

// The paper as HTML: one block per line, double width and height by CSS
// transforms over a monospaced font, marks for cut, drawer and pictures, QR
// codes as inline SVG. Pure data: no script, no external resource.
std::string PaperHtml(const std::vector<PaperLine>& paper);

// A QR code of the bytes (8-bit mode, error correction M, as the receipt
// printer is told) as an inline SVG element `pixels` wide; "" when the data do
// not fit into a QR code, and always in a build without the QR library (the
// page then shows the text alone).
std::string QrSvg(const std::string& data, int pixels = 160);

// The CSS the page needs for PaperHtml.
const char* PaperCss();

}  // namespace tolven::status
