#include "printing/customer_receipt.h"

#include <algorithm>
#include <optional>

#include "common/money.h"
#include "common/text.h"
#include "fiscal/tse.h"
#include "printing/escpos_qr.h"
#include "printing/print_archive.h"

namespace tolven::printing {

using db::GetFieldValue;
using db::SqlText;
using db::StationContext;

namespace {

void AddCopyMark(PrintLineBuffer& out) {
  out.AddPrintLine(out.GetPrinterCode("DOPPELT_HOCH") + "*** KOPIE ***" + out.GetPrinterCode("DOPPELT_HOCH_BREIT_AUS"));
  out.AddPrintLine(" ");
}

// A rate as "0.0".
std::string RateText(Rate rate) {
  int64_t tenths = DivRoundHalfEven(rate.units, 1000);
  std::string s =
      std::to_string((tenths < 0 ? -tenths : tenths) / 10) + "." + std::to_string((tenths < 0 ? -tenths : tenths) % 10);
  return tenths < 0 ? "-" + s : s;
}

std::string Amount(int64_t cents) { return FormatCents(cents); }

struct VatSums {
  int64_t vat[3] = {0, 0, 0};
  int64_t gross[3] = {0, 0, 0};
};

// The VAT summary as the receipt record stores it: computed on the sum per key,
// so that paper, record and export agree to the cent (line by line, 3 x 0.10 at
// 19 % would print 0.06 against the 0.05 stored). Keys other than 1 and 2 print
// together, as the lines mark them. False when the stored sums do not add up to
// the printed lines (a record written without them): the caller keeps its sums
// of the lines then.
bool StoredVatSums(const db::ResultSet& head, int64_t total, Rate rate0, VatSums& out) {
  auto value = [&](const char* column) { return GetFieldValue(head, column).AsInt64(); };
  VatSums s;
  s.gross[1] = value("sum1");
  s.vat[1] = value("mwst1");
  s.gross[2] = value("sum2");
  s.vat[2] = value("mwst2");
  s.gross[0] = value("sum0") + value("sum3") + value("sum1alt") + value("sum2alt");
  // Key 0 has no VAT column; at its rate of 0 % there is none to store.
  const int64_t sum0 = value("sum0");
  const int64_t vat0 = rate0.IsZero() || !CheckedCents(sum0) ? 0 : VatOfGross(static_cast<Cents>(sum0), rate0);
  s.vat[0] = vat0 + value("mwst3") + value("mwst1alt") + value("mwst2alt");
  if (s.gross[0] + s.gross[1] + s.gross[2] != total) return false;
  if (total == 0 && GetFieldValue(head, "sum1").IsNull()) return false;
  out = s;
  return true;
}

}  // namespace

struct CustomerReceipt::Layout {
  int textWidth = 27;
  std::string dashes = std::string(38, '-');
  std::string columnHead = "Artikel                        Preis";
  std::string separator = "   ";
};

std::string CustomerReceipt::ArchivePath(int32_t bunr) const {
  return tools_.state().archivBonPfad + "BON" + std::to_string(bunr) + ".BON";
}

std::string CustomerReceipt::ReceiptChannel() {
  std::string channel;
  if (auto sys = tools_.Open("SELECT bondruckport FROM system"); sys && !sys->Eof()) {
    channel = GetFieldValue(*sys, "bondruckport").AsString();
  }
  auto hw = tools_.Open("SELECT bondruckport FROM systemhw WHERE filnr = " + NumStr(tools_.state().filiale) +
                        " AND kasse = " + NumStr(tools_.state().kasse));
  if (hw && !hw->Eof()) channel = GetFieldValue(*hw, "bondruckport").AsString();
  return channel;
}

void CustomerReceipt::AddTexts(PrintLineBuffer& out, const std::string& kf, bool withFonts) {
  auto rs = tools_.Open("SELECT txt, font FROM bontexte WHERE kf = " + SqlText(kf) + " ORDER BY pos");
  for (; rs && !rs->Eof(); rs->MoveNext()) {
    std::string text = GetFieldValue(*rs, "txt").AsString();
    text = text.size() > 1 ? text.substr(1) : "";
    if (text == "." || ToUpper(text) == "<LEER>") text = " ";
    if (text.empty()) continue;
    if (withFonts) {
      std::string on;
      switch (GetFieldValue(*rs, "font").AsInt()) {
        case 1: on = out.GetPrinterCode("DOPPELT_HOCH_BREIT"); break;
        case 2: on = out.GetPrinterCode("DOPPELT_HOCH"); break;
        case 3: on = out.GetPrinterCode("DOPPELT_BREIT"); break;
        default: break;
      }
      if (!on.empty()) text = on + text + out.GetPrinterCode("DOPPELT_HOCH_BREIT_AUS");
    }
    out.AddPrintLine(text);
  }
}

bool CustomerReceipt::Compose(PrintLineBuffer& out, int32_t bunr, const fiscal::ReceiptSignature* signature, bool copy,
                              std::optional<DateTime> printedAt) {
  auto head = tools_.Open("SELECT * FROM kass WHERE bunr = " + NumStr(bunr));
  auto sys = tools_.Open("SELECT * FROM system");
  if (!head || head->Eof() || !sys || sys->Eof()) return false;
  auto flag = [&](const char* column) { return GetFieldValue(*sys, column).AsBool(); };
  const auto& rates = tools_.state().mwst;

  Layout L;
  if (GetFieldValue(*sys, "bontyp").AsInt() == 6) {
    L.textWidth = 18;
    L.dashes = std::string(29, '-');
    L.columnHead = "Artikel               Preis";
    L.separator = " ";
  }
  const int32_t table = GetFieldValue(*head, "tisch").AsInt();
  const int32_t waiter = GetFieldValue(*head, "kanr").AsInt();
  const int32_t customer = GetFieldValue(*head, "kdnr").AsInt();
  const std::string zahlart = GetFieldValue(*head, "zahlart").AsString();

  out.ResetPrintLines();
  if (flag("bonmemlogo")) out.AddPrintLine(out.GetPrinterCode("LOGO"));
  AddTexts(out, "K", true);

  if (customer > 0) {
    auto c = tools_.Open("SELECT vname, name, strasse, plz, ort FROM kunden WHERE kdnr = " + NumStr(customer));
    if (c && !c->Eof() && !GetFieldValue(*c, "name").AsString().empty()) {
      out.AddPrintLine(" ");
      out.AddPrintLine(TrimBlanks(GetFieldValue(*c, "vname").AsString() + " " + GetFieldValue(*c, "name").AsString()));
      out.AddPrintLine(GetFieldValue(*c, "strasse").AsString());
      out.AddPrintLine(GetFieldValue(*c, "plz").AsString() + " " + GetFieldValue(*c, "ort").AsString());
    }
  }

  out.AddPrintLine(" ");
  if (flag("bonshowtitel")) {
    out.AddPrintLine(" ");
    out.AddPrintLine("RECHNUNG");
    out.AddPrintLine(" ");
  }
  if (copy) AddCopyMark(out);
  // A copy shows when the sale was, not when it was printed again.
  const DateTime when = copy ? GetFieldValue(*head, "datumzeit").AsDateTime() : printedAt.value_or(tools_.env().Now());
  out.AddPrintLine(flag("bonshowzeit") ? FormatDMY(when.date) + "  " + FormatHM(when) : FormatDMY(when.date));
  out.AddPrintLine(" ");
  out.AddPrintLine("Bon-Nr " + std::to_string(bunr));
  out.AddPrintLine(" ");
  if (table == 0) {
    out.AddPrintLine("Ausser-Haus-Verkauf");
  } else if (table < 0) {
    out.AddPrintLine("Zimmer " + std::to_string(-int64_t{table}));
  } else {
    out.AddPrintLine("Tisch " + std::to_string(table));
  }
  out.AddPrintLine(" ");
  if (flag("bonshowbed")) {
    out.AddPrintLine("Es bediente Sie " + tools_.WaiterName(waiter).value_or(""));
  }
  out.AddPrintLine(" ");
  out.AddPrintLine(std::string(L.columnHead));
  out.AddPrintLine(L.dashes);

  VatSums sums;
  int64_t total = 0;
  auto lines = tools_.Open("SELECT * FROM kasspro WHERE bunr = " + NumStr(bunr) + " ORDER BY pos");
  for (; lines && !lines->Eof(); lines->MoveNext()) {
    const int64_t menge = GetFieldValue(*lines, "menge").AsInt64();
    const int64_t preis = GetFieldValue(*lines, "preis").AsInt64();
    const std::string artnr = GetFieldValue(*lines, "artnr").AsString();
    const int64_t amount = menge * preis;
    total += amount;
    std::string text = GetFieldValue(*lines, "artbez").AsString();
    int code = GetFieldValue(*lines, "mwstschl").AsInt();
    bool takeAway = false;
    // Lines without an article record (vouchers, VAT rows) keep the text and
    // VAT key the settlement stored with them.
    auto art = tools_.Open("SELECT artbez, mwst, ausserhaus FROM artikel WHERE artnr = " + SqlText(artnr));
    if (art && !art->Eof()) {
      text = GetFieldValue(*art, "artbez").AsString();
      code = GetFieldValue(*art, "mwst").AsInt();
      takeAway = GetFieldValue(*art, "ausserhaus").AsBool();
    }
    if (code == 1 && table == 0 && takeAway) code = 2;
    const int slot = code == 1 ? 1 : code == 2 ? 2 : 0;
    const Rate rate = code >= 0 && code <= 3 ? rates[static_cast<size_t>(code)] : Rate{0};
    const int64_t net = DivRoundHalfEven(amount * 100 * Rate::kScale, 100 * Rate::kScale + rate.units);
    sums.vat[slot] += amount - net;
    sums.gross[slot] += amount;
    if (flag("bonshowartnr")) text = artnr + "-" + text;
    out.AddPrintLine(PadRight(text, L.textWidth) + PadLeft(Amount(amount), 9) + " " + std::to_string(slot));
    const int64_t rabatt = GetFieldValue(*lines, "rabatt").AsInt64();
    if (flag("bonshowrabatt") && rabatt > 0) out.AddPrintLine(" Rabatt " + Amount(menge * rabatt));
    if (menge > 1) out.AddPrintLine(" " + std::to_string(menge) + "x " + Amount(preis));
  }

  out.AddPrintLine(L.dashes);
  const bool big = flag("bonsumgross");
  out.AddPrintLine((big ? out.GetPrinterCode("DOPPELT_HOCH") : "") + PadRight("SUMME EUR", L.textWidth) +
                   PadLeft(Amount(total), 9) + (big ? out.GetPrinterCode("DOPPELT_HOCH_BREIT_AUS") : ""));

  const std::string foreign = GetFieldValue(*sys, "fremdwaeh").AsString();
  if (!foreign.empty()) {
    // The rate with every decimal it has (1.95583 units per unit of the other currency).
    const std::optional<Decimal> kurs = ParseDecimal(GetFieldValue(*sys, "waehkurs").AsString());
    const std::optional<Cents> converted = kurs && kurs->mantissa > 0 ? DivideCents(total, *kurs) : std::nullopt;
    out.AddPrintLine(" ");
    out.AddPrintLine("(entspricht " + foreign + " " + Amount(converted.value_or(0)) + ")");
  }

  StoredVatSums(*head, total, rates[0], sums);

  out.AddPrintLine(" ");
  if (sums.gross[2] == 0 && sums.gross[0] == 0) {
    out.AddPrintLine("MwSt " + PadLeft(RateText(rates[1]), 4) + "%:  EUR" + PadLeft(Amount(sums.vat[1]), 8));
    out.AddPrintLine("Nettobetrag: EUR" + PadLeft(Amount(sums.gross[1] - sums.vat[1]), 8));
  } else {
    for (int code : {1, 2}) {
      out.AddPrintLine(PadLeft(RateText(rates[static_cast<size_t>(code)]), 4) + "% MwSt" +
                       PadLeft(Amount(sums.vat[code]), 6) + L.separator + "Netto" +
                       PadLeft(Amount(sums.gross[code] - sums.vat[code]), 7));
    }
    if (sums.gross[0] > 0) {
      out.AddPrintLine(" 0,0% MwSt" + PadLeft(Amount(sums.vat[0]), 6) + L.separator + "Netto" +
                       PadLeft(Amount(sums.gross[0] - sums.vat[0]), 7));
    }
    const int64_t vat = sums.vat[0] + sums.vat[1] + sums.vat[2];
    const int64_t gross = sums.gross[0] + sums.gross[1] + sums.gross[2];
    out.AddPrintLine("Summe MwSt" + PadLeft(Amount(vat), 6) + L.separator + "Netto" + PadLeft(Amount(gross - vat), 7));
  }

  out.AddPrintLine(" ");
  static const struct {
    const char* zahlart;
    const char* line;
  } kPayments[] = {{"BAR", "BAR-Zahlung"},
                   {"CC", "Zahlung mit Kreditkarte"},
                   {"EC", "Zahlung mit EC-Karte"},
                   {"MASTER", "Zahlung mit Eurocard/Mastercard"},
                   {"VISA", "Zahlung mit VISA-Karte"},
                   {"AMEX", "Zahlung mit American Express"},
                   {"DINERS", "Zahlung mit Diners Club"},
                   {"RECH", "Zahlung per Rechnung"},
                   {"KDKTO", "Zahlung per Kundenkonto"},
                   {"HS3", "Buchung auf Zimmer"}};
  for (const auto& p : kPayments) {
    if (zahlart == p.zahlart) out.AddPrintLine(std::string(p.line));
  }

  if (tools_.state().tseInUse) {
    AddTseBlock(out, *head, signature && signature->bunr == bunr ? signature : nullptr,
                static_cast<int>(L.dashes.size()));
  }

  out.AddPrintLine(" ");
  AddTexts(out, "F", false);
  const int feed = GetFieldValue(*sys, "bonvor").AsInt();
  for (int i = 0; i < feed && i < 100; ++i) out.AddPrintLine(" ");
  return true;
}

void CustomerReceipt::AddLabelled(PrintLineBuffer& out, const std::string& label, const std::string& value, int width) {
  const std::string text = std::string(label);
  if (static_cast<int>(text.size() + 1 + value.size()) <= width) {
    out.AddPrintLine(text + " " + value);
    return;
  }
  out.AddPrintLine(text);
  for (size_t i = 0; i < value.size(); i += static_cast<size_t>(width)) {
    out.AddPrintLine(value.substr(i, static_cast<size_t>(width)));
  }
}

void CustomerReceipt::AddWrapped(PrintLineBuffer& out, const std::string& text, int width) {
  const size_t w = static_cast<size_t>(width);
  std::vector<std::string> words;
  for (size_t i = 0; i < text.size();) {
    const size_t end = std::min(text.find(' ', i), text.size());
    if (end > i) words.push_back(text.substr(i, end - i));
    i = end + 1;
  }
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty() && line.size() + 1 + word.size() <= w) {
      line += " " + word;
      continue;
    }
    if (!line.empty()) out.AddPrintLine(line);
    line = word;
    while (line.size() > w) {
      out.AddPrintLine(line.substr(0, w));
      line = line.substr(w);
    }
  }
  if (!line.empty()) out.AddPrintLine(line);
}

