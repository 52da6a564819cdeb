#include "status/html.h"

#ifdef TOLVEN_HAVE_QRENCODE
#include <qrencode.h>
#endif

#include <algorithm>
#include <cstdio>

namespace tolven::status {

std::string HtmlText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default:
        if ((static_cast<unsigned char>(c) < 32 && c != '\n' && c != '\t') || c == 127) break;
        out += c;
    }
  }
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 32 || u == 127 || c == '<' || c == '>' || c == '&') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

#ifndef TOLVEN_HAVE_QRENCODE
// Built without the QR library (Windows): the page shows the QR text alone.
std::string QrSvg(const std::string&, int) { return ""; }
#else
std::string QrSvg(const std::string& data, int pixels) {
  if (data.empty()) return "";
  QRcode* code = QRcode_encodeData(static_cast<int>(data.size()), reinterpret_cast<const unsigned char*>(data.data()),
                                   0, QR_ECLEVEL_M);
  if (code == nullptr) return "";
  const int width = code->width;
  const int size = width + 8;  // four modules of quiet zone on each side
  std::string path;
  for (int y = 0; y < width; ++y) {
    int x = 0;
    while (x < width) {
      if ((code->data[y * width + x] & 1) == 0) {
        ++x;
        continue;
      }
      int run = 0;
      while (x + run < width && (code->data[y * width + x + run] & 1) != 0) ++run;
      path += "M" + std::to_string(x + 4) + " " + std::to_string(y + 4) + "h" + std::to_string(run) + "v1h-" +
              std::to_string(run) + "z";
      x += run;
    }
  }
  QRcode_free(code);
  const std::string s = std::to_string(size);
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"qr\" role=\"img\" aria-label=\"QR-Code\" width=\"" +
         std::to_string(pixels) + "\" height=\"" + std::to_string(pixels) + "\" viewBox=\"0 0 " + s + " " + s +
         "\" shape-rendering=\"crispEdges\"><rect width=\"" + s + "\" height=\"" + s +
         "\" fill=\"#fff\"/><path fill=\"#000\" d=\"" + path + "\"/></svg>";
}
#endif

namespace {

std::string SpanHtml(const PaperSpan& s) {
  std::string classes;
  if (s.bold) classes += " b";
  if (s.underline) classes += " u";
  if (s.red) classes += " red";
  if (s.narrow) classes += " n";
  const std::string text = HtmlText(s.text);
  if (s.doubleWidth || s.doubleHeight) {
    // The outer box takes the room the characters take on paper; the inner one
    // stretches the glyphs into it, so nothing reaches beyond the paper.
    const size_t chars = s.text.size() * (s.doubleWidth ? 2 : 1);
    const char* scale = s.doubleWidth && s.doubleHeight ? "dwh" : s.doubleWidth ? "dw" : "dh";
    classes += " big";
    return "<span class=\"" + classes.substr(1) + "\" style=\"width:" + std::to_string(chars) + "ch\"><span class=\"" +
           scale + "\">" + text + "</span></span>";
  }
  if (classes.empty()) return text;
  return "<span class=\"" + classes.substr(1) + "\">" + text + "</span>";
}

}  // namespace

std::string PaperHtml(const std::vector<PaperLine>& paper) {
  int columns = 24;
  for (const PaperLine& l : paper) columns = std::max(columns, l.Columns());
  std::string out = "<div class=\"paper\" style=\"width:" + std::to_string(columns) + "ch\">";
  for (const PaperLine& l : paper) {
    switch (l.mark) {
      case PaperMark::None: {
        std::string cls = "l";
        if (l.Tall()) cls += " tall";
        if (l.align == 1) cls += " ac";
        if (l.align == 2) cls += " ar";
        out += "<div class=\"" + cls + "\">";
        for (const PaperSpan& s : l.spans) out += SpanHtml(s);
        out += "</div>";
        break;
      }
      case PaperMark::Qr: {
        const std::string svg = QrSvg(l.qrData);
        out += "<div class=\"qrbox\">";
        out += svg.empty() ? "<div class=\"mark\">[QR-Code nicht darstellbar]</div>" : svg;
        out += "<div class=\"qrtext\">" + HtmlText(l.qrData) + "</div></div>";
        break;
      }
      case PaperMark::Cut: out += "<div class=\"cut\" title=\"Schnitt\">&#9986; Schnitt</div>"; break;
      case PaperMark::Drawer:
      case PaperMark::Buzzer: out += "<div class=\"mark pulse\">&#9889; " + HtmlText(l.markText) + "</div>"; break;
      default: out += "<div class=\"mark\">[" + HtmlText(l.markText) + "]</div>"; break;
    }
  }
  return out + "</div>";
}

const char* PaperCss() {
  return ".paper{font-family:\"DejaVu Sans Mono\",\"Liberation Mono\",monospace;background:#fffef6;color:#111;"
         "padding:.6em .8em;box-sizing:content-box;border:1px solid #ccc;box-shadow:0 1px 3px #bbb;font-size:13px;"
         "max-width:none}"
         ".paper .l{white-space:pre;line-height:1.25em;min-height:1.25em;overflow:visible}"
         // Double height grows upwards from the bottom of the character cell, as
         // on the printer; the line keeps the room for it above.
         ".paper .l.tall{padding-top:1.25em}"
         ".paper .ac{text-align:center}.paper .ar{text-align:right}"
         ".paper .b{font-weight:bold}.paper .u{text-decoration:underline}.paper .red{color:#c00}"
         ".paper .n{font-size:.8em}"
         ".paper .big{display:inline-block;white-space:pre;line-height:1.25em}"
         ".paper .dw,.paper .dh,.paper .dwh{display:inline-block;white-space:pre;transform-origin:0 100%}"
         ".paper .dw{transform:scaleX(2)}.paper .dh{transform:scaleY(2)}.paper .dwh{transform:scale(2,2)}"
         ".paper .cut{border-top:2px dashed #888;color:#666;font-size:11px;margin:.5em 0 .2em;text-align:right}"
         ".paper .mark{color:#555;font-style:italic;font-size:11px;margin:.2em 0}"
         ".paper .pulse{color:#8a5a00}"
         ".paper .qrbox{margin:.4em 0;text-align:center}"
         ".paper .qrtext{font-size:9px;color:#555;word-break:break-all;white-space:normal;text-align:left}";
}

}  // namespace tolven::status
