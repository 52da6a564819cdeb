#include "startup/run_gateway.h"

#include "common/money.h"
#include "db/db_tools.h"
#include "display/modDisplay4.h"
#include "fiscal/modTSE.h"
#include "fiscal/modTSE_Vestra.h"
#include "gateway/Form1.h"
#include "gateway/terminal_requests.h"
#include "platform/cups_printer_system.h"
#include "platform/parallel_port.h"
#include "platform/serial_port.h"
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

int RunGateway(ModuleStart& start, platform::Env& env, platform::Ui& ui) {
  StartupState state;
  std::unique_ptr<db::Connection> connection;
  int rc = start.Main(state, connection);
  if (rc != kExitOk) return rc;

  ui.Status("Datenbank " + state.engine + ", Datumsformat " + state.datumFormat + ", TRUE = " +
            std::to_string(state.boolTrueWert) + ", MwSt " + FormatRate(state.mwst[1]) + " / " +
            FormatRate(state.mwst[2]) + ", Sprache " + state.sprache + ", Programmordner " + state.exePfad +
            ", Log " + state.logPfad);

  // Every module is built once on the one connection; the main window's log is
  // reached through the relay until the window exists.
  platform::IniFile& ini = start.ini();
  LogRelay log;
  db::DbTools tools(*connection, state, env, ui);
  fiscal::modTSE_Vestra vestra(tools);
  fiscal::Tse tse(tools, vestra, ReadTseIdentity(ini, state));
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
  printing::modDruck2 druck(ini, ui, engine);
  printing::modKueBon kueBon(tools, druck, tse, log);
  printing::CustomerReceipt receipt(tools, druck);
  settlement::modTischAbrechnen settlement(tools, log, state.tseInUse ? &tse : nullptr);

  gateway::Form1 form(tools, tse, gateway::GatewayHooks{});
  log.SetTarget(&form);
  gateway::TerminalRequests requests(tools, form, settlement, receipt);
  gateway::GatewayHooks& hooks = form.hooks();
  hooks.stopRequested = [] { return platform::StopRequested(); };
  hooks.printKueBon = [&kueBon](int32_t trx, int32_t startTime, int32_t table, const std::string& waiter) {
    kueBon.PrintKueBon(trx, startTime, table, waiter);
  };
  hooks.settleTable = [&requests](int slot, int32_t table, int32_t waiter, const std::string& payment,
                                  const std::string& list) { requests.SettleTable(slot, table, waiter, payment, list); };
  hooks.handleRequest = [&requests](int slot, const std::string& request, const std::string& answer) {
    requests.HandleTerminalRequest(slot, request, answer);
  };

  form.Load();
  form.Run();
  connection->Close();
  return kExitOk;
}

}  // namespace tolven
