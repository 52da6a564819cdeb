#include "platform/win32/printer_system.h"

#include <algorithm>
#include <cwchar>
#include <memory>

#include "platform/win32/system.h"
// The spooler and GDI headers that the lean system header leaves out.
#include <wingdi.h>
#include <winspool.h>

namespace tolven::platform {

namespace {

// As the Linux text jobs: eight lines per inch, ten characters per inch unless set.
constexpr int kLinesPerInch = 8;
constexpr int kDefaultCharsPerInch = 10;
constexpr int kTabStop = 8;

// GDI calls do not all set the last error; a failure without one still names the call.
Status SpoolerError(const std::string& call, const std::string& printer) {
  const DWORD code = GetLastError();
  const std::string context = call + "(" + printer + ")";
  return code ? Win32Error(context, code) : Status::Error(context + ": fehlgeschlagen");
}

// The two-call pattern of the enumerating functions: the size first, then the data.
template <typename Call>
bool FetchBuffer(std::vector<BYTE>& buffer, Call call) {
  DWORD needed = 0;
  if (call(nullptr, 0, &needed)) return true;
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return false;
  buffer.assign(needed, 0);
  return call(buffer.data(), needed, &needed) != FALSE;
}

struct PrinterHandle {
  HANDLE h = nullptr;
  ~PrinterHandle() {
    if (h) ClosePrinter(h);
  }
};

struct TextDc {
  HDC dc = nullptr;
  HFONT font = nullptr;
  ~TextDc() {
    if (font) DeleteObject(font);
    if (dc) DeleteDC(dc);
  }
};

}  // namespace

std::vector<std::vector<std::string>> TextPages(const std::string& text, int columns, int linesPerPage) {
  const size_t width = static_cast<size_t>(std::max(columns, 1));
  const size_t height = static_cast<size_t>(std::max(linesPerPage, 1));
  std::vector<std::vector<std::string>> pages;
  std::vector<std::string> page;
  std::string line;
  bool lineOpen = false;
  auto endLine = [&] {
    if (page.size() == height) {
      pages.push_back(std::move(page));
      page.clear();
    }
    page.push_back(std::move(line));
    line.clear();
    lineOpen = false;
  };
  auto put = [&](char c) {
    if (line.size() == width) endLine();
    line += c;
    lineOpen = true;
  };
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\n') {
      endLine();
    } else if (c == '\f') {
      if (lineOpen) endLine();
      // A form feed on an empty page gives no blank sheet.
      if (!page.empty()) {
        pages.push_back(std::move(page));
        page.clear();
      }
    } else if (c == '\t') {
      do put(' ');
      while (line.size() % kTabStop != 0 && line.size() < width);
    } else if (u >= 0x20 && u != 0x7f) {
      put(c);
    }
  }
  if (lineOpen) endLine();
  if (!page.empty()) pages.push_back(std::move(page));
  return pages;
}

std::vector<std::string> Win32PrinterSystem::InstalledPrinters() {
  std::vector<std::string> names;
  std::vector<BYTE> buffer;
  DWORD count = 0;
  if (!FetchBuffer(buffer, [&](BYTE* data, DWORD size, DWORD* needed) {
        return EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 4, data, size, needed, &count);
      }))
    return names;
  if (buffer.empty()) return names;
  const auto* info = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) {
    if (info[i].pPrinterName) names.push_back(Narrow(info[i].pPrinterName));
  }
  return names;
}

