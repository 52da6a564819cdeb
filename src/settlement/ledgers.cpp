#include "settlement/ledgers.h"

#include <cstdio>
#include <optional>

#include "common/text.h"

namespace tolven::settlement {

using db::GetFieldValue;
using db::SqlText;

namespace {

const std::string kSep = " , ";

std::string Cut(const std::string& text, size_t n) { return text.substr(0, n); }

// The newest row of a ledger (`rest` selects it, newest first): its balance,
// 0 when the ledger is empty, and, when `time` is given, its stored time.
Result<int64_t> LastBalance(db::StationContext& tools, const std::string& rest,
                            std::optional<DateTime>* time = nullptr) {
  auto rs = tools.Open(tools.dialect().SelectTop(1, rest));
  if (!rs) return rs.status();
  const int64_t balance = rs->Eof() ? 0 : GetFieldValue(*rs, "saldo").AsInt64();
  if (time) {
    *time = std::nullopt;
    if (!rs->Eof() && !GetFieldValue(*rs, "datumzeit").IsNull()) *time = GetFieldValue(*rs, "datumzeit").AsDateTime();
  }
  return balance;
}

int64_t EpochMs(const DateTime& t) {
  return (DaysFromCivil(t.date) * 86400 + SecondsSinceMidnight(t)) * 1000 + t.millisecond;
}

DateTime FromEpochMs(int64_t ms) {
  DateTime t = FromUnixTime(ms / 1000);
  t.millisecond = static_cast<int>(ms % 1000);
  return t;
}

// The time a bonus booking is stored with. The bonus ledger has no booking
// number, so its time alone orders it: hundredths of a second (exact on every
// engine, SQL Server's DATETIME included), and always after the customer's
// newest booking, so that neither two bookings of one settlement nor two
// settlements in the same moment can tie.
DateTime BonusStamp(const DateTime& now, const std::optional<DateTime>& newest) {
  int64_t ms = EpochMs(now) / 10 * 10;
  if (newest && ms <= EpochMs(*newest)) ms = EpochMs(*newest) / 10 * 10 + 10;
  return FromEpochMs(ms);
}

std::string TimeWithMilliseconds(const DateTime& t) {
  char frac[8];
  std::snprintf(frac, sizeof frac, ".%03d", t.millisecond);
  return FormatHMS(t) + frac;
}

// The time of an account or cash booking: now, to the second, but never before
// the ledger's newest booking. The night the clocks go back repeats an hour,
// and one station's clock may lag behind another's; a booking stamped before
// the newest would not be found as the latest, and the balance after it would
// be lost. Stamped with the newest's time instead, the booking number tells the
// order.
struct BookingTime {
  std::string sql;  // the literal for `datumzeit`
  int32_t msecs = 0;
};

BookingTime TimeOfBooking(db::StationContext& tools, const DateTime& now, const std::optional<DateTime>& newest) {
  DateTime second = now;
  second.millisecond = 0;
  if (newest && second < *newest) {
    const DateTime& t = *newest;
    return {tools.SqlDateTime(t.date, t.millisecond ? TimeWithMilliseconds(t) : FormatHMS(t)), Msecs(t)};
  }
  return {tools.SqlDateTime(now.date, FormatHMS(now)), Msecs(now)};
}

// last + amount, refused when the balance would leave 32 bits.
Result<int64_t> NewBalance(int64_t last, int64_t amount) {
  if (!CheckedCents(last + amount)) {
    return Status::Error("Saldo außerhalb des zulässigen Wertebereichs (" + std::to_string(last) + " + " +
                         std::to_string(amount) + ")");
  }
  return last + amount;
}

Result<int32_t> DrawNumber(db::StationContext& tools, const std::string& counter, int32_t maximum) {
  Result<int32_t> number = tools.GetUniqueNr(counter, 1, maximum);
  if (number && *number > 0) return number;
  return Status::Error("Zähler " + counter + " nicht verfügbar");
}

// The customer's newest account booking. Bookings of one second are told apart
// by their booking number, which is drawn in the booking's transaction and so
// follows the order of the commits.
Result<int64_t> LatestKdkto(db::StationContext& tools, int32_t kdnr, std::optional<DateTime>* time = nullptr) {
  return LastBalance(
      tools,
      "saldo, datumzeit FROM kdkto WHERE kdnr = " + NumStr(kdnr) + " ORDER BY kdnr, datumzeit DESC, kdktobunr DESC",
      time);
}

}  // namespace

int32_t Msecs(const DateTime& t) { return SecondsSinceMidnight(t) * 100 + t.millisecond / 10; }

Result<int64_t> LatestKdktoSaldo(db::StationContext& tools, int32_t kdnr) { return LatestKdkto(tools, kdnr); }

Result<int32_t> BookKdkto(db::StationContext& tools, int32_t kdnr, Cents betrag, const std::string& txt, int32_t bunr,
                          int32_t seqnr) {
  // The number first: drawing it locks the counter until the commit, so the
  // balance read next cannot be overtaken by another station's booking.
  auto number = DrawNumber(tools, "KDKTOBUNR", 999999999);
  if (!number) return number.status();
  std::optional<DateTime> newest;
  auto last = LatestKdkto(tools, kdnr, &newest);
  if (!last) return last.status();
  auto balance = NewBalance(*last, betrag);
  if (!balance) return balance.status();
  const BookingTime at = TimeOfBooking(tools, tools.env().Now(), newest);
  const std::string sql =
      "INSERT INTO kdkto (kdktobunr, datumzeit, msecs, kdnr, bunr, seqnr, txt, betrag, saldo ) VALUES (" +
      NumStr(*number) + kSep + at.sql + kSep + NumStr(at.msecs) + kSep + NumStr(kdnr) + kSep + NumStr(bunr) + kSep +
      NumStr(seqnr) + kSep + SqlText(Cut(txt, 40)) + kSep + NumStr(betrag) + kSep + NumStr(*balance) + " ) ";
  if (Status status = tools.ExecSQL(sql); !status) return status;
  return number;
}

Status BookBkto(db::StationContext& tools, int32_t kdnr, int32_t punkte, const std::string& txt) {
  std::optional<DateTime> newest;
  // Inside one settlement the previous booking is the newest row (its stamp is
  // later than any other), so the balance runs on from booking to booking.
  auto last = LastBalance(
      tools, "saldo, datumzeit FROM bkto WHERE kdnr = " + NumStr(kdnr) + " ORDER BY kdnr, datumzeit DESC", &newest);
  if (!last) return last.status();
  auto balance = NewBalance(*last, punkte);
  if (!balance) return balance.status();
  const DateTime stamp = BonusStamp(tools.env().Now(), newest);
  const std::string sql = "INSERT INTO bkto (datumzeit, kdnr, txt, punkte, saldo ) VALUES (" + std::string(" ") +
                          tools.SqlDateTime(stamp.date, TimeWithMilliseconds(stamp)) + kSep + NumStr(kdnr) + kSep +
                          SqlText(Cut(txt, 40)) + kSep + NumStr(punkte) + kSep + NumStr(*balance) + " ) ";
  return tools.ExecSQL(sql);
}

Status BookBuch2(db::StationContext& tools, int32_t typ, int32_t bunr, int32_t seqnr, const std::string& zahlart,
                 Cents betrag, const std::string& txt, int32_t kdnr) {
  auto drawn = DrawNumber(tools, "BUNR2", 999999999);
  if (!drawn) return drawn.status();
  const int32_t number = *drawn;
  const DateTime now = tools.env().Now();
  const StartupState& st = tools.state();
  // One text for every booking, prepared once where the engine keeps it.
  const std::string sql =
      "INSERT INTO buch2 (bunr2, bunr, seqnr, typ, datumzeit, zahlart, betrag, kasse, kanr, kaname, crc, kdnr, txt ) "
      "VALUES ( ? , ? , ? , ? , ? , ? , ? , ? , ? , ? , ? , ? , ? ) ";
  const std::vector<db::SqlArg> args = {number,
                                        bunr,
                                        seqnr,
                                        typ,
                                        tools.DateTimeText(now.date, FormatHMS(now)),
                                        Cut(zahlart, 6),
                                        betrag,
                                        st.kasse,
                                        st.kaNr,
                                        Cut(st.kaName, 30),
                                        RecordCRC(now.date, number, betrag),
                                        kdnr,
                                        Cut(txt, 30)};
  if (Status status = tools.ExecSQLWith(sql, args); !status) return status;
  // Only the exact text "BAR" moves cash; "BARGELD" or "BARZAHL" are other means of payment.
  if (zahlart != "BAR") return Status::Ok();
  Status cash = BookBarsaldo(tools, bunr, betrag, txt);
  if (cash) return cash;
  // Without the reason the operator could not tell why the journal booking failed.
  return cash.Prefixed("barsaldo: ");
}

Status BookBarsaldo(db::StationContext& tools, int32_t bunr, Cents betrag, const std::string& txt) {
  const StartupState& st = tools.state();
  // As for the customer account: the number locks the counter, then the
  // balance is read; within one second the number tells the order.
  auto number = DrawNumber(tools, "BARSNR", 99999999);
  if (!number) return number.status();
  std::optional<DateTime> newest;
  auto last = LastBalance(tools,
                          "saldo, datumzeit FROM barsaldo WHERE kasse = " + NumStr(st.kasse) +
                              " ORDER BY kasse, datumzeit DESC, lfdnr DESC",
                          &newest);
  if (!last) return last.status();
  auto balance = NewBalance(*last, betrag);
  if (!balance) return balance.status();
  const BookingTime at = TimeOfBooking(tools, tools.env().Now(), newest);
  const std::string sql =
      "INSERT INTO barsaldo (datumzeit, msecs, lfdnr, kasse, bunr, txt, kanr, kaname, betrag, saldo ) VALUES ( " +
      at.sql + kSep + NumStr(at.msecs) + kSep + NumStr(*number) + kSep + NumStr(st.kasse) + kSep + NumStr(bunr) + kSep +
      SqlText(Cut(txt, 40)) + kSep + NumStr(st.kaNr) + kSep + SqlText(Cut(st.kaName, 30)) + kSep + NumStr(betrag) +
      kSep + NumStr(*balance) + " ) ";
  return tools.ExecSQL(sql);
}

}  // namespace tolven::settlement
