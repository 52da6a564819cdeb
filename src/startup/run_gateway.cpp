#include "startup/run_gateway.h"

#include <map>

#include "common/money.h"
#include "common/text.h"
#include "db/job_connections.h"
#include "db/station_context.h"
#include "display/customer_display.h"
#include "fiscal/tse.h"
#include "fiscal/tse_server_adapter.h"
#include "gateway/crash_recovery.h"
#include "gateway/housekeeping.h"
#include "gateway/kitchen_backlog.h"
#include "gateway/kitchen_printing.h"
#include "gateway/order_booking.h"
#include "gateway/running_log.h"
#include "gateway/terminal_exchange.h"
#include "gateway/terminal_poller.h"
#include "gateway/terminal_requests.h"
#include "loop/event_loop.h"
#include "platform/http_server.h"
#include "platform/parallel_port.h"
#include "platform/pending_writes.h"
#include "platform/printer_system.h"
#include "platform/serial_port.h"
#include "platform/service_notify.h"
#include "platform/signals.h"
#include "printing/convert_umlauts.h"
#include "printing/customer_receipt.h"
#include "printing/kitchen_receipts.h"
#include "printing/print_engine.h"
#include "printing/print_lines.h"
#include "settlement/table_settlement.h"
#include "startup/installation.h"
#include "status/alerts.h"
#include "status/metrics.h"
#include "status/print_recorder.h"
#include "status/reprints.h"
#include "status/service.h"
#include "status/snapshot.h"
#include "status/tse_recorder.h"

