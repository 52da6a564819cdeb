// The print-line buffer and the printer codes of KASSEPRTCODES.INI.
#include <gtest/gtest.h>

#include "druck_fixture.h"

namespace tolven::testing {
namespace {

using printing::modDruck2;

class CapturingEngine : public printing::PrintEngine {
 public:
  Status MyPrint(const std::vector<std::string>& l, const std::string& c, bool cut, bool slow) override {
    lines = l;
    channel = c;
    cutAtEnd = cut;
    slowPrinter = slow;
    ++calls;
    return result;
  }
  std::vector<std::string> lines;
  std::string channel;
  bool cutAtEnd = false, slowPrinter = true;
  int calls = 0;
  Status result;
};

struct BufferRig {
  TempDir dir;
  FakeEnv env;
  FakeUi ui;
  platform::IniFile ini{env, dir.path()};
  CapturingEngine engine;
  modDruck2 druck{ini, ui, engine};
  std::string IniText() const { return ReadAll(dir / printing::kPrinterCodesIni); }
};

TEST(PrintBuffer, EmptyBufferHandsAnEmptyPrintoutWithDefaultFlags) {
  BufferRig r;
  r.druck.AddPrintLine("alt");
  r.druck.ResetPrintLines();
  EXPECT_EQ(r.druck.count(), -1);
  EXPECT_TRUE(r.druck.PrintLines("COM1").ok());
  EXPECT_EQ(r.engine.calls, 1);
  EXPECT_TRUE(r.engine.lines.empty());
  EXPECT_EQ(r.engine.channel, "COM1");
  EXPECT_TRUE(r.engine.cutAtEnd);
  EXPECT_FALSE(r.engine.slowPrinter);
}

TEST(PrintBuffer, KeepsFourThousandAndOneLinesAndSaysSoOncePerPrintout) {
  BufferRig r;
  for (int printout = 0; printout < 2; ++printout) {
    r.druck.ResetPrintLines();
    for (int i = 0; i < 4003; ++i) r.druck.AddPrintLine("Zeile " + std::to_string(i));
    EXPECT_EQ(r.druck.count(), 4000);
    ASSERT_EQ(r.ui.messages.size(), static_cast<size_t>(printout + 1));
    EXPECT_EQ(r.ui.messages.back().text,
              "Maximale Anzahl der Druckzeilen erreicht.\r\n\r\nWeitere Zeilen werden ignoriert.");
    EXPECT_EQ(r.ui.messages.back().kind, platform::MsgKind::Critical);
    ASSERT_TRUE(r.druck.PrintLines("FILE:x", false, true).ok());
    ASSERT_EQ(r.engine.lines.size(), 4001u);
    EXPECT_EQ(r.engine.lines.back(), "Zeile 4000");
    EXPECT_FALSE(r.engine.cutAtEnd);
    EXPECT_TRUE(r.engine.slowPrinter);
  }
}

TEST(PrinterCodes, FixedTableAndConfiguredValues) {
  struct Case {
    const char* name;
    const char* configured;  // nullptr: not in the file
    std::string expected;
  } cases[] = {
      {"SCHUBLADE", nullptr, Bytes({27, 112, 0, 9, 1})},
      {"SCHUBLADE", "27,112,0,25,250", Bytes({27, 112, 0, 25, 250})},
      {"BAUD", nullptr, "9600"},
      {"BAUD", "19200", "19200"},  // a text setting, not a byte list
      {"CUTTER", nullptr, Bytes({29, 86, 49})},
      {"CUTTER", "29,86,300,65", Bytes({29, 86, 65})},  // 300 is no byte
      {"LOGO", nullptr, Bytes({28, 112, 1, 0})},
      {"KÜCHENSUMMER", nullptr, Bytes({27, 112, 0, 255, 255})},
      {"SCHUBLADE_ALT", "27,112", Bytes({27, 112})},
      {"SCHUBLADE_ALT", "27,,112", Bytes({27})},         // the list ends at the first empty token
      {"SCHUBLADE_ALT", " 27 , x ,-1,2.6", Bytes({27, 0, 3})},  // no digits gives 0, -1 skipped, rounded
      {"SERIAL-DELAY", "5", Bytes({5})},
      {"HANDSHAKE", nullptr, ""},
      {"HANDSHAKE", "  NONE  ", "NONE"},
      {"FONT", "Courier New", "Courier New"},
      {"FONTSIZE", nullptr, "10"},
      {"UNBEKANNT", nullptr, ""},
  };
  for (const Case& c : cases) {
    BufferRig r;
    if (c.configured) {
      ASSERT_TRUE(r.ini.Write(printing::kPrinterCodesIni, "CODES", c.name, c.configured).ok());
    }
    EXPECT_EQ(r.druck.GetPrinterCode(c.name), c.expected) << c.name << "=" << (c.configured ? c.configured : "");
  }
}

TEST(PrinterCodes, NamesLookedUpUnconfiguredAreWrittenBackEmpty) {
  BufferRig r;
  ASSERT_TRUE(r.ini.Write(printing::kPrinterCodesIni, "CODES", "BAUD", "19200").ok());
  EXPECT_EQ(r.druck.GetPrinterCode("UNBEKANNT"), "");
  EXPECT_EQ(r.druck.GetPrinterCode("KÜCHENSUMMER"), Bytes({27, 112, 0, 255, 255}));
  EXPECT_EQ(r.druck.GetPrinterCode("BAUD"), "19200");
  std::string text = r.IniText();
  EXPECT_NE(text.find("UNBEKANNT=\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("KÜCHENSUMMER=\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("BAUD=19200"), std::string::npos) << text;  // configured values stay
}

TEST(PrinterCodes, MissingFolderBehavesAsEmptyFile) {
  FakeEnv env;
  FakeUi ui;
  platform::IniFile ini(env, "/nonexistent/tolven-config");
  CapturingEngine engine;
  modDruck2 druck(ini, ui, engine);
  EXPECT_EQ(druck.GetPrinterCode("CUTTER"), Bytes({29, 86, 49}));
  EXPECT_TRUE(ui.messages.empty());
}

}  // namespace
}  // namespace tolven::testing
