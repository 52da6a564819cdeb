#include "startup/run_gateway.h"

#include "common/money.h"
#include "platform/signals.h"

namespace tolven {

int RunGateway(ModuleStart& start, platform::Env& env, platform::Ui& ui) {
  StartupState state;
  std::unique_ptr<db::Connection> connection;
  int rc = start.Main(state, connection);
  if (rc != kExitOk) return rc;

  ui.LogLine("Start-up: Datenbank " + state.engine + ", Datumsformat " + state.datumFormat + ", TRUE = " +
             std::to_string(state.boolTrueWert) + ", MwSt " + FormatRate(state.mwst[1]) + " / " +
             FormatRate(state.mwst[2]) + ", Sprache " + state.sprache + ", Filiale " + std::to_string(state.filiale) +
             " / Kasse " + std::to_string(state.kasse) + ", Programmordner " + state.exePfad + ", Log " +
             state.logPfad);
  while (!platform::StopRequested()) env.SleepMs(100);
  connection->Close();
  return kExitOk;
}

}  // namespace tolven
