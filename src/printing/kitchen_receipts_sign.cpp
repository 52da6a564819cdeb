// Signing the order: the "Bestellung-V1" process data of the lines sent to the
// kitchen in this call, the TSE finish and the `tse_bestellungen` row.
#include <algorithm>
#include <optional>

#include "common/money.h"
#include "common/text.h"
#include "printing/kitchen_receipts.h"

namespace tolven::printing {

namespace {
// An order's transaction the TSE started (a number below 1 is none).
bool Started(const std::optional<fiscal::TseStart>& transaction) {
  return transaction && transaction->transactionNumber >= 1;
}
}  // namespace

using db::SqlText;

std::string KitchenReceipts::CleanForSigning(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += "<CRLF>";
      ++i;
      continue;
    }
    switch (c) {
      case 0xE4: out += "ae"; break;  // ä
      case 0xF6: out += "oe"; break;  // ö
      case 0xFC: out += "ue"; break;  // ü
      case 0xC4: out += "Ae"; break;  // Ä
      case 0xD6: out += "Oe"; break;  // Ö
      case 0xDC: out += "Ue"; break;  // Ü
      case 0xDF:
        out += "ss";
        break;  // ß
      // The process data is a ";"-separated list of quoted texts, and the TSE
      // server takes it through a text protocol: these would break either.
      case '\'':
      case 0xB4:
      case 0x92:
      case '/':
      case '&':
      case '%':
      case '"': break;  // ' ´ ’
      case ';': out += ','; break;
      case 0xE1:
      case 0xE0: out += 'a'; break;  // á à
      case 0xE9:
      case 0xE8: out += 'e'; break;  // é è
      case 0xF3:
      case 0xF2: out += 'o'; break;  // ó ò
      case 0xF1: out += 'n'; break;  // ñ
      default:
        if (c >= 32) out += static_cast<char>(c);
    }
  }
  return out;
}

void KitchenReceipts::AddUnsignedItems(Job& job, const std::string& condition) {
  auto rows = tools_.Open("SELECT menge, artbez, epreis FROM bestellung " + job.lines + condition + " AND id NOT IN " +
                          "(SELECT bestid FROM " + kKitchenClaimTable + " WHERE tse_trx <> 0) ORDER BY id");
  if (!rows) {
    tools_.LogSqlError("Bestellung für TSE nicht lesbar: " + rows.status().message());
    return;
  }
  for (; !rows->Eof(); rows->MoveNext()) {
    job.signItems.push_back({db::GetFieldValue(*rows, "menge").AsInt(), db::GetFieldValue(*rows, "artbez").AsString(),
                             db::GetFieldValue(*rows, "epreis").AsInt()});
  }
}

void KitchenReceipts::FinishWithoutPrinting(Job& job, const std::optional<fiscal::TseStart>& transaction) {
  bool signedNow = false;
  // Without a transaction there is nothing to finish, and no receipt number is drawn.
  if (Started(transaction) && tse_.TseInUse() && tse_.TseReady()) {
    AddUnsignedItems(job, "");
    signedNow = SignOrder(job, transaction);
  }
  // Marked like the lines of a printed order, so the next order does not sign them again.
  if (MarkLines(job)) claims_.Release(job.token, signedNow ? transaction->transactionNumber : 0);
}

bool KitchenReceipts::SignOrder(Job& job, const std::optional<fiscal::TseStart>& transaction) {
  std::string& processData = job.processData;
  for (const SignItem& item : job.signItems) {
    if (!processData.empty()) processData += '\r';
    processData += std::to_string(item.menge) + ";\"" + CleanForSigning(item.text) + "\";" + FormatCents(item.preis);
    job.orderAmount += int64_t{item.menge} * item.preis;
  }

  if (!tse_.TseInUse()) return false;
  // While the TSE breaker is open an order is stored unsigned (held back, or its
  // start unanswered): one row per order says which, as the "P" row does for a receipt.
  const auto unsignedRow = [&] {
    if (tse_.serverSilent() && !processData.empty()) {
      tools_.WriteSysLogMemo("T",
                             "Bestellung " + std::to_string(job.seqnr) + " Tisch " + std::to_string(job.table) +
                                 " ohne TSE-Signatur gespeichert (TSE-Server antwortet nicht)",
                             processData);
    }
  };
  if (!tse_.TseReady()) {
    unsignedRow();
    return false;
  }
  // Every line of it was signed by an earlier order: an empty order
  // transaction would tell an audit of an order that never was.
  if (processData.empty()) {
    if (Started(transaction)) {
      tools_.WriteSysLog("T", "TSE-Transaktion " + std::to_string(transaction->transactionNumber) + " für Tisch " +
                                  std::to_string(job.table) + " ohne neue Positionen nicht abgeschlossen.");
    }
    return false;
  }
  if (!Started(transaction)) {
    tools_.WriteSysLogMemo("T", "Keine TSE-Transaktion für Bestellung.", processData);
    return false;
  }

  const int32_t tseTrx = transaction->transactionNumber;
  const Result<fiscal::TseSignature> finished =
      tse_.TSE_FinishTransaction(tseTrx, fiscal::kProcessTypeOrder, processData);
  if (!finished) {
    unsignedRow();  // a finish the breaker held back leaves no other trace
    return false;   // the facade has logged why
  }
  const fiscal::TseSignature& sig = *finished;
  const StartupState& st = tools_.state();
  const std::string sql =
      "INSERT INTO tse_bestellungen (seqnr, datumzeit, kanr, kaname, kasse, betrag, tse_trx, tse_sigcount, "
      "tse_start, tse_stop, tse_sernr, tse_processtype, tse_processdata, tse_signatur) VALUES ( " +
      NumStr(job.seqnr) + " , " + tools_.SqlNow() + " , " + NumStr(st.kaNr) + " , " + SqlText(st.kaName.substr(0, 30)) +
      " , " + NumStr(st.kasse) + " , " + NumStr(job.orderAmount) + " , " + NumStr(tseTrx) + " , " +
      NumStr(sig.signatureCounter) + " , " + NumStr(transaction->startTime) + " , " + NumStr(sig.finishTime) + " , " +
      SqlText(sig.serialNumber) + " , " + SqlText(fiscal::kProcessTypeOrder) + " , " + SqlText(processData) + " , " +
      SqlText(sig.signature) + " ) ";
  if (Status status = tools_.ExecSQL(sql); !status) tools_.LogSqlError("tse_best: " + status.message());
  return true;
}

}  // namespace tolven::printing