void CustomerReceipt::AddTseBlock(PrintLineBuffer& out, const db::ResultSet& head,
                                  const fiscal::ReceiptSignature* received, int width) {
  out.AddPrintLine(" ");
  std::string signature = GetFieldValue(head, "tse_signatur").AsString();
  int64_t trx = GetFieldValue(head, "tse_trx").AsInt64();
  int64_t start = GetFieldValue(head, "tse_start").AsInt64();
  int64_t stop = GetFieldValue(head, "tse_stop").AsInt64();
  std::string serial = GetFieldValue(head, "tse_sernr").AsString();
  int64_t counter = GetFieldValue(head, "tse_sigcount").AsInt64();
  std::string qr = GetFieldValue(head, "tse_qr").AsString();
  if (signature.empty() && received && !received->result.signature.empty()) {
    // Signed, but the signature could not be stored with the receipt: the
    // guest gets it on paper all the same (the failure has been logged).
    signature = received->result.signature;
    trx = received->result.transactionNumber;
    start = received->result.startTime;
    stop = received->result.finishTime;
    serial = received->result.serialNumber;
    counter = received->result.signatureCounter;
    qr = received->qr;
  }
  if (signature.empty()) {
    // Stored while the TSE failed: the guest must see that this receipt is unsigned.
    const DateTime stored = GetFieldValue(head, "datumzeit").AsDateTime();
    out.AddPrintLine(out.GetPrinterCode("DOPPELT_HOCH") + "TSE ausgefallen" +
                     out.GetPrinterCode("DOPPELT_HOCH_BREIT_AUS"));
    AddWrapped(out, "Sicherheitseinrichtung ausgefallen", width);
    out.AddPrintLine(FormatDMY(stored.date) + " " + FormatHMS(stored));
    return;
  }
  AddLabelled(out, "TSE-Transaktion:", std::to_string(trx), width);
  AddLabelled(out, "TSE-Start:", fiscal::Tse::TSE_UnixTimeToISO(start), width);
  AddLabelled(out, "TSE-Stop:", fiscal::Tse::TSE_UnixTimeToISO(stop), width);
  AddLabelled(out, "TSE-Seriennummer:", serial, width);
  AddLabelled(out, "TSE-Signaturzähler:", std::to_string(counter), width);
  out.AddPrintLine("TSE-Signatur:");
  for (size_t i = 0; i < signature.size(); i += static_cast<size_t>(width)) {
    out.AddPrintLine(signature.substr(i, static_cast<size_t>(width)));
  }
  if (!qr.empty()) {
    out.AddPrintLine(" ");
    out.AddPrintLine(EscPosQrCode(qr, width < 38 ? 3 : 4));
  }
}

