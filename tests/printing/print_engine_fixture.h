// The print engine on the platform's serial and parallel ports and a recording
// spooler: fake clock, recording UI and log, real INI files in a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

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

struct PrintEngineRig {
  TempDir dir;
  FakeEnv env;
  FakeUi ui;
  RecordingLog log;
  platform::IniFile ini{env, dir.path()};
  FakePrinterSystem spooler;
  std::vector<std::string> statuses;
  std::unique_ptr<printing::ChannelPrintEngine> engine;

  PrintEngineRig() {
    printing::ChannelPrintEngine::Devices devices;
    devices.serialPort = [] { return platform::MakeSerialPort(); };
    devices.parallelPort = [] { return platform::MakeParallelPort(); };
    devices.spooler = &spooler;
    engine = std::make_unique<printing::ChannelPrintEngine>(
        env, ui, ini, [this](const std::string& name) { return printing::GetPrinterCode(ini, name); }, devices, log,
        dir.path() + "/");
    engine->SetStatusObserver([this](const std::string& s) { statuses.push_back(s); });
  }

  void Code(const std::string& key, const std::string& value) {
    ASSERT_TRUE(ini.Write(printing::kPrinterCodesIni, "CODES", key, value).ok());
  }
  bool HadStatus(const std::string& s) const {
    return std::find(statuses.begin(), statuses.end(), s) != statuses.end();
  }
};

}  // namespace tolven::testing
