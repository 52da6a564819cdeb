#include "startup/run_gateway.h"

#include "common/money.h"
#include "db/db_tools.h"
#include "display/modDisplay4.h"
#include "fiscal/modTSE.h"
#include "fiscal/modTSE_Vestra.h"
#include "gateway/Form1.h"
#include "gateway/crash_recovery.h"
#include "gateway/status_alerts.h"
#include "gateway/status_print.h"
#include "gateway/status_service.h"
#include "gateway/status_snapshot.h"
#include "gateway/status_tse.h"
#include "gateway/terminal_requests.h"
#include "platform/cups_printer_system.h"
#include "platform/http_server.h"
#include "platform/parallel_port.h"
#include "platform/serial_port.h"
#include "platform/service_notify.h"
#include "platform/signals.h"
#include "printing/convert_umlauts.h"
#include "printing/customer_receipt.h"
#include "printing/frmDruck2.h"
#include "printing/modDruck2.h"
#include "printing/modKueBon.h"
#include "settlement/modTischAbrechnen.h"

namespace tolven {

fiscal::TseIdentity ReadTseIdentity(const platform::IniFile& ini, const StartupState& state) {
  fiscal::TseIdentity id;
  id.registerId = ini.Read(kIniFile, "TSE", "KASSENID", "TOLVENPDA-" + std::to_string(state.kasse));
  id.signatureAlgorithm = ini.Read(kIniFile, "TSE", "SIGALGORITHMUS", id.signatureAlgorithm);
  id.publicKey = ini.Read(kIniFile, "TSE", "PUBLICKEY", "");
  return id;
}

gateway::StatusConfig ReadStatusConfig(const platform::IniFile& ini) {
  return gateway::ParseStatusConfig(ini.Read(kIniFile, "STATUS", "PORT", ""), ini.Read(kIniFile, "STATUS", "BIND", ""),
                                    ini.Read(kIniFile, "STATUS", "ALLOW", ""));
}

namespace {

// The status page on its own threads; they read only the published snapshot
// and the alert log. Failures to start leave the gateway running without it.
std::unique_ptr<platform::HttpServer> StartStatusPage(const gateway::StatusConfig& config,
                                                      gateway::StatusService& service, LogSink& log) {
  for (const std::string& e : config.errors) log.AddLogLine("FEHLER: " + e);
  if (!config.enabled()) return nullptr;
  platform::HttpServerOptions options;
  options.bindAddress = config.bind;
  options.port = config.port;
  options.allowedAddresses = config.allowed;
  Status st;
  auto server = platform::HttpServer::Start(
      options, [&service](const platform::HttpRequest& r) { return service.Handle(r); }, st);
  if (!server) {
    log.AddLogLine("FEHLER: " + st.message());
    return nullptr;
  }
  std::string host = config.bind.find(':') != std::string::npos ? "[" + config.bind + "]" : config.bind;
  log.AddLogLine("Statusseite: http://" + host + ":" + std::to_string(server->port()) + "/");
  if (!platform::IsLoopbackAddress(config.bind) && config.allowed.empty()) {
    log.AddLogLine("Statusseite: ohne [STATUS] ALLOW nur vom Kassenrechner selbst erreichbar.");
  }
  return server;
}

}  // namespace

int RunGateway(ModuleStart& start, platform::Env& env, platform::Ui& consoleUi) {
  StartupState state;
  std::unique_ptr<db::Connection> connection;
  int rc = start.Main(state, connection);
  if (rc != kExitOk) return rc;

  // From here on every message box is also kept for the status page.
  gateway::AlertLog alerts(env);
  gateway::RecordingUi ui(consoleUi, alerts);

  ui.Status("Datenbank " + state.engine + ", Datumsformat " + state.datumFormat + ", TRUE = " +
            std::to_string(state.boolTrueWert) + ", MwSt " + FormatRate(state.mwst[1]) + " / " +
            FormatRate(state.mwst[2]) + ", Sprache " + state.sprache + ", Installationsordner " + state.exePfad +
            ", Log " + state.logPfad);

  // Every module is built once on the one connection; the main window's log is
  // reached through the relay until the window exists.
  platform::IniFile& ini = start.ini();
  LogRelay log;
  db::DbTools tools(*connection, state, env, ui);
  fiscal::modTSE_Vestra vestra(tools);
  gateway::TseMonitor tseMonitor(vestra, [&vestra] { return vestra.lastTimeout(); }, alerts, env);
  fiscal::Tse tse(tools, tseMonitor, ReadTseIdentity(ini, state));
  vestra.Attach(tse);
  vestra.SetLog(log);

  platform::CupsPrinterSystem spooler;
  display::modDisplay4 display(
      tools, ini, [] { return platform::MakeSerialPort(); },
      [](const std::string& text) { return printing::ConvertUmlauts(text); });
  printing::frmDruck2 engine(
      env, ui, ini, [&ini](const std::string& name) { return printing::GetPrinterCode(ini, name); },
      printing::frmDruck2::Devices{[] { return platform::MakeSerialPort(); },
                                   [] { return platform::MakeParallelPort(); }, &spooler, &display},
      log, state.logPfad);
  gateway::PrintRecorder recorder(engine, env);
  recorder.SetQrLookup([&tools](int32_t bunr) { return gateway::StoredQrText(tools, bunr); });
  printing::modDruck2 druck(ini, ui, recorder);
  printing::modKueBon kueBon(tools, druck, tse, log);
  printing::CustomerReceipt receipt(tools, druck);
  settlement::modTischAbrechnen settlement(tools, log, state.tseInUse ? &tse : nullptr);

  gateway::Form1 form(tools, tse, gateway::GatewayHooks{});
  log.SetTarget(&form);
  gateway::TerminalRequests requests(tools, form, settlement, receipt);
  gateway::GatewayHooks& hooks = form.hooks();
  hooks.stopRequested = [] { return platform::StopRequested(); };
  // The recorder tells kitchen receipts from customer receipts by who prints them.
  using Kind = gateway::PrintoutKind;
  hooks.printKueBon = [&kueBon, &recorder](int32_t trx, int32_t startTime, int32_t table, const std::string& waiter) {
    gateway::PrintRecorder::Scope scope(recorder, Kind::KitchenReceipt);
    kueBon.PrintKueBon(trx, startTime, table, waiter);
  };
  // A table is paid only once the kitchen has every line: pending ones are
  // printed first, with their own order transaction as after an order.
  requests.SetKitchenPrint([&tse, &kueBon, &recorder](int32_t table, const std::string& waiterText) {
    gateway::PrintRecorder::Scope scope(recorder, Kind::KitchenReceipt);
    int32_t startTime = 0;
    int32_t trx = tse.TSE_StartTransaction(startTime);
    kueBon.PrintKueBon(trx, startTime, table, waiterText);
  });
  hooks.settleTable = [&requests, &recorder](int slot, int32_t table, int32_t waiter, const std::string& payment,
                                             const std::string& list, std::string& reason) {
    gateway::PrintRecorder::Scope scope(recorder, Kind::CustomerReceipt);
    return requests.SettleTable(slot, table, waiter, payment, list, reason);
  };
  hooks.handleRequest = [&requests, &recorder](int slot, const std::string& request, const std::string& answer) {
    gateway::PrintRecorder::Scope scope(recorder, Kind::CustomerReceipt);
    requests.HandleTerminalRequest(slot, request, answer);
  };

  gateway::StatusBoard board;
  gateway::StatusCollector collector(
      gateway::StatusSources{form, tse, tseMonitor, recorder, alerts, state, env,
                             [&vestra] { return vestra.answerQueries(); }, [&engine] { return engine.statusText(); }},
      board);
  hooks.processEvents = [&collector] {
    collector.OnProcessEvents();
    platform::NotifyWatchdog();  // between slots, in the log and inside the bounded waits
  };
  gateway::StatusService service(board, alerts, env);

  form.Load();
  recorder.LoadArchived(state.archivBonPfad,
                        gateway::LatestReceiptNumbers(tools, static_cast<int>(gateway::PrintRecorder::kKeep)));
  collector.Collect();
  // Declared after everything it reads, so it is stopped before any of it goes.
  std::unique_ptr<platform::HttpServer> server = StartStatusPage(ReadStatusConfig(ini), service, form);
  platform::NotifyReady();
  gateway::CrashRecovery(tools, tse, kueBon, receipt, form, &recorder).Run();
  form.Run();
  platform::NotifyStopping();
  form.AddLogLine("Orderterminal-Gateway beendet.");
  if (server) server->Stop();
  connection->Close();
  return kExitOk;
}

}  // namespace tolven
