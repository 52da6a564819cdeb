// The print-line buffer and the printer codes of KASSEPRTCODES.INI.
#include <gtest/gtest.h>

#include "druck_fixture.h"
#include "support/fake_print_engine.h"

namespace tolven::testing {
namespace {

struct BufferRig {
  TempDir dir;
  FakeEnv env;
  FakeUi ui;
  platform::IniFile ini{env, dir.path()};
  FakePrintEngine engine;
  printing::modDruck2 druck{ini, ui, engine};
};

TEST(PrintBuffer, KeepsFourThousandAndOneLinesAndSaysSoOncePerPrintout) {
  BufferRig r;
  r.druck.AddPrintLine("alt");
  r.druck.ResetPrintLines();
  EXPECT_EQ(r.druck.count(), -1);
  ASSERT_TRUE(r.druck.PrintLines("COM1").ok());
  EXPECT_TRUE(r.engine.printouts.at(0).lines.empty());
  EXPECT_TRUE(r.engine.printouts[0].cutAtEnd);  // the defaults
  EXPECT_FALSE(r.engine.printouts[0].slowPrinter);

  for (size_t printout = 1; printout <= 2; ++printout) {
    r.druck.ResetPrintLines();
    for (int i = 0; i < 4003; ++i) r.druck.AddPrintLine("Zeile " + std::to_string(i));
    EXPECT_EQ(r.druck.count(), 4000);
    ASSERT_EQ(r.ui.messages.size(), printout);
    EXPECT_EQ(r.ui.messages.back().text,
              "Maximale Anzahl der Druckzeilen erreicht.\r\n\r\nWeitere Zeilen werden ignoriert.");
    EXPECT_EQ(r.ui.messages.back().kind, platform::MsgKind::Critical);
    ASSERT_TRUE(r.druck.PrintLines("FILE:x", false, true).ok());
    ASSERT_EQ(r.engine.printouts.back().lines.size(), 4001u);
    EXPECT_EQ(r.engine.printouts.back().lines.back(), "Zeile 4000");
    EXPECT_FALSE(r.engine.printouts.back().cutAtEnd);
    EXPECT_TRUE(r.engine.printouts.back().slowPrinter);
  }
}

TEST(PrinterCodes, DefaultsConfiguredValuesAndByteLists) {
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
      {"SCHUBLADE_ALT", "27,,112", Bytes({27})},                 // the list ends at the first empty token
      {"SCHUBLADE_ALT", " 27 , x ,-1,2.6", Bytes({27, 0, 3})},  // no digits gives 0, -1 skipped, rounded
      {"HANDSHAKE", "  NONE  ", "NONE"},
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
  const std::string text = ReadAll(r.dir / printing::kPrinterCodesIni);
  for (const char* part : {"UNBEKANNT=\r\n", "KÜCHENSUMMER=\r\n", "BAUD=19200"})
    EXPECT_NE(text.find(part), std::string::npos) << part << " in " << text;
}

}  // namespace
}  // namespace tolven::testing