Status CustomerReceipt::WriteArchive(PrintLineBuffer& out, int32_t bunr) {
  (void)tools_.env().CreateFolder(tools_.state().archivBonPfad);
  const std::string path = ArchivePath(bunr);
  Status archived = out.PrintLines("FILE:" + path, false, false);
  if (archived) return archived;
  const std::string what = "Archivkopie von Kundenbeleg " + std::to_string(bunr);
  if (pending_) pending_->Keep(path, FormatArchivedPrintout(out.CurrentLines()), what);
  tools_.ui().MessageBox(what + " fehlt: " + archived.message() +
                             (pending_ ? "\r\n\r\nSie wird geschrieben, sobald das Archiv wieder Platz hat." : ""),
                         platform::MsgKind::Critical);
  return archived;
}

CustomerReceipt::Outcome CustomerReceipt::Print(int32_t bunr, const std::string& terminalPrinter,
                                                const fiscal::ReceiptSignature* signature, bool copy) {
  PrintLineBuffer out(printing_);
  const DateTime now = tools_.env().Now();
  if (!Compose(out, bunr, signature, copy, now)) {
    const Status unread = Status::Error("Beleg " + std::to_string(bunr) + " kann nicht gelesen werden.");
    return {unread, unread};
  }
  Outcome outcome;
  outcome.archived = WriteArchive(out, bunr);
  // The guest's receipt goes out whatever became of its archive copy.
  std::string channel = terminalPrinter.empty() ? ReceiptChannel() : "NETZ" + terminalPrinter;
  outcome.printed = out.PrintLines(channel, true, false);
  if (!outcome.printed) printing_.observer.PrintoutFailed(channel, 0, outcome.printed.message());
  if (outcome.printed) {
    if (Status noted = printouts_.Record(bunr, now, copy); !noted) {
      tools_.LogSqlError("Druck von Kundenbeleg " + std::to_string(bunr) + " nicht vermerkt. " + noted.message());
    }
  }
  return outcome;
}

