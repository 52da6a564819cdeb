// Stand-in for the installation's TSE server, for tests and the demo: answers
// every request row in `tse_server_req` with a row in `tse_server_ans`. Start
// requests get increasing transaction numbers and the current Unix time; finish
// requests a fixed serial number, an increasing signature counter and a
// signature made from the request. It reads the gateway's configuration.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/cp1252.h"
#include "common/text.h"
#include "db/station_context.h"
#include "db/transaction.h"
#include "fiscal/tse.h"
#include "platform/env.h"
#include "platform/signals.h"
#include "platform/ui.h"
#include "startup/startup.h"

namespace {

using namespace tolven;

struct Options {
  int delayMs = 0;
  int pollMs = 2;
  bool never = false;
  bool emptySignature = false;
  std::string serial = std::string(fiscal::kSimulatorSerialPrefix) + "0001";
};

void Usage() {
  std::fputs(
      "Aufruf: tse-sim [--delay MS] [--never] [--empty-signature] [--poll MS] [--serial TEXT]\n"
      "  --delay MS          jede Antwort erst nach MS Millisekunden schreiben\n"
      "  --never             nie antworten (TSE-Server ausgefallen)\n"
      "  --empty-signature   Abschluss-Antworten mit leerer Signatur\n"
      "  --poll MS           Abfrageabstand der Anfragetabelle (Vorgabe 2)\n"
      "  --serial TEXT       Seriennummer in den Antworten (Vorgabe TOLVENSIM-0001)\n"
      "Nur für Tests und die Vorführung: die Signaturen sind keine TSE-Signaturen,\n"
      "damit signierte Belege sind steuerlich nicht gültig.\n"
      "Konfiguration wie tolvenpda: TOLVEN.INI in $TOLVEN_WINDIR.\n",
      stdout);
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&](int& out) {
      if (i + 1 >= argc) return false;
      out = std::atoi(argv[++i]);
      return true;
    };
    if (a == "--delay") {
      if (!next(o.delayMs)) return false;
    } else if (a == "--poll") {
      if (!next(o.pollMs)) return false;
    } else if (a == "--never") {
      o.never = true;
    } else if (a == "--empty-signature") {
      o.emptySignature = true;
    } else if (a == "--serial" && i + 1 < argc) {
      o.serial = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

// A reproducible stand-in signature: 64 hex digits from the request's content.
std::string MakeSignature(int64_t trx, int64_t counter, const std::string& data) {
  uint64_t h = 1469598103934665603ULL;
  auto mix = [&](const std::string& s) {
    for (unsigned char c : s) {
      h ^= c;
      h *= 1099511628211ULL;
    }
  };
  mix(std::to_string(trx) + "/" + std::to_string(counter) + "/" + data);
  std::string out;
  for (int k = 0; k < 4; ++k) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(h));
    out += buf;
    mix(out);
  }
  return out;
}

int64_t MaxOf(db::StationContext& tools, const std::string& sql) {
  auto rs = tools.Open(sql);
  return rs && !rs->Eof() ? db::GetFieldValue(*rs, "m").AsInt64() : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    Usage();
    return 0;
  }
  if (!ParseOptions(argc, argv, opt)) {
    Usage();
    return kExitUsage;
  }
  platform::Env& env = platform::DefaultEnv();
  platform::Ui& ui = platform::ConsoleUi();
  Startup start(env, ui, Utf8ToCp1252(ConfigFolderFromEnvironment()));
  StartupState state;
  if (int rc = start.ReadConfiguration(state, false); rc != kExitOk) return rc;
  auto opened = start.OpenDatabase(state, false);
  if (!opened) {
    std::fprintf(stderr, "tse-sim: Datenbank nicht erreichbar: %s\n", Cp1252ToUtf8(opened.status().message()).c_str());
    return kExitNoDatabase;
  }
  std::unique_ptr<db::Connection> connection = std::move(*opened);
  db::StationContext tools(*connection, state, env, ui);
  platform::InstallStopHandlers();

  int64_t nextTrx = 1 + std::max(MaxOf(tools, "SELECT MAX(tse_trx) AS m FROM kass"),
                                 MaxOf(tools, "SELECT MAX(tse_trx) AS m FROM tse_bestellungen"));
  int64_t nextCounter = 1 + std::max(MaxOf(tools, "SELECT MAX(tse_sigcount) AS m FROM kass"),
                                     MaxOf(tools, "SELECT MAX(tse_sigcount) AS m FROM tse_bestellungen"));
  std::printf("tse-sim: bereit (Seriennummer %s%s%s)\n", opt.serial.c_str(), opt.never ? ", antwortet nie" : "",
              opt.emptySignature ? ", leere Signaturen" : "");
  std::fflush(stdout);

  while (!platform::StopRequested()) {
    env.SleepMs(opt.pollMs);
    if (opt.never) continue;
    auto rs = tools.Open(
        "SELECT kasse, merker, typ, tse_trxnr, processdata FROM tse_server_req WHERE status = 0 "
        "ORDER BY merker");
    if (!rs) continue;
    for (; !rs->Eof(); rs->MoveNext()) {
      if (opt.delayMs > 0) env.SleepMs(opt.delayMs);
      const int64_t kasse = db::GetFieldValue(*rs, "kasse").AsInt64();
      const int64_t merker = db::GetFieldValue(*rs, "merker").AsInt64();
      const std::string typ = db::GetFieldValue(*rs, "typ").AsString();
      const int64_t now = env.UnixTime();
      std::string values;
      if (typ == "S") {
        values = NumStr(nextTrx++) + " , " + NumStr(now) + " , '' , 0 , ''";
      } else {
        const int64_t trx = db::GetFieldValue(*rs, "tse_trxnr").AsInt64();
        const int64_t counter = nextCounter++;
        std::string signature =
            opt.emptySignature ? "" : MakeSignature(trx, counter, db::GetFieldValue(*rs, "processdata").AsString());
        values = NumStr(trx) + " , " + NumStr(now) + " , " + db::SqlText(opt.serial) + " , " + NumStr(counter) + " , " +
                 db::SqlText(signature);
      }
      const std::string where = " WHERE kasse = " + NumStr(kasse) + " AND merker = " + NumStr(merker);
      db::Transaction transaction(*connection);
      if (!transaction.Begin()) continue;
      Status done = tools.ExecSQL(
          "INSERT INTO tse_server_ans ( kasse, merker, tse_trxnr, tse_logtimeutc, tse_sernr, "
          "tse_sigcount, tse_signatur ) VALUES ( " +
          NumStr(kasse) + " , " + NumStr(merker) + " , " + values + " )");
      if (done) done = tools.ExecSQL("UPDATE tse_server_req SET status = 1" + where);
      if (done) done = transaction.Commit();
      if (!done) std::fprintf(stderr, "tse-sim: %s\n", Cp1252ToUtf8(done.message()).c_str());
    }
  }
  platform::StopFinished();  // a closing console need not wait any longer
  return 0;
}
