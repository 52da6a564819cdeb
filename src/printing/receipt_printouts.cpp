#include "printing/receipt_printouts.h"

#include "common/text.h"

namespace tolven::printing {

using db::GetFieldValue;

namespace {

// The local time as one number, YYYYMMDDHHMMSS: the same on every engine.
int64_t TimeNumber(const DateTime& t) {
  return ((((int64_t{t.date.year} * 100 + t.date.month) * 100 + t.date.day) * 100 + t.hour) * 100 + t.minute) * 100 +
         t.second;
}

DateTime FromTimeNumber(int64_t n) {
  DateTime t;
  t.second = static_cast<int>(n % 100);
  t.minute = static_cast<int>(n / 100 % 100);
  t.hour = static_cast<int>(n / 10000 % 100);
  t.date.day = static_cast<int>(n / 1000000 % 100);
  t.date.month = static_cast<int>(n / 100000000 % 100);
  t.date.year = static_cast<int>(n / 10000000000);
  return t;
}

}  // namespace

Status ReceiptPrintouts::Ready() {
  if (ready_) return Status::Ok();
  Status created = tools_.CreateOwnTable(kTable,
                                         "bunr INT NOT NULL PRIMARY KEY, kasse INT NOT NULL, zeit BIGINT NOT NULL, "
                                         "kopie INT NOT NULL");
  ready_ = created.ok();
  return created;
}

Status ReceiptPrintouts::Record(int32_t bunr, const DateTime& at, bool copy) {
  if (Status st = Ready(); !st) return st;
  // A copy printed again later keeps the first printout's row.
  if (Find(bunr)) return Status::Ok();
  return tools_.ExecSQL(std::string("INSERT INTO ") + kTable + " ( bunr, kasse, zeit, kopie ) VALUES ( " +
                        NumStr(bunr) + " , " + NumStr(tools_.state().kasse) + " , " + NumStr(TimeNumber(at)) + " , " +
                        NumStr(copy ? 1 : 0) + " )");
}

std::optional<ReceiptPrintouts::Printout> ReceiptPrintouts::Find(int32_t bunr) {
  if (!Ready()) return std::nullopt;
  auto rs = tools_.Open(std::string("SELECT zeit, kopie FROM ") + kTable + " WHERE bunr = " + NumStr(bunr));
  if (!rs || rs->Eof()) return std::nullopt;
  return Printout{FromTimeNumber(GetFieldValue(*rs, "zeit").AsInt64()), GetFieldValue(*rs, "kopie").AsInt() != 0};
}

Status ReceiptPrintouts::ForgetUpTo(int64_t bunr) {
  if (Status st = Ready(); !st) return st;
  return tools_.ExecSQL(std::string("DELETE FROM ") + kTable + " WHERE kasse = " + NumStr(tools_.state().kasse) +
                        " AND bunr <= " + NumStr(bunr));
}

}  // namespace tolven::printing