Status CustomerReceipt::Archive(int32_t bunr, const ReceiptPrintouts::Printout& printed) {
  PrintLineBuffer out(printing_);
  if (!Compose(out, bunr, nullptr, printed.copy, printed.at)) {
    return Status::Error("Beleg " + std::to_string(bunr) + " kann nicht gelesen werden.");
  }
  return WriteArchive(out, bunr);
}

Status CustomerReceipt::ReprintFromArchive(int32_t bunr) {
  std::string contents;
  if (Status read = tools_.env().ReadFile(ArchivePath(bunr), contents); !read) {
    return Status::Error("Archivdatei " + ArchivePath(bunr) + " nicht lesbar: " + read.message());
  }
  ArchivedPrintout archived = ParseArchivedPrintout(contents);
  if (archived.check != ArchivedPrintout::Check::Ok) {
    return Status::Error("Archivdatei " + ArchivePath(bunr) + ": Prüfsumme fehlt oder stimmt nicht.");
  }
  // The mark where a copy composed afresh has it: above the date, two lines
  // before the receipt number.
  const std::string number = "Bon-Nr " + std::to_string(bunr);
  const auto found = std::find(archived.lines.begin(), archived.lines.end(), number);
  const size_t at = found == archived.lines.end() || found - archived.lines.begin() < 2
                        ? 0
                        : static_cast<size_t>(found - archived.lines.begin()) - 2;
  PrintLineBuffer out(printing_);
  out.ResetPrintLines();
  for (size_t i = 0; i < archived.lines.size(); ++i) {
    if (i == at) AddCopyMark(out);
    out.AddPrintLine(archived.lines[i]);
  }
  return out.PrintLines(ReceiptChannel(), true, false);
}

}  // namespace tolven::printing
