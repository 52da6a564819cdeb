#include "display/customer_display.h"

#include "common/text.h"
#include "platform/device_names.h"

namespace tolven::display {

namespace {

constexpr const char* kCrLf2 = "\r\n\r\n";
constexpr const char* kMonitorProgram = "vskddisp.exe";

bool Contains(const std::string& text, const char* word) { return text.find(word) != std::string::npos; }

// A control character inside a text would reach the display as a command (on
// several kinds ESC = 1 hands the line over to the printer behind it), so the
// texts carry only printable characters.
std::string Printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  }
  return text;
}

}  // namespace

CustomerDisplay::CustomerDisplay(db::StationContext& tools, platform::IniFile& ini, PortFactory portFactory,
                                 Converter convert)
    : tools_(tools), ini_(ini), portFactory_(std::move(portFactory)), convert_(std::move(convert)) {}

DisplayKind CustomerDisplay::DetermineKind(const std::string& typeText, int comdisp) {
  const std::string t = ToUpper(typeText);
  auto has = [&t](const char* word) { return Contains(t, word); };
  // The order matters: "TOSHIBA C-10" before "TOSHIBA", the IBM number before
  // the makers that sell displays under the same model number.
  if (has("VGA")) return {12, 0};
  if (has("8100")) return {2, 4};
  if (has("SUREPOS")) return {4, 4};
  if (has("EPSON")) {
    if (has("IR-700")) return {5, 4};
    if (has("SR-610") || has("IR-320")) return {5, 3};
    return {5, comdisp};
  }
  if (has("CITIZEN")) return {5, comdisp};
  if (has("COLUMBUS")) return {18, 1};
  if (has("TOSHIBA C-10")) return {17, 2};
  if (has("TOSHIBA")) return {8, comdisp};
  if (has("SANGO")) return {21, 7};
  if (has("YUNO")) return {22, 6};
  if (has("AURES")) return {10, has("GALEO") ? 7 : comdisp};
  if (has("GLANCETRON") || has("JARLTECH")) {
    if (has("8003")) return {1, comdisp};
    if (has("8650")) return {7, comdisp};
    if (has("8036")) return {13, comdisp};
    if (has("8035")) return {14, comdisp};
    if (has("8802")) return {9, 3};
    return {6, comdisp};
  }
  if (has("PT-62")) return {5, 6};
  if (has("IMPREX")) return {5, 4};
  if (has("MINIO")) return {20, 4};
  if (has("HP AP5000")) return {15, comdisp};
  if (has("NCR")) return {16, comdisp};
  if (has("PAYPOINT")) return {23, 2};
  if (has("NETTUN")) return {24, 7};
  return {3, comdisp};  // plain 40 characters suit most unknown displays
}

std::string CustomerDisplay::DisplayUmlauts(const std::string& text) {
  std::string out = text;
  out = ReplaceAll(out, "ä", "ae");
  out = ReplaceAll(out, "ü", "ue");
  out = ReplaceAll(out, "ö", "oe");
  out = ReplaceAll(out, "Ä", "Ae");
  out = ReplaceAll(out, "Ü", "Ue");
  out = ReplaceAll(out, "Ö", "Oe");
  out = ReplaceAll(out, "ß", "ss");
  return out;
}

platform::SerialPort* CustomerDisplay::port() { return port_ && port_->IsOpen() ? port_.get() : nullptr; }

bool CustomerDisplay::ReadConfiguration(int& comdisp, std::string& disptyp) {
  const StartupState& st = tools_.state();
  auto rs =
      tools_.Open("SELECT * FROM systemhw WHERE filnr = " + NumStr(st.filiale) + " AND kasse = " + NumStr(st.kasse));
  if (!rs) {
    tools_.ui().MessageBox("Kundendisplay-Einstellungen können nicht gelesen werden: " + rs.status().message(),
                           platform::MsgKind::Critical);
    return false;
  }
  // No row for this station: no port and no type, which leaves the display closed.
  comdisp = db::GetFieldValue(*rs, "comdisp").AsInt();
  disptyp = db::GetFieldValue(*rs, "disptyp").AsString();

  // The texts are only kept; a failure to read them must not cost the display.
  auto sys = tools_.Open("SELECT * FROM system");
  if (sys) {
    disptxt1_ = db::GetFieldValue(*sys, "disptxt1").AsString();
    disptxt2_ = db::GetFieldValue(*sys, "disptxt2").AsString();
  }
  return true;
}

void CustomerDisplay::StartMonitorProgram() {
  // Started at every opening, as the POS programs do: the monitor program keeps
  // a single window itself, and a monitor that was closed comes back with the
  // next receipt.
  Status st = tools_.env().StartProgram(tools_.state().exePfad + kMonitorProgram, {});
  if (!st) {
    tools_.ui().MessageBox(std::string("Softwaremodul für externen Kundenmonitor kann nicht gestartet werden.") +
                               kCrLf2 + "Prüfen Sie, ob die Datei " + "VSKDDISP.EXE vorhanden ist." + kCrLf2 +
                               "Windows-Fehler: " + st.message(),
                           platform::MsgKind::Critical);
  }
}

