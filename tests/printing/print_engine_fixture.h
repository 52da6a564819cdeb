// The print engine wired to fakes: fake clock, recording UI and log, real INI
// files in a temporary folder, recording ports and spooler (or the real ports);
// and a print-line buffer in front of a recording engine.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/log_sink.h"
#include "common/text.h"
#include "platform/ini_file.h"
#include "printing/print_engine.h"
#include "printing/print_lines.h"
#include "support/fake_devices.h"
#include "support/fake_env.h"
#include "support/fake_print_engine.h"
#include "support/recording_log.h"

namespace tolven::testing {

inline std::string Bytes(std::initializer_list<int> codes) {
  std::string s;
  for (int c : codes) s += static_cast<char>(c);
  return s;
}

// The lines of a printout or table in one text, separated by "|".
inline std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (size_t i = 0; i < lines.size(); ++i) s += (i > 0 ? "|" : "") + lines[i];
  return s;
}

// Hands the engine a port it may destroy while the test keeps the recording.
class SerialProxy : public platform::SerialPort {
 public:
  explicit SerialProxy(FakeSerialPort& port) : port_(port) {}
  Status Open(const std::string& d, const std::string& s, platform::Handshake h) override {
    return port_.Open(d, s, h);
  }
  Status SetLines(bool dtr, bool rts) override { return port_.SetLines(dtr, rts); }
  Status Write(const std::string& bytes) override { return port_.Write(bytes); }
  void Close() override { port_.Close(); }
  bool IsOpen() const override { return port_.IsOpen(); }

 private:
  FakeSerialPort& port_;
};

class ParallelProxy : public platform::ParallelPort {
 public:
  explicit ParallelProxy(FakeParallelPort& port) : port_(port) {}
  Status Open(const std::string& d) override { return port_.Open(d); }
  Status Write(const std::string& bytes) override { return port_.Write(bytes); }
  void Close() override { port_.Close(); }

 private:
  FakeParallelPort& port_;
};

struct PrintEngineRig {
  TempDir dir;
  FakeEnv env;
  FakeUi ui;
  RecordingLog log;
  platform::IniFile ini{env, dir.path()};
  FakePrinterSystem spooler;
  std::vector<std::unique_ptr<FakeSerialPort>> serialPorts;  // the ports the engine asked for, in order
  std::vector<std::unique_ptr<FakeParallelPort>> parallelPorts;
  bool serialFailOpen = false, serialFailWrite = false;
  std::vector<std::string> statuses;
  std::unique_ptr<printing::ChannelPrintEngine> engine;
  // The print-line buffer in front of a recording engine instead.
  FakePrintEngine recorded;
  printing::PrintLineBuffer printLines{ini, ui, recorded};

  // realPorts: the platform's serial and parallel ports instead of the recording ones.
  explicit PrintEngineRig(bool realPorts = false) {
    printing::ChannelPrintEngine::Devices devices;
    devices.serialPort = [this]() -> std::unique_ptr<platform::SerialPort> {
      serialPorts.push_back(std::make_unique<FakeSerialPort>());
      serialPorts.back()->failOpen = serialFailOpen;
      serialPorts.back()->failWrite = serialFailWrite;
      return std::make_unique<SerialProxy>(*serialPorts.back());
    };
    devices.parallelPort = [this]() -> std::unique_ptr<platform::ParallelPort> {
      parallelPorts.push_back(std::make_unique<FakeParallelPort>());
      return std::make_unique<ParallelProxy>(*parallelPorts.back());
    };
    if (realPorts) {
      devices.serialPort = [] { return platform::MakeSerialPort(); };
      devices.parallelPort = [] { return platform::MakeParallelPort(); };
    }
    devices.spooler = &spooler;
    engine = std::make_unique<printing::ChannelPrintEngine>(
        env, ui, ini, [this](const std::string& name) { return printing::GetPrinterCode(ini, name); }, devices, log,
        dir.path() + "/");
    engine->SetStatusObserver([this](const std::string& s) { statuses.push_back(s); });
  }

  void Code(const std::string& key, const std::string& value) {
    ASSERT_TRUE(ini.Write(printing::kPrinterCodesIni, "CODES", key, value).ok());
  }
  void Port(const std::string& channel, const std::string& device) {
    ASSERT_TRUE(ini.Write("TOLVEN.INI", "PORTS", channel, device).ok());
  }
  bool HadStatus(const std::string& s) const {
    return std::find(statuses.begin(), statuses.end(), s) != statuses.end();
  }
  std::string OnlyMessage() const { return ui.messages.size() == 1 ? ui.messages[0].text : "<not one message>"; }
};

}  // namespace tolven::testing
