// How a printout is laid out for a printer of the print spooler. Receipt
// printers get the ESC/POS bytes themselves (what their Windows drivers did
// through device fonts: double size, cut, drawer and buzzer pulses, stored
// logos, pictures); every other printer gets plain text in pages of 75 lines.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/status.h"

namespace tolven::printing {

// True for the receipt printers among the spooler's printers, by their name
// ("_" and "-" count as blanks). The default printer ("WIN") also knows the CHD6800.
bool IsReceiptPrinterName(const std::string& name, bool defaultPrinter);
// The same by the queue's name or by its make and model.
bool IsReceiptPrinter(const std::string& name, const std::string& makeAndModel, bool defaultPrinter);

// Characters per inch of a text job for the FONTSIZE value in points: below 4
// or from 21 on count as 9, an empty or unreadable value as the default 10.
int CharsPerInch(const std::string& fontSize);

// The printer codes the spooler layout recognises, looked up once per printout.
struct SpoolerCodes {
  std::string doppeltHoch, doppeltHochBreitAus, doppeltHochBreit, doppeltBreit, halbBreit;
  std::string schublade, schubladeLongPulse, schublade2, schublade2LongPulse, kuechensummer;
  std::string logo, logo2, cutter;
  std::vector<std::string> all;  // every command's bytes, which the umlaut conversion leaves alone

  static SpoolerCodes Lookup(const std::function<std::string(const std::string&)>& code);
};

class SpoolerLayout {
 public:
  using StatusFn = std::function<void(const std::string&)>;
  // Reads a picture file into ESC/POS raster bytes.
  using ImageLoader = std::function<Status(const std::string& path, std::string& raster)>;

  // `receipt`: ESC/POS bytes for a raw job; otherwise text for a text job.
  SpoolerLayout(bool receipt, SpoolerCodes codes, StatusFn status, ImageLoader image);

  void AddLine(const std::string& line);
  void Finish(bool cutAtEnd);

  bool raw() const { return receipt_; }
  // Raw: bytes for the printer. Text: Windows-1252 lines ending in LF, pages
  // separated by form feeds.
  const std::string& data() const { return data_; }
  // Pictures that could not be printed, one text each.
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  void AddReceiptLine(const std::string& line);
  void AddTextLine(const std::string& line);
  bool HasSizeCode(const std::string& line) const;
  std::string RemoveSizeCodes(std::string line) const;
  void ShowStatus(const std::string& text) {
    if (status_) status_(text);
  }

  bool receipt_;
  SpoolerCodes codes_;
  StatusFn status_;
  ImageLoader image_;
  std::string data_;
  std::vector<std::string> problems_;
  int linesOnPage_ = 0;
};

// Recognisers shared by both layouts.
bool IsBarcodeCommandLine(const std::string& line);
// "#BARCODE:" lines: the text between the stars.
std::string BarcodeText(const std::string& line);

}  // namespace tolven::printing
