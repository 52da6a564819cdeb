// A kitchen receipt printed once more on request (the status page), as its
// `kuebonlog` rows recorded it: the same header and article layout as the
// first printout, the note "NACHDRUCK" under the receipt number. The log keeps
// article, quantity and price of each line; notes, toppings and guests are not
// in it and so not on the reprint. The waiter is not recorded either.
#include "common/text.h"
#include "printing/kitchen_receipts.h"

namespace tolven::printing {

using db::GetFieldValue;
using db::SqlText;

Status KitchenReceipts::Reprint(int32_t kuebonnr) {
  const std::string nr = std::to_string(kuebonnr);
  auto rows = tools_.Open("SELECT * FROM kuebonlog WHERE kuebonnr = " + NumStr(kuebonnr) + " ORDER BY msecs");
  if (!rows) return Status::Error("Küchenbon " + nr + " nicht lesbar: " + rows.status().message());
  if (rows->Eof()) return Status::Error("Küchenbon " + nr + " nicht gefunden.");
  const int printer = GetFieldValue(*rows, "drucker").AsInt();
  if (printer < 1 || printer > 5) return Status::Error("Küchenbon " + nr + " ging an keinen Drucker.");

  Job job(printing_);
  job.table = GetFieldValue(*rows, "tisch").AsInt();
  job.seqnr = GetFieldValue(*rows, "seqnr").AsInt();
  job.note = "NACHDRUCK";
  job.settings = ReadSettings(job.table);
  // Neither waiter nor customer is recorded with the receipt.
  job.settings.kuebonkellner = 0;
  job.settings.kuebonkunde = 0;
  job.pass.settings = ReadPrinterSettings(printer);
  job.pass.kuebonnr = kuebonnr;
  PrintHeader(job, printer);
  for (; !rows->Eof(); rows->MoveNext()) {
    KitchenRow row;
    row.artnr = GetFieldValue(*rows, "artnr").AsString();
    row.artbez = GetFieldValue(*rows, "artbez").AsString();
    row.menge = GetFieldValue(*rows, "menge").AsInt();
    row.epreis = GetFieldValue(*rows, "preis").AsInt();
    auto article = tools_.Open("SELECT printrezept FROM artikel WHERE artnr = " + SqlText(row.artnr));
    PrintArticle(job, row, article && !article->Eof() && GetFieldValue(*article, "printrezept").AsBool());
  }
  for (int32_t i = 0; i < job.settings.bonvor; ++i) Add(job, " ");
  if (job.pass.settings.kuesummer) Add(job, job.paper.GetPrinterCode("KÜCHENSUMMER"));
  std::string channel = job.settings.port[printer];
  if (ToUpper(channel) == "NETZ") channel = "NETZ" + job.settings.prt[printer];
  // Once: the printer's extra copies were made with the first printout.
  return job.paper.PrintLines(channel, true, false);
}

}  // namespace tolven::printing
