// The print-line buffer, the printer codes of KASSEPRTCODES.INI, channel texts,
// archive files with their check value, and parallel ports.
#include <gtest/gtest.h>

#include <tuple>

#include "print_engine_fixture.h"
#include "printing/print_archive.h"

namespace tolven::testing {
namespace {

TEST(PrintBuffer, KeepsFourThousandAndOneLinesAndSaysSoOncePerPrintout) {
  PrintEngineRig r;
  for (size_t printout = 1; printout <= 2; ++printout) {
    r.printLines.ResetPrintLines();
    for (int i = 0; i < 4003; ++i) r.printLines.AddPrintLine("Zeile " + std::to_string(i));
    ASSERT_EQ(r.ui.messages.size(), printout);
    EXPECT_EQ(r.ui.messages.back().text,
              "Maximale Anzahl der Druckzeilen erreicht.\r\n\r\nWeitere Zeilen werden ignoriert.");
    ASSERT_TRUE(r.printLines.PrintLines("FILE:x", false, true).ok());
    const auto& last = r.recorded.printouts.back();
    EXPECT_TRUE(last.lines.size() == 4001 && last.lines.back() == "Zeile 4000" && !last.cutAtEnd && last.slowPrinter);
  }
}

TEST(PrinterCodes, DefaultsConfiguredValuesAndByteListsAndUnknownNamesWrittenBack) {
  const std::tuple<const char*, const char*, std::string> cases[] = {
      // nullptr: not in the file. The defaults go to the drawers and cutters as they are.
      {"SCHUBLADE", nullptr, Bytes({27, 112, 0, 9, 1})},
      {"SCHUBLADE_ALT", nullptr, Bytes({27, 112})},
      {"SCHUBLADE_2", nullptr, Bytes({27, 112, 1, 9, 1})},
      {"SCHUBLADE_LONG_PULSE", nullptr, Bytes({27, 112, 0, 100, 100})},
      {"SCHUBLADE_2_LONG_PULSE", nullptr, Bytes({27, 112, 1, 100, 100})},
      {"KÜCHENSUMMER", nullptr, Bytes({27, 112, 0, 255, 255})},
      {"CUTTER", nullptr, Bytes({29, 86, 49})},
      {"UNBEKANNT", nullptr, ""},
      {"BAUD", "19200", "19200"},                               // a text setting, not a byte list
      {"CUTTER", "29,86,300,65", Bytes({29, 86, 65})},          // 300 is no byte
      {"SCHUBLADE_ALT", "27,,112", Bytes({27})},                // the list ends at the first empty token
      {"SCHUBLADE_ALT", " 27 , x ,-1,2.6", Bytes({27, 0, 3})},  // no digits gives 0, -1 skipped, rounded
  };
  PrintEngineRig r;
  for (const auto& [name, configured, expected] : cases) {
    if (configured) {
      ASSERT_TRUE(r.ini.Write(printing::kPrinterCodesIni, "CODES", name, configured).ok());
    }
    EXPECT_EQ(r.printLines.GetPrinterCode(name), expected) << name << "=" << (configured ? configured : "");
  }
  const std::string text = ReadAll(r.dir / printing::kPrinterCodesIni);
  for (const char* part : {"UNBEKANNT=\r\n", "KÜCHENSUMMER=\r\n", "BAUD=19200"})
    EXPECT_NE(text.find(part), std::string::npos) << part << " in " << text;
}

TEST(Channels, NormalisedAsTheConfigurationWritesThemAndUnknownOnesRefused) {
  using printing::ChannelKind;
  const std::tuple<const char*, ChannelKind, std::string> cases[] = {
      // text, kind, "name|target|port"
      {"FILE:/a/BON1.BON", ChannelKind::File, "FILE:/a/BON1.BON|/a/BON1.BON|0"},
      {"NETZ Küche 1 ", ChannelKind::Printer, "NETZ|Küche 1|0"},
      {"WIN:Kasse", ChannelKind::Printer, "NETZ|Kasse|0"},
      {"COM10", ChannelKind::Serial, "COM1||1"},  // only four characters count
      {"LPT12", ChannelKind::Parallel, "LPT1||1"},
      {"WIN Drucker", ChannelKind::DefaultPrinter, "WIN ||0"},
      {"DISP", ChannelKind::Display, "DISP||0"},
  };
  for (const auto& [text, kind, parts] : cases) {
    const printing::OutputChannel ch = printing::ClassifyChannel(text);
    EXPECT_TRUE(ch.kind == kind && ch.name + "|" + ch.target + "|" + std::to_string(ch.port) == parts) << text;
  }
  for (const char* text : {"LPT4", "WINDOWS", "com1"})
    EXPECT_EQ(printing::ClassifyChannel(text).kind, ChannelKind::Unknown) << text;
  PrintEngineRig r;  // an unknown channel is refused and nothing prints
  EXPECT_FALSE(r.engine->MyPrint({"a"}, "LPT4", true, false).ok());
  EXPECT_EQ(r.OnlyMessage(), "Ausdruck nicht möglich. Unzulässige Einstellung für Ausgabe: >LPT4<");
  EXPECT_TRUE(r.parallelPorts.empty() && r.serialPorts.empty() && r.spooler.jobs.empty());
}

TEST(Archive, LinesWithCheckValueAndNulsSpelledOutOrAFailureReported) {
  using Check = printing::ArchivedPrintout::Check;
  PrintEngineRig r;
  // NUL is written as {0} and checked as written; control codes stay; never a cut.
  const std::vector<std::string> lines = {"123456789", std::string("a\0b", 3), Bytes({27, 33, 16}) + "c"};
  ASSERT_TRUE(r.engine->MyPrint({"123456789"}, "FILE:" + (r.dir / "BON1.BON"), true, true).ok());
  ASSERT_TRUE(r.engine->MyPrint(lines, "FILE:" + (r.dir / "BON2.BON"), true, true).ok());
  // The CRC-16/KERMIT check value, low byte first.
  EXPECT_EQ(ReadAll(r.dir / "BON1.BON"), "123456789\r\n###CRC:8921\r\n");
  const std::string contents = ReadAll(r.dir / "BON2.BON");
  EXPECT_EQ(contents, "123456789\r\na{0}b\r\n" + Bytes({27, 33, 16}) + "c\r\n###CRC:EDBD\r\n");
  EXPECT_TRUE(r.env.sleeps().empty() && r.HadStatus("Archivierung. Bitte warten..."));
  const printing::ArchivedPrintout back = printing::ParseArchivedPrintout(contents);
  EXPECT_TRUE(back.lines == lines && back.check == Check::Ok);
  EXPECT_EQ(printing::ParseArchivedPrintout("Bon\r\n###CRC:8921\r\n").check, Check::Wrong);
  EXPECT_EQ(printing::ParseArchivedPrintout("123456789\r\n###CRC:8921\r\nmehr\r\n").check, Check::Wrong);
  EXPECT_EQ(printing::ParseArchivedPrintout("123456789\r\n").check, Check::Missing);
  EXPECT_FALSE(r.engine->MyPrint({"abc"}, "FILE:" + (r.dir / "fehlt/BON1.BON"), false, false).ok());
  EXPECT_TRUE(r.log.Has("FEHLER: Archivdatei"));
}

TEST(Parallel, ThroughARealDeviceFileFromThePortsSection) {
  PrintEngineRig r(true);
  const std::string device = r.dir / "lp-device";
  WriteAll(device, "von vorher, länger als der neue Ausdruck\r\n");
  r.Port("LPT2", device);
  ASSERT_TRUE(r.engine->MyPrint({"Grüße", Bytes({27, 33, 16}) + "Tisch 4"}, "LPT2", true, false).ok());
  EXPECT_EQ(ReadAll(device),
            "Gr" + Bytes({129, 225}) + "e\r\n" + Bytes({27, 33, 16}) + "Tisch 4\r\n" + Bytes({29, 86, 49}) + "\r\n");
  r.Port("LPT1", "/dev/tolven-no-such-lp");
  EXPECT_FALSE(r.engine->MyPrint({"x"}, "LPT1", true, false).ok());
  EXPECT_EQ(r.OnlyMessage(),
            "Fehler bei Druck auf LPT1\r\n\r\nWindows meldet: open(/dev/tolven-no-such-lp): No such file or directory");
  EXPECT_FALSE(r.env.FileExists("/dev/tolven-no-such-lp"));  // never a plain file in place of the device
}

}  // namespace
}  // namespace tolven::testing
