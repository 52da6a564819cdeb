// The customer display: a pole display on a serial port (many makes, each with
// its own control codes) or, for a second screen, the external customer-monitor
// program that reads a text file. The print engine opens it, shows
// "Belegdruck..." while a receipt prints, and "." when done; the "DISP" print
// channel prints through its port.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "db/station_context.h"
#include "display/display_protocol.h"
#include "loop/holds.h"
#include "platform/ini_file.h"
#include "platform/serial_port.h"

namespace tolven::display {

struct DisplayKind {
  int kind = 3;
  int comPort = 0;
};

class CustomerDisplay {
 public:
  using PortFactory = std::function<std::unique_ptr<platform::SerialPort>()>;
  // Printer character conversion applied to the texts of serial displays.
  using Converter = std::function<std::string(const std::string&)>;

  CustomerDisplay(db::StationContext& tools, platform::IniFile& ini, PortFactory portFactory, Converter convert);

  // Reads the configuration, determines kind and port, opens the port and
  // initialises the display. An already open port is kept.
  void OpenDisplay();
  // Two texts, one per display line; the optional pairs go only to the monitor file.
  void ShowDisplay(const std::string& text1, const std::string& text2,
                   const std::vector<std::pair<int, std::string>>& extra = {});
  static std::string DisplayUmlauts(const std::string& text);
  // Kind and port by the type text (first matching word wins) and the configured port.
  static DisplayKind DetermineKind(const std::string& typeText, int comdisp);

  int kind() const { return kind_.kind; }
  int comPort() const { return kind_.comPort; }
  bool initialised() const { return initialised_; }
  // The display's open port, for printing through it; nullptr when it is closed.
  platform::SerialPort* port();
  // The two display texts of `system`, read at every opening and kept for callers.
  const std::string& disptxt1() const { return disptxt1_; }
  const std::string& disptxt2() const { return disptxt2_; }

 private:
  bool ReadConfiguration(int& comdisp, std::string& disptyp);
  void StartMonitorProgram();
  void StartBcsProgram();
  bool OpenPort();
  void WriteMonitorFile(const std::vector<std::pair<int, std::string>>& extra);
  // Sends the steps in order; a failed write closes the port and stops.
  void Send(const DisplaySequence& steps);

  db::StationContext& tools_;
  platform::IniFile& ini_;
  PortFactory portFactory_;
  Converter convert_;
  std::unique_ptr<platform::SerialPort> port_;
  DisplayKind kind_;
  bool initialised_ = false;
  std::string disptxt1_, disptxt2_;
  loop::Holds sending_{tools_.env(), loop::Holds::Rank::Display};
};

}  // namespace tolven::display
