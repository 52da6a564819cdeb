#include "fiscal/receipt_checks.h"

#include <array>

#include "common/crc16.h"
#include "common/text.h"
#include "fiscal/rijndael.h"

namespace tolven::fiscal {

using db::GetFieldValue;
using db::SqlText;

namespace {

// 63 printable characters; the key is the text from the 6th character on, and
// the cipher takes its first 32 bytes.
constexpr std::string_view kSignatureConstant = "2Kif@DKYCRxa&SlIyC-lV5qz5PeLUPMF+kb#U@*GOn%df4&g6UJ@&ajUT=EnKs7";
constexpr size_t kSignatureKeyStart = 5;

// Zero-padded to `width` characters without ever cutting a digit.
std::string ZeroPadded(int64_t value, int width) {
  const bool negative = value < 0;
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::string digits = std::to_string(magnitude);
  const size_t room = static_cast<size_t>(width - (negative ? 1 : 0));
  if (digits.size() < room) digits.insert(0, room - digits.size(), '0');
  return negative ? "-" + digits : digits;
}

std::string Cut(std::string_view text, size_t n) { return std::string(text.substr(0, n)); }

std::string TimeOf(const DateTime& t) {
  std::string hms = FormatHMS(t);
  return hms.substr(0, 2) + hms.substr(3, 2) + hms.substr(6, 2);
}

DateTime ToSecond(DateTime t) {
  t.millisecond = 0;
  return t;
}

int64_t LocalSeconds(const DateTime& t) { return DaysFromCivil(t.date) * 86400 + SecondsSinceMidnight(t); }

// A receipt earlier than the previous one by no more than the clocks went back
// since then (the night local time repeats an hour): the step back is the
// change of the UTC offset, not a clock set back. The stored times are local
// and carry no offset, so the previous receipt is taken at the offset in force
// that far back.
bool ClockWentBack(platform::Env& env, const DateTime& previous, const DateTime& now) {
  const int64_t back = LocalSeconds(previous) - LocalSeconds(now);
  const int64_t utcNow = env.UnixTime();
  return back > 0 && env.UtcOffsetAt(utcNow - back) - env.UtcOffsetAt(utcNow) >= back;
}

// The header statement; the column list is the one the other programs of the
// installation write, the customer columns only where the receipt shows them.
std::string HeaderInsert(db::StationContext& tools, const ReceiptHeader& h, const ReceiptSafeguards& s) {
  const StartupState& st = tools.state();
  const std::string sep = " , ";
  const int doy = (h.datumzeit.date.year % 100) * 1000 + DayOfYear(h.datumzeit.date);
  std::string sql =
      "INSERT INTO kass ( bunr, seqnr, datumzeit, vorgangstart, doy, version, staid, kdnr, cardno, kdgrp, kanr, "
      "kaname, filnr, kasse, tisch, "
      " betrag, umsatzzaehler, umszaehlcrypt, mwst1proz, mwst2proz, mwst3proz, mwst1altproz, mwst2altproz, mwst1, "
      "mwst2, mwst3, mwst1alt, mwst2alt, sum0, sum1, sum2, sum3, sum1alt, sum2alt,"
      " rabatt, zahlart, bargegeben, barzurueck, sumgsin, sumgsout, sumgsfremd, sumauslagen, bonus, gaeste, "
      "pcatransid, "
      " crc, signatur0, sigver, payload, depline, sigsernr,  "
      " tim_tpid, tim_tpidno, tim_sernr, ";
  if (h.customerOnReceipt) sql += " name1, name2, strasse, plzort, ";
  sql += " info, txt ) VALUES ( ";
  sql += NumStr(h.bunr) + sep + NumStr(h.seqnr) + sep + tools.SqlDateTime(h.datumzeit.date, FormatHMS(h.datumzeit)) +
         sep + tools.SqlDateTime(h.vorgangstart.date, FormatHMS(h.vorgangstart)) + sep + NumStr(doy) + sep +
         NumStr(h.version) + sep + SqlText(Cut(h.staid, 30)) + sep + NumStr(h.kdnr) + sep + SqlText(Cut(h.cardno, 30)) +
         sep + NumStr(h.kdgrp) + sep + NumStr(h.kanr) + sep + SqlText(Cut(h.kaname, 30)) + sep + NumStr(st.filiale) +
         sep + NumStr(st.kasse) + sep + NumStr(h.tisch) + sep;
  sql += NumStr(h.betrag) + sep + NumStr(s.umsatzzaehler) + sep + "''" + sep + FormatRate(h.rate1) + sep +
         FormatRate(h.rate2) + sep + FormatRate(h.rate3) + sep + FormatRate(h.oldRate1) + sep + FormatRate(h.oldRate2) +
         sep + NumStr(h.mwst1) + sep + NumStr(h.mwst2) + sep + NumStr(h.mwst3) + sep + NumStr(h.mwst1alt) + sep +
         NumStr(h.mwst2alt) + sep + NumStr(h.sum0) + sep + NumStr(h.sum1) + sep + NumStr(h.sum2) + sep +
         NumStr(h.sum3) + sep + NumStr(h.sum1alt) + sep + NumStr(h.sum2alt) + sep;
  sql += NumStr(h.rabatt) + sep + SqlText(Cut(h.zahlart, 10)) + sep + NumStr(h.bargegeben) + sep +
         NumStr(h.barzurueck) + sep + NumStr(h.sumgsin) + sep + NumStr(h.sumgsout) + sep + NumStr(h.sumgsfremd) + sep +
         NumStr(h.sumauslagen) + sep + NumStr(h.bonus) + sep + NumStr(h.gaeste) + sep + NumStr(h.pcatransid) + sep;
  sql += SqlText(s.crc) + sep + SqlText(s.signatur0) + sep + NumStr(1) + sep + "''" + sep + "''" + sep + "''" + sep;
  sql += SqlText(Cut(h.timTpid, 50)) + sep + NumStr(h.timTpidno) + sep + SqlText(Cut(h.timSernr, 50)) + sep;
  if (h.customerOnReceipt) {
    sql += SqlText(Cut(h.name1, 40)) + sep + SqlText(Cut(h.name2, 40)) + sep + SqlText(Cut(h.strasse, 40)) + sep +
           SqlText(Cut(h.plzort, 40)) + sep;
  }
  sql += SqlText(Cut(h.info, 100)) + sep + SqlText(Cut(h.txt, 40)) + " ) ";
  return sql;
}

// The turnover counter after this receipt, and the time of receipt bunr - 1 when
// there is one. An error with its text when the database cannot be read or the
// counter would leave 32 bits.
Status CarryTurnoverCounter(db::StationContext& tools, const ReceiptHeader& h, Cents& counter, bool& hasPrevious,
                            DateTime& previous) {
  auto rs =
      tools.Open("SELECT datumzeit, umsatzzaehler, depline FROM kass WHERE bunr = " + NumStr(int64_t{h.bunr} - 1));
  if (!rs) return Status::Error("Vorbeleg nicht lesbar: " + rs.status().message());
  hasPrevious = !rs->Eof();
  if (!hasPrevious) {
    // The chain starts here; the next receipt rebuilds it from the stored amounts.
    counter = 0;
    return Status::Ok();
  }
  previous = ToSecond(GetFieldValue(*rs, "datumzeit").AsDateTime());
  int64_t before = GetFieldValue(*rs, "umsatzzaehler").AsInt64();
  if (before == 0) {
    auto sum = tools.Open("SELECT SUM(betrag) AS umsatz FROM kass WHERE datumzeit >= " +
                          tools.SqlDateTime(Date{2017, 1, 1}, "00:00:00"));
    if (!sum) return Status::Error("Umsatzzähler nicht ermittelbar: " + sum.status().message());
    before = sum->Eof() ? 0 : GetFieldValue(*sum, "umsatz").AsInt64();
  }
  auto next = CheckedCents(before + int64_t{h.betrag});
  if (!next) {
    return Status::Error("Umsatzzähler außerhalb des zulässigen Bereichs (" + std::to_string(before) + " + " +
                         std::to_string(h.betrag) + ")");
  }
  counter = *next;
  return Status::Ok();
}

}  // namespace

std::string RecordCRC(const Date& date, int64_t number, int64_t amount) {
  const std::string input = FormatDMY(date) + FormatZeroPadded(static_cast<float>(number), 10) +
                            FormatZeroPadded(static_cast<float>(amount), 10);
  return HexEncode(Crc16Text(input));
}

std::string SignatureKeyData(const SignatureInput& in) {
  return ZeroPadded(in.installationNr, 6) + ZeroPadded(in.bunr, 8) + FormatYYYYMMDD(in.time.date) + TimeOf(in.time) +
         ZeroPadded(in.normalRate, 8) + ZeroPadded(in.reducedRate1, 8) + ZeroPadded(in.reducedRate2, 8) +
         ZeroPadded(0, 8) + ZeroPadded(in.zeroRate, 8) + ZeroPadded(in.turnoverCounter, 10) + PadRight(in.zahlart, 6);
}

std::string SignatureKey() { return std::string(kSignatureConstant.substr(kSignatureKeyStart)); }

std::string Signatur0(const SignatureInput& input) {
  Rijndael cipher;
  const std::vector<uint8_t> bytes = cipher.EncryptData(SignatureKeyData(input), SignatureKey());
  return HexEncode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Status BelegSchreiben(db::StationContext& tools, const ReceiptHeader& header, ReceiptSafeguards* stored) {
  if (header.rate1.IsZero() || header.rate2.IsZero()) return Status::Error("Falsche MwSt-Sätze 1/2");

  ReceiptSafeguards s;
  bool hasPrevious = false;
  DateTime previous;
  if (Status counted = CarryTurnoverCounter(tools, header, s.umsatzzaehler, hasPrevious, previous); !counted) {
    return counted;
  }

  const DateTime now = ToSecond(header.datumzeit);
  if (hasPrevious && now < previous && !ClockWentBack(tools.env(), previous, now)) {
    return Status::Error("Chronologische Abfolge nicht gegeben! " + FormatDMY(now.date) + " " + FormatHMS(now) + "<" +
                         FormatDMY(previous.date) + " " + FormatHMS(previous));
  }

  SignatureInput sig;
  sig.installationNr = tools.state().installationNr;
  sig.bunr = header.bunr;
  sig.time = now;
  sig.normalRate = header.sum1;
  sig.reducedRate1 = header.sum2;
  sig.reducedRate2 = header.sum3;
  sig.zeroRate = header.sum0;
  sig.turnoverCounter = s.umsatzzaehler;
  sig.zahlart = header.zahlart;
  s.signatur0 = Signatur0(sig);
  s.crc = RecordCRC(header.datumzeit.date, header.bunr, header.betrag);

  if (Status inserted = tools.ExecSQL(HeaderInsert(tools, header, s)); !inserted) {
    return inserted.Prefixed("\r\nkass:\r\n\r\n");
  }
  if (stored) *stored = s;
  return Status::Ok();
}

}  // namespace tolven::fiscal