std::string Win32PrinterSystem::DefaultPrinter() {
  DWORD size = 0;
  if (GetDefaultPrinterW(nullptr, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return "";
  std::wstring name(size, L'\0');
  if (!GetDefaultPrinterW(name.data(), &size)) return "";
  name.resize(std::wcslen(name.c_str()));
  return Narrow(name);
}

std::string Win32PrinterSystem::MakeAndModel(const std::string& printer) {
  std::wstring wide = Wide(printer);
  PrinterHandle p;
  if (!OpenPrinterW(wide.data(), &p.h, nullptr)) return "";
  std::vector<BYTE> buffer;
  if (!FetchBuffer(buffer, [&](BYTE* data, DWORD size, DWORD* needed) {
        return GetPrinterW(p.h, 2, data, size, needed);
      }) ||
      buffer.empty())
    return "";
  const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
  return info->pDriverName ? Narrow(info->pDriverName) : "";
}

Status Win32PrinterSystem::Reachable() {
  DWORD needed = 0;
  DWORD count = 0;
  if (EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 4, nullptr, 0, &needed, &count)) return Status::Ok();
  const DWORD code = GetLastError();
  return code == ERROR_INSUFFICIENT_BUFFER ? Status::Ok() : Win32Error("EnumPrintersW", code);
}

Status Win32PrinterSystem::SubmitRaw(const std::string& printer, const std::string& title, const std::string& bytes) {
  std::wstring name = Wide(printer);
  std::wstring docName = Wide(title);
  wchar_t datatype[] = L"RAW";
  PrinterHandle p;
  if (!OpenPrinterW(name.data(), &p.h, nullptr)) return SpoolerError("OpenPrinterW", printer);
  DOC_INFO_1W doc{};
  doc.pDocName = docName.data();
  doc.pDatatype = datatype;
  if (StartDocPrinterW(p.h, 1, reinterpret_cast<BYTE*>(&doc)) == 0) return SpoolerError("StartDocPrinterW", printer);
  // A job cut short would print half a receipt: it is taken off the queue.
  auto fail = [&](const std::string& call) {
    Status st = SpoolerError(call, printer);
    AbortPrinter(p.h);
    return st;
  };
  if (!StartPagePrinter(p.h)) return fail("StartPagePrinter");
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 64 * 1024));
    DWORD written = 0;
    if (!WritePrinter(p.h, const_cast<char*>(bytes.data() + done), chunk, &written)) return fail("WritePrinter");
    if (written == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return fail("WritePrinter");
    }
    done += written;
  }
  if (!EndPagePrinter(p.h)) return fail("EndPagePrinter");
  if (!EndDocPrinter(p.h)) return fail("EndDocPrinter");
  return Status::Ok();
}

Status Win32PrinterSystem::SubmitText(const std::string& printer, const std::string& title, const std::string& text) {
  return SubmitTextJob(printer, title, text, TextLayout{});
}

Status Win32PrinterSystem::SubmitTextJob(const std::string& printer, const std::string& title, const std::string& text,
                                         const TextLayout& layout) {
  std::wstring name = Wide(printer);
  TextDc t;
  t.dc = CreateDCW(L"WINSPOOL", name.c_str(), nullptr, nullptr);
  if (!t.dc) return SpoolerError("CreateDCW", printer);
  const int cpi = layout.charsPerInch > 0 ? layout.charsPerInch : kDefaultCharsPerInch;
  const int charWidth = std::max(1, GetDeviceCaps(t.dc, LOGPIXELSX) / cpi);
  const int lineHeight = std::max(1, GetDeviceCaps(t.dc, LOGPIXELSY) / kLinesPerInch);
  const int columns = GetDeviceCaps(t.dc, HORZRES) / charWidth;
  const int linesPerPage = GetDeviceCaps(t.dc, VERTRES) / lineHeight;
  t.font = CreateFontW(-lineHeight, charWidth, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN,
                       L"Courier New");
  if (!t.font) return SpoolerError("CreateFontW", printer);

  const std::vector<std::vector<std::string>> pages = TextPages(text, columns, linesPerPage);
  if (pages.empty()) return Status::Ok();  // no sheet for a text without lines
  std::wstring docName = Wide(title);
  DOCINFOW doc{};
  doc.cbSize = sizeof(doc);
  doc.lpszDocName = docName.c_str();
  if (StartDocW(t.dc, &doc) <= 0) return SpoolerError("StartDocW", printer);
  auto fail = [&](const std::string& call) {
    Status st = SpoolerError(call, printer);
    AbortDoc(t.dc);
    return st;
  };
  // Every character one pitch wide, whatever the font's own widths.
  std::vector<INT> advances(static_cast<size_t>(std::max(columns, 1)), charWidth);
  for (const std::vector<std::string>& lines : pages) {
    if (StartPage(t.dc) <= 0) return fail("StartPage");
    SelectObject(t.dc, t.font);
    SetBkMode(t.dc, TRANSPARENT);
    int y = 0;
    for (const std::string& line : lines) {
      const std::wstring wide = Wide(line);
      const UINT n = static_cast<UINT>(std::min(wide.size(), advances.size()));
      if (n > 0 && !ExtTextOutW(t.dc, 0, y, 0, nullptr, wide.c_str(), n, advances.data()))
        return fail("ExtTextOutW");
      y += lineHeight;
    }
    if (EndPage(t.dc) <= 0) return fail("EndPage");
  }
  if (EndDoc(t.dc) <= 0) return fail("EndDoc");
  return Status::Ok();
}

std::unique_ptr<PrinterSystem> MakePrinterSystem() { return std::make_unique<Win32PrinterSystem>(); }

}  // namespace tolven::platform
