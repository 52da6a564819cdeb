// The gateway's entry point.
#include <cstdio>
#include <cstring>
#include <string>

#include "common/cp1252.h"
#include "platform/env.h"
#include "platform/printer_system.h"
#include "platform/signals.h"
#include "platform/system_service.h"
#include "platform/ui.h"
#include "startup/backup.h"
#include "startup/check.h"
#include "startup/init_db.h"
#include "startup/run_gateway.h"
#include "startup/startup.h"

namespace {

// The keys of TOLVEN.INI only with --help: after a wrong option the usage is enough.
void PrintHelp(bool withKeys) {
  using tolven::platform::HasServiceOptions;
  std::fputs(
      tolven::Cp1252ToUtf8(
          std::string("Aufruf: tolvenpda [--help | --version | --init-db | --check | --backup DATEI") +
          (HasServiceOptions() ? " | --service | --install-service | --remove-service" : "") +
          "]\n"
          "\n"
          "Orderterminal-Gateway: holt Bestellungen und Anfragen der Orderterminals aus\n"
          "ihren Austauschordnern, bucht sie in die Kassendatenbank, druckt Küchenbons und\n"
          "Kundenbelege und lässt Bestellungen und Belege von der TSE signieren.\n"
          "\n"
          "  --help      diese Hilfe\n"
          "  --version   Programmversion\n"
          "  --init-db   legt alle Tabellen in der konfigurierten, leeren Datenbank an\n"
          "  --check     prüft Konfiguration, Datenbank, Ordner, Drucker und TSE-Tabellen,\n"
          "              ohne etwas zu ändern (Rückgabewert 0 nur, wenn alles in Ordnung ist)\n"
          "  --backup DATEI  schreibt eine geprüfte Kopie der SQLite-Datenbank, auch während\n"
          "              das Gateway läuft\n" +
          (HasServiceOptions() ? "  --service          läuft als Dienst (nur durch die Dienstverwaltung)\n"
                                 "  --install-service  richtet den Dienst \"tolvenpda\" ein (automatischer Start)\n"
                                 "  --remove-service   hält den Dienst an und entfernt ihn\n"
                               : "") +
          "\n"
          "Konfiguration: TOLVEN.INI und KASSEPRTCODES.INI im Ordner $TOLVEN_WINDIR\n"
          "(Vorgabe " +
          tolven::platform::DefaultConfigFolder() + "). Beenden mit Strg-C oder " +
          (tolven::platform::HasServiceOptions() ? "als Dienst mit sc stop tolvenpda" : "SIGTERM") + ".\n")
          .c_str(),
      stdout);
  if (!withKeys) return;
  std::fputs(tolven::Cp1252ToUtf8("\nTOLVEN.INI: [Abschnitt] Schlüssel = Vorgabe; * fehlt der Schlüssel oder ist er\n"
                                  "leer, trägt das Programm die Vorgabe in die Datei ein.\n" +
                                  tolven::SettingsHelpText())
                 .c_str(),
             stdout);
}

// The check prints its own lines; the start-up's status lines would only
// come between them.
class CheckUi final : public tolven::platform::Ui {
 public:
  explicit CheckUi(tolven::platform::Ui& inner) : inner_(inner) {}
  void Status(const std::string&) override {}
  void LogLine(const std::string& line) override { inner_.LogLine(line); }
  void MessageBox(const std::string& text, tolven::platform::MsgKind kind, const std::string& title) override {
    inner_.MessageBox(text, kind, title);
  }
  std::string InputBox(const std::string&, const std::string&) override { return ""; }

 private:
  tolven::platform::Ui& inner_;
};

}  // namespace

int main(int argc, char** argv) {
  using namespace tolven;
  std::string option = argc > 1 ? argv[1] : "";
  if (option == "--help" || option == "-h") {
    PrintHelp(true);
    return kExitOk;
  }
  if (option == "--version") {
    std::printf("tolvenpda %d.%d.%d\n", TOLVEN_VERSION_MAJOR, TOLVEN_VERSION_MINOR, TOLVEN_VERSION_PATCH);
    return kExitOk;
  }
  const bool serviceOption = platform::HasServiceOptions() &&
                             (option == "--service" || option == "--install-service" || option == "--remove-service");
  if (option == "--backup" && (argc != 3 || argv[2][0] == '\0')) {
    std::fprintf(stderr, "--backup braucht den Namen der Sicherungsdatei.\n");
    PrintHelp(false);
    return kExitUsage;
  }
  if (!option.empty() && option != "--init-db" && option != "--check" && option != "--backup" && !serviceOption) {
    std::fprintf(stderr, "Unbekannte Option: %s\n", argv[1]);
    PrintHelp(false);
    return kExitUsage;
  }

  if (option == "--install-service" || option == "--remove-service") {
    Status st = option == "--install-service" ? platform::InstallService() : platform::RemoveService();
    if (!st) {
      std::fprintf(stderr, "%s\n", Cp1252ToUtf8(st.message()).c_str());
      return 1;
    }
    std::printf("%s\n", option == "--install-service" ? "Dienst tolvenpda eingerichtet (Start: sc start tolvenpda)."
                                                      : "Dienst tolvenpda entfernt.");
    return kExitOk;
  }

  platform::Env& env = platform::DefaultEnv();
  platform::Ui& ui = platform::ConsoleUi();
  if (option == "--check") {
    CheckUi checkUi(ui);
    Startup start(env, checkUi, Utf8ToCp1252(ConfigFolderFromEnvironment()));
    const std::unique_ptr<platform::PrinterSystem> spooler = platform::MakePrinterSystem();
    return CheckInstallation(start, env, checkUi, *spooler);
  }
  if (option == "--backup") {
    CheckUi quiet(ui);
    Startup start(env, quiet, Utf8ToCp1252(ConfigFolderFromEnvironment()));
    return BackupDatabase(start, env, quiet, Utf8ToCp1252(argv[2]));
  }
  const auto gateway = [&] {
    Startup start(env, ui, Utf8ToCp1252(ConfigFolderFromEnvironment()));
    if (option == "--init-db") return InitDatabase(start, ui);
    platform::InstallStopHandlers();
    const int rc = RunGateway(start, env, ui);
    platform::StopFinished();
    // A service that ended leaves a trace where the technician looks.
    if (platform::RunningAsService()) {
      ui.MessageBox("Der Dienst tolvenpda endet (Rückgabewert " + std::to_string(rc) + ").",
                    rc == kExitOk ? platform::MsgKind::Information : platform::MsgKind::Critical);
    }
    return rc;
  };
  // As a service the whole gateway runs on the service's thread. What needs a
  // person is not retried (as in the systemd unit).
  return option == "--service"
             ? platform::RunAsService(gateway, {kExitAlreadyRunning, kExitNoPassword, kExitNoLock, kExitStationInUse,
                                                kExitLoginRefused, kExitBadConfiguration, kExitUsage})
             : gateway();
}
