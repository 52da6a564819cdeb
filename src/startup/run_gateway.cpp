#include "startup/run_gateway.h"

#include "common/money.h"
#include "db/db_tools.h"
#include "fiscal/modTSE.h"
#include "fiscal/modTSE_Vestra.h"
#include "gateway/Form1.h"
#include "platform/signals.h"

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

  db::DbTools tools(*connection, state, env, ui);
  fiscal::modTSE_Vestra vestra(tools);
  fiscal::Tse tse(tools, vestra, ReadTseIdentity(start.ini(), state));
  vestra.Attach(tse);

  gateway::GatewayHooks hooks;
  hooks.stopRequested = [] { return platform::StopRequested(); };
  gateway::Form1 form(tools, tse, hooks);
  vestra.SetLog(form);
  form.Load();
  form.Run();
  connection->Close();
  return kExitOk;
}

}  // namespace tolven