void CustomerDisplay::StartBcsProgram() {
  std::string exe = ini_.Read("TOLVEN.INI", "BCS", "EXE", "");
  if (exe.empty()) {
    // Like every INI value read, a missing key is written back empty so the
    // operator finds it in the file.
    (void)ini_.Write("TOLVEN.INI", "BCS", "EXE", "");
    return;
  }
  if (!tools_.env().FileExists(exe)) return;
  Status st = tools_.env().StartProgram(exe, {});
  if (!st) {
    tools_.ui().MessageBox("Programm " + exe + " kann nicht gestartet werden: " + st.message(),
                           platform::MsgKind::Critical);
  }
}

bool CustomerDisplay::OpenPort() {
  if (port_ && port_->IsOpen()) return true;
  if (kind_.comPort <= 0) return false;
  if (!port_) {
    if (portFactory_) port_ = portFactory_();
    if (!port_) return false;
  }
  // Nothing is read from the display, so the port needs no receive settings.
  SerialSetup setup = SerialSetupFor(kind_.kind);
  Status st = port_->Open(platform::ComDevice(ini_, kind_.comPort), setup.settings, setup.handshake);
  if (!st) {
    port_->Close();
    tools_.ui().MessageBox("Kundendisplay-Port kann nicht geöffnet werden: " + st.message(),
                           platform::MsgKind::Critical);
    return false;
  }
  if (setup.raiseLines) {
    // Some adapters have no modem lines; the display works without them.
    (void)port_->SetLines(true, true);
  }
  return true;
}

void CustomerDisplay::OpenDisplay() {
  int comdisp = 0;
  std::string disptyp;
  // Without its configuration the display keeps whatever state it had.
  if (!ReadConfiguration(comdisp, disptyp)) return;

  kind_ = DetermineKind(disptyp, comdisp);
  bool ready = false;
  if (kind_.kind == 12) {
    StartMonitorProgram();
    ready = true;  // the monitor file is written whether or not the program runs yet
  } else {
    ready = OpenPort();
  }
  if (kind_.kind == 23) StartBcsProgram();

  initialised_ = ready;
  if (ready) Send(InitSequence(kind_.kind));
}

void CustomerDisplay::Send(const DisplaySequence& steps) {
  // A sequence pauses between its steps; another job's text waits for its end.
  const loop::Holds::Hold hold = sending_.Take("Kundendisplay");
  for (const DisplayStep& step : steps) {
    platform::SerialPort* p = port();
    if (!p) return;
    Status st = p->Write(step.bytes);
    if (!st) {
      // A display that was unplugged leaves a dead port behind; closing it
      // lets the next opening find the display again instead of keeping the
      // dead one for good.
      p->Close();
      initialised_ = false;
      tools_.ui().MessageBox(std::string("Anzeige auf Kundendisplay nicht möglich.") + kCrLf2 +
                                 "Fehler beim Senden an den Kundendisplay-Port: " + st.message(),
                             platform::MsgKind::Critical);
      return;
    }
    if (step.waitMsAfter > 0) tools_.env().SleepMs(step.waitMsAfter);
  }
}

void CustomerDisplay::WriteMonitorFile(const std::vector<std::pair<int, std::string>>& extra) {
  // Three lines, one per pair: the number, ";" and the text; a pair not given
  // leaves its line empty. Published in one piece because the monitor program
  // polls the file and must never read half of it.
  std::string contents;
  for (size_t i = 0; i < 3; ++i) {
    if (i < extra.size()) contents += std::to_string(extra[i].first) + ";" + extra[i].second;
    contents += "\r\n";
  }
  const std::string path = tools_.state().exePfad + "disp" + std::to_string(tools_.state().kasse) + ".txt";
  Status st = tools_.env().WriteFileAtomic(path, contents);
  if (!st) {
    tools_.ui().MessageBox(
        std::string("Anzeige auf Kundendisplay nicht möglich.") + kCrLf2 + "Fehler beim Dateizugriff: " + st.message(),
        platform::MsgKind::Critical);
  }
}

void CustomerDisplay::ShowDisplay(const std::string& text1, const std::string& text2,
                                  const std::vector<std::pair<int, std::string>>& extra) {
  if (kind_.kind == 12) {
    WriteMonitorFile(extra);
    return;
  }
  if (!port()) return;
  auto prepare = [this](const std::string& text) {
    std::string t = Printable(text);
    // The small display of kind 20 has no German letters at all.
    if (kind_.kind == 20) t = DisplayUmlauts(t);
    return convert_ ? convert_(t) : t;
  };
  Send(UpdateSequence(kind_.kind, prepare(text1), prepare(text2)));
}

}  // namespace tolven::display