namespace tolven {

fiscal::TseIdentity ReadTseIdentity(const platform::IniFile& ini, const StartupState& state) {
  fiscal::TseIdentity id;
  // An empty key means its default, as everywhere in the file: a QR text
  // without register id or algorithm fails every check of the receipt.
  id.registerId = RegisterId(ini, state.kasse);
  id.signatureAlgorithm = ReadTrimmedSetting(ini, IniKey::SigAlgorithmus);
  id.publicKey = ReadSetting(ini, IniKey::PublicKey);
  return id;
}

status::StatusConfig ReadStatusConfig(const platform::IniFile& ini) {
  return status::ParseStatusConfig(ReadSetting(ini, IniKey::StatusPort), ReadSetting(ini, IniKey::StatusBind),
                                   ReadSetting(ini, IniKey::StatusAllow));
}

namespace {

// Clears a job's "under way" flag when the job ends, also when it throws.
struct Cleared {
  bool& flag;
  ~Cleared() { flag = false; }
};

// What the configuration calls the printers, by channel: the kitchen printers'
// names (kueprtparam) and the spooler printers named beside a channel.
std::map<std::string, std::string> PrinterNames(db::Connection& connection, const StartupState& state) {
  std::map<int32_t, std::string> kitchen;
  if (auto rs = db::StationContext::OpenOn(connection, "SELECT drucker, name FROM kueprtparam")) {
    for (; !rs->Eof(); rs->MoveNext()) {
      const std::string name = TrimBlanks(db::GetFieldValue(*rs, "name").AsString());
      if (!name.empty()) kitchen[db::GetFieldValue(*rs, "drucker").AsInt()] = name;
    }
  }
  std::map<std::string, std::string> names;
  for (const PrinterChannel& p : PrinterChannels(connection, state)) {
    const std::string number = std::to_string(p.number);
    std::string name;
    switch (p.role) {
      case PrinterChannel::Role::Kitchen: {
        auto it = kitchen.find(p.number);
        name = "Küchendrucker " + number + (it != kitchen.end() ? " " + it->second : "");
        break;
      }
      case PrinterChannel::Role::Receipt: name = "Bondrucker"; break;
      case PrinterChannel::Role::Room: name = "Küchendrucker des Raums ab Tisch " + number; break;
      case PrinterChannel::Role::Terminal: name = "Belegdrucker Orderterminal " + number; break;
    }
    if (!TrimBlanks(p.printer).empty()) name += " (" + TrimBlanks(p.printer) + ")";
    for (const std::string& channel : {p.channel, p.printer}) {
      const std::string key = status::PrinterNameKey(TrimBlanks(channel));
      if (key.empty()) continue;
      std::string& slot = names[key];
      // One channel for several printers: every name.
      if (slot.find(name) == std::string::npos) slot += (slot.empty() ? "" : ", ") + name;
    }
  }
  return names;
}

// The status page on its own threads; they read only the published snapshot
// and the alert log. Failures to start leave the gateway running without it.
std::unique_ptr<platform::HttpServer> StartStatusPage(const status::StatusConfig& config,
                                                      status::StatusService& service, LogSink& log) {
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

// A whole number from TOLVEN.INI within [least, most]; otherwise the key's
// default, with a log line that says what `unit` the value should have been.
int NumberSetting(const platform::IniFile& ini, IniKey key, int least, int most, const std::string& unit,
                  LogSink& log) {
  const IniSetting& setting = SettingOf(key);
  const std::string text = ReadTrimmedSetting(ini, key);
  const std::optional<int32_t> value = StrictWholeNumber(text);
  if (value && *value >= least && *value <= most) return *value;
  log.AddLogLine("FEHLER: TOLVEN.INI [" + std::string(setting.section) + "] " + setting.key + "=" + text + " ist " +
                 unit + "; " + setting.defaultValue + " gilt.");
  return std::stoi(setting.defaultValue);
}

// TOLVEN.INI [KUECHE] ERSATZ1..ERSATZ4: the kitchen printer that takes over
// when printer n fails.
printing::KitchenOptions KitchenOptionsOf(const platform::IniFile& ini, LogSink& log,
                                          printing::KitchenOutcomes* outcomes) {
  printing::KitchenOptions options;
  options.outcomes = outcomes;
  for (int n = 1; n <= 4; ++n) {
    const std::string key = "ERSATZ" + std::to_string(n);
    const std::string text = TrimBlanks(ini.Read(kIniFile, SettingOf(IniKey::KuecheErsatz).section, key));
    if (text.empty()) continue;
    const std::optional<int32_t> printer = StrictWholeNumber(text);
    if (!printer || *printer < 1 || *printer > 4 || *printer == n) {
      log.AddLogLine("FEHLER: TOLVEN.INI [KUECHE] " + key + "=" + text +
                     " ist kein anderer Küchendrucker (1 bis 4); Drucker " + std::to_string(n) + " hat keinen Ersatz.");
      continue;
    }
    options.fallback[static_cast<size_t>(n)] = *printer;
  }
  return options;
}

// A reprint asked for on the status page, logged with who asked.
void Reprint(const status::ReprintRequest& r, printing::CustomerReceipt& receipt, printing::KitchenReceipts& kitchen,
             status::PrintRecorder& recorder, LogSink& log) {
  const bool ofReceipt = r.kind == status::ReprintRequest::Kind::Receipt;
  const std::string what = (ofReceipt ? "Kundenbeleg " : "Küchenbon ") + std::to_string(r.number);
  log.AddLogLine("Nachdruck von " + what + " angefordert (" + r.by + ").");
  status::PrintRecorder::Scope scope(
      recorder, ofReceipt ? status::PrintoutKind::CustomerReceipt : status::PrintoutKind::KitchenReceipt);
  const Status st = ofReceipt ? receipt.ReprintFromArchive(r.number) : kitchen.Reprint(r.number);
  log.AddLogLine(st ? "Nachdruck von " + what + " gedruckt."
                    : "FEHLER: Nachdruck von " + what + " nicht gedruckt: " + st.message());
}

// At the end of the run, a last try; what still cannot be written is logged,
// TSE log lines with their text, so they are at least in the console log.
// A receipt's missing archive is written at the next start.
void WriteOrLogPending(platform::PendingWrites& pending, platform::Env& env, LogSink& log) {
  (void)pending.Retry(env);
  for (const platform::PendingWrites::Piece& piece : pending.Waiting()) {
    log.AddLogLine("FEHLER: " + piece.what + " nicht geschrieben.");
    if (!piece.append) continue;
    for (size_t at = 0, end; at < piece.contents.size(); at = end + 2) {
      end = piece.contents.find("\r\n", at);
      if (end == std::string::npos) end = piece.contents.size();
      log.AddLogLine("  " + piece.contents.substr(at, end - at));
    }
  }
}

}  // namespace

int RunGateway(Startup& start, platform::Env& env, platform::Ui& consoleUi) {
  StartupState state;
  std::unique_ptr<db::Connection> connection;
  int rc = start.Main(state, connection);
  if (rc != kExitOk) return rc;

  // From here on every message box is also kept for the status page.
  status::AlertLog alerts(env);
  status::RecordingUi ui(consoleUi, alerts);

  ui.Status("Datenbank " + state.engine + ", Datumsformat " + state.datumFormat +
            ", TRUE = " + std::to_string(state.boolTrueWert) + ", MwSt " + FormatRate(state.mwst[1]) + " / " +
            FormatRate(state.mwst[2]) + ", Sprache " + state.sprache + ", Installationsordner " + state.exePfad +
            ", Log " + state.logPfad);

  // Every module is built once on the one connection and gets what it works
  // with through its constructor; the running log comes first.
  platform::IniFile& ini = start.ini();
  // Every module waits through the loop: a job's wait lets the others run.
  loop::EventLoop loop(env);
  // Between the steps of a pass and after every log line: the kitchen's
  // retries, the status snapshot and the watchdog (set once they exist).
  std::function<void()> betweenSteps;
  gateway::RunningLog log(loop, ui, [&betweenSteps] {
    if (betweenSteps) betweenSteps();
  });
  loop.SetReporter([&log](const std::string& text) { log.AddLogLine(text); });
  loop.UseWorkerThreads();
  // Each job its own connection, its statements off the loop's thread.
  db::JobConnections jobConnections(*connection, loop, [&start, &state] { return start.OpenDatabase(state, false); });
  // The monitoring learns from here whether the last statement succeeded.
  status::WatchedConnection watched(jobConnections);
  db::StationContext tools(watched, state, loop, ui);
  // What the modules report for the counters of the page and /metrics.
  status::StatusCounters counters;
  fiscal::TseServerClient tseServer(tools);
  status::TseMonitor tseMonitor(tseServer, alerts, env);
  // Archive copies and TSE log lines that could not be written wait here.
  platform::PendingWrites pendingWrites;
  fiscal::Tse tse(tools, tseMonitor, ReadTseIdentity(ini, state), &pendingWrites, counters);
  tse.SetLog(log);

  const std::unique_ptr<platform::PrinterSystem> spooler = platform::MakePrinterSystem();
  display::CustomerDisplay display(
      tools, ini, [&loop] { return platform::MakeSerialPort(loop); },
      [](const std::string& text) { return printing::ConvertUmlauts(text); });
  printing::ChannelPrintEngine engine(
      loop, ui, ini, [&ini](const std::string& name) { return printing::GetPrinterCode(ini, name); },
      printing::ChannelPrintEngine::Devices{[&loop] { return platform::MakeSerialPort(loop); },
                                            [&loop] { return platform::MakeParallelPort(loop); }, spooler.get(),
                                            &display},
      log, state.logPfad);
  status::PrintRecorder recorder(engine, env);
  recorder.SetQrLookup([&tools](int32_t bunr) { return status::StoredQrText(tools, bunr); });
  const printing::PrintServices printServices{ini, ui, recorder, counters};
  // Kitchen lines waiting for their printer: an alert each, retried, listed on the page.
  gateway::KitchenBacklog backlog(
      env, log,
      {[&alerts](const std::string& text) { return alerts.Add(platform::MsgKind::Critical, "Küchendrucker", text); },
       [&alerts](int64_t id) { alerts.Acknowledge(id, "Gateway: gedruckt oder verworfen"); }},
      NumberSetting(ini, IniKey::KuecheNachdruck, 1, 24 * 60, "keine Minutenzahl von 1 bis 1440", log));
  printing::KitchenReceipts kitchenReceipts(tools, printServices, tse, log, KitchenOptionsOf(ini, log, &backlog));
  printing::CustomerReceipt receipt(tools, printServices, &pendingWrites);
  settlement::TableSettlement settlement(tools, log, state.tseInUse ? &tse : nullptr, {}, counters);

  // The recorder tells kitchen receipts from customer receipts by who prints them.
  using Kind = status::PrintoutKind;
  const auto marker = [&recorder](Kind kind) {
    return [&recorder, kind]() -> std::shared_ptr<void> {
      return std::make_shared<status::PrintRecorder::Scope>(recorder, kind);
    };
  };
  // A table's settlement and its kitchen printouts are one job's at a time.
  loop::Holds tableHolds(loop, loop::Holds::Rank::Table);
  // Every kitchen printout goes one way: claimed lines, printed, marked, signed.
  gateway::KitchenPrinting kitchen(tools, tse, kitchenReceipts, tableHolds, log, marker(Kind::KitchenReceipt),
                                   &backlog);
  gateway::TerminalExchange exchange(tools, log);
  // A table is paid only once the kitchen has every line: pending ones are
  // printed first, with their own order transaction as after an order.
  gateway::TerminalRequests requests(tools, exchange, log, settlement, receipt, tableHolds, &kitchen,
                                     marker(Kind::CustomerReceipt), counters);
  gateway::OrderBooking orders(tools, tse, exchange, log, &kitchen, &requests, counters);

  status::ReprintQueue reprints;
  // Between passes: what waits to be written is tried again every second, and
  // the page's reprint requests become jobs.
  bool retrying = false;
  int64_t nextRetryMs = 0;
  // Old logs and files set aside go at the start and once a day.
  gateway::Housekeeping housekeeping(
      env, log, state.exePfad, NumberSetting(ini, IniKey::LogAufbewahrung, 0, INT32_MAX, "keine Anzahl Tage", log));
  int64_t nextPruneMs = 0;
  // The TSE server is asked at the start and, while it is silent, whenever a
  // probe is due: the page turns red before the first order waits for it,
  // and green again without one.
  const bool checkTse = tse.TseInUse() && ToUpper(ReadTrimmedSetting(ini, IniKey::TseVerbindungstest)) != "NEIN";
  bool tseAsked = false;
  bool tseAsking = false;
  auto startJobs = [&] {
    const int64_t now = env.MonotonicMs();
    if (checkTse && !tseAsking && (!tseAsked || tse.serverSilent()) && tse.CheckDue()) {
      tseAsked = tseAsking = true;
      loop.Spawn([&] {
        Cleared asking{tseAsking};
        (void)tse.CheckServer();  // what it learns shows in the breaker and the log
      });
    }
    if (now >= nextPruneMs) {
      nextPruneMs = now + gateway::Housekeeping::kEveryMs;
      loop.Spawn([&housekeeping] { housekeeping.Prune(); });
    }
    if (!pendingWrites.empty() && !retrying && now >= nextRetryMs) {
      retrying = true;
      nextRetryMs = now + 1000;
      loop.Spawn([&] {
        Cleared done{retrying};
        for (const auto& piece : pendingWrites.Retry(loop)) log.AddLogLine(piece.what + " nachgeschrieben.");
      });
    }
    for (const status::ReprintRequest& r : reprints.Take()) {
      using K = status::ReprintRequest::Kind;
      if (r.kind == K::WaitingPrint || r.kind == K::WaitingDrop) {
        if (!backlog.Ask(r.printer, r.number, r.kind == K::WaitingPrint, r.by)) {
          log.AddLogLine("Statusseite: für Drucker " + std::to_string(r.printer) + ", Tisch " +
                         std::to_string(r.number) + " wartet nichts (" + r.by + ").");
        }
        continue;
      }
      loop.Spawn([&, r] { Reprint(r, receipt, kitchenReceipts, recorder, log); });
    }
  };
  gateway::TerminalPoller poller(tools, exchange, orders, &requests, loop, log,
                                 gateway::PollCallbacks{[&betweenSteps] { betweenSteps(); },
                                                        // Asked once after every pass over the slots.
                                                        [&startJobs] {
                                                          startJobs();
                                                          return platform::StopRequested();
                                                        }},
                                 counters);

  status::StatusBoard board;
  status::StatusCollector collector(
      status::StatusSources{exchange, log, tse, tseMonitor, recorder, alerts, state, env,
                            [&tseServer] { return tseServer.answerQueries(); },
                            [&engine] { return engine.statusText(); }, &counters, &watched.health(),
                            PrinterNames(*connection, state), [&backlog] { return backlog.Waits(); }},
      board);
  betweenSteps = [&collector, &backlog, &loop, &kitchen] {
    backlog.Tick(loop, kitchen);
    collector.OnProcessEvents();
    platform::NotifyWatchdog();  // between slots, in the log and inside the bounded waits
  };
  status::StatusService service(board, alerts, env, &reprints);
  service.WatchLoop();

  poller.Load();
  recorder.LoadArchived(state.archivBonPfad,
                        status::LatestReceiptNumbers(tools, static_cast<int>(status::PrintRecorder::kKeep)));
  collector.Collect();
  // Declared after everything it reads, so it is stopped before any of it goes.
  std::unique_ptr<platform::HttpServer> server = StartStatusPage(ReadStatusConfig(ini), service, log);
  platform::NotifyReady();
  // What an interrupted run left: its printouts are jobs beside the terminals.
  gateway::CrashRecovery recovery(tools, kitchen, receipt, log, [&marker](bool ofKitchen) {
    return marker(ofKitchen ? Kind::KitchenReceipt : Kind::CustomerReceipt)();
  });
  recovery.Run(&loop);
  poller.Run();
  platform::NotifyStopping();
  WriteOrLogPending(pendingWrites, env, log);
  log.AddLogLine("Orderterminal-Gateway beendet.");
  if (server) server->Stop();
  connection->Close();
  return kExitOk;
}

}  // namespace tolven
