// Archive files with their check value, parallel ports, and the channel texts.
#include <gtest/gtest.h>

#include "common/text.h"
#include "druck_fixture.h"
#include "printing/convert_umlauts.h"
#include "common/crc16.h"

namespace tolven::testing {
namespace {

using printing::ChannelKind;

TEST(Crc16, KermitCheckValuesLowByteFirst) {
  struct Case {
    std::string text;
    std::string hex;
  } cases[] = {
      {"123456789", "8921"},  // the CRC-16/KERMIT check value 0x2189
      {"", "0000"},
      {"A", "8D53"},          // 0x538D
      {std::string("\0", 1), "0000"},
      {"{0}", HexEncode(Crc16Text("{0}"))},
  };
  for (const Case& c : cases) EXPECT_EQ(HexEncode(Crc16Text(c.text)), c.hex) << c.text;
  EXPECT_EQ(Crc16Kermit("123456789"), 0x2189);
  // Characters above 127 count as their Windows-1252 byte, not as a signed char.
  EXPECT_EQ(Crc16Kermit("\xFC"), Crc16Kermit(std::string(1, static_cast<char>(0xFC))));
  EXPECT_NE(Crc16Kermit("\xFC"), Crc16Kermit("\x7C"));
}

TEST(Conversions, UmlautTableAndPrintableText) {
  EXPECT_EQ(printing::ConvertUmlauts("ÄäÖöÜüß€éóú x"), Bytes({142, 132, 153, 148, 154, 129, 225, 213}) + "eou x");
  EXPECT_EQ(printing::ConvertUmlauts("È à"), "È à");  // only the table's letters change
  EXPECT_EQ(printing::PrintableText(Bytes({27, 33, 16}) + "Ä\x1f "), ".!.Ä. ");
}

TEST(Channels, NormalisedAsTheConfigurationWritesThem) {
  struct Case {
    const char* text;
    ChannelKind kind;
    const char* name;
    const char* target;
    int port;
  } cases[] = {
      {"FILE:/a/BON1.BON", ChannelKind::File, "FILE:/a/BON1.BON", "/a/BON1.BON", 0},
      {"NETZ Küche 1 ", ChannelKind::Printer, "NETZ", "Küche 1", 0},
      {"WIN:Kasse", ChannelKind::Printer, "NETZ", "Kasse", 0},
      {"COM1", ChannelKind::Serial, "COM1", "", 1},
      {"COM10", ChannelKind::Serial, "COM1", "", 1},  // only four characters count
      {"LPT12", ChannelKind::Parallel, "LPT1", "", 1},
      {"WIN", ChannelKind::DefaultPrinter, "WIN", "", 0},
      {"WIN Drucker", ChannelKind::DefaultPrinter, "WIN ", "", 0},
      {"DISP", ChannelKind::Display, "DISP", "", 0},
      {"LPT4", ChannelKind::Unknown, "LPT4", "", 0},
      {"COM0", ChannelKind::Unknown, "COM0", "", 0},
      {"COMX", ChannelKind::Unknown, "COMX", "", 0},
      {"WINDOWS", ChannelKind::Unknown, "", "", 0},
      {"com1", ChannelKind::Unknown, "", "", 0},
  };
  for (const Case& c : cases) {
    printing::OutputChannel ch = printing::ClassifyChannel(c.text);
    EXPECT_EQ(ch.kind, c.kind) << c.text;
    if (c.kind == ChannelKind::Unknown) continue;
    EXPECT_EQ(ch.name, c.name) << c.text;
    EXPECT_EQ(ch.target, c.target) << c.text;
    EXPECT_EQ(ch.port, c.port) << c.text;
  }
}

TEST(Channels, UnknownChannelIsRefusedWithMessageAndNothingPrints) {
  DruckRig r;
  Status st = r.engine->MyPrint({"a"}, "LPT4", true, false);
  EXPECT_FALSE(st.ok());
  ASSERT_EQ(r.ui.messages.size(), 1u);
  EXPECT_EQ(r.ui.messages[0].text, "Ausdruck nicht möglich. Unzulässige Einstellung für Ausgabe: >LPT4<");
  EXPECT_EQ(r.ui.messages[0].kind, platform::MsgKind::Critical);
  EXPECT_TRUE(r.log.Has("FEHLER: Ausdruck nicht möglich."));
  EXPECT_TRUE(r.parallelPorts.empty());
  EXPECT_TRUE(r.serialPorts.empty());
  EXPECT_TRUE(r.spooler.jobs.empty());
}

TEST(Archive, LinesWithCheckValueAndNulsSpelledOut) {
  struct Case {
    std::vector<std::string> lines;
    std::string contents;
  } cases[] = {
      {{"abc"}, "abc\r\n###CRC:" + HexEncode(Crc16Text("abc")) + "\r\n"},
      {{"123456789"}, "123456789\r\n###CRC:8921\r\n"},
      {{std::string("a\0b", 3), "c"}, "a{0}b\r\nc\r\n###CRC:" + HexEncode(Crc16Text("a{0}bc")) + "\r\n"},
      {{}, "###CRC:0000\r\n"},
      {{Bytes({27, 33, 16}) + "Summe", "ü"},
       Bytes({27, 33, 16}) + "Summe\r\nü\r\n###CRC:" + HexEncode(Crc16Text(Bytes({27, 33, 16}) + "Summeü")) +
           "\r\n"},
  };
  for (const Case& c : cases) {
    DruckRig r;
    std::string path = r.dir / "BON123.BON";
    ASSERT_TRUE(r.engine->MyPrint(c.lines, "FILE:" + path, true, true).ok());
    EXPECT_EQ(ReadAll(path), c.contents);  // no cut, whatever the flag says
    EXPECT_TRUE(r.env.sleeps().empty());
    EXPECT_TRUE(r.HadStatus("Archivierung. Bitte warten..."));
  }
}

TEST(Archive, FailureIsReportedNotSwallowed) {
  DruckRig r;
  Status st = r.engine->MyPrint({"abc"}, "FILE:" + (r.dir / "fehlt/BON1.BON"), false, false);
  EXPECT_FALSE(st.ok());
  EXPECT_TRUE(r.log.Has("FEHLER: Archivdatei"));
  EXPECT_FALSE(r.engine->MyPrint({"abc"}, "FILE:", false, false).ok());
}

TEST(Parallel, ThroughARealDeviceFileFromThePortsSection) {
  for (bool cut : {true, false}) {
    TempDir dir;
    FakeEnv env;
    FakeUi ui;
    RecordingLog log;
    platform::IniFile ini(env, dir.path());
    std::string device = dir / "lp-device";
    WriteAll(device, "von vorher, länger als der neue Ausdruck\r\n");
    ASSERT_TRUE(ini.Write("TOLVEN.INI", "PORTS", "LPT2", device).ok());
    printing::frmDruck2::Devices devices;
    devices.parallelPort = [] { return platform::MakeParallelPort(); };
    printing::frmDruck2 engine(env, ui, ini, [&ini](const std::string& n) { return printing::GetPrinterCode(ini, n); },
                               devices, log, dir.path() + "/");
    ASSERT_TRUE(engine.MyPrint({"Grüße", Bytes({27, 33, 16}) + "Tisch 4"}, "LPT2", cut, false).ok());
    std::string expected = "Gr" + Bytes({129, 225}) + "e\r\n" + Bytes({27, 33, 16}) + "Tisch 4\r\n";
    if (cut) expected += Bytes({29, 86, 49}) + "\r\n";
    EXPECT_EQ(ReadAll(device), expected);
    EXPECT_EQ(engine.statusText(), "Programm wartet auf Drucker-Bereitschaft an LPT2...");
  }
}

TEST(Parallel, MissingDeviceAbandonsThePrintoutWithPortMessage) {
  TempDir dir;
  FakeEnv env;
  FakeUi ui;
  RecordingLog log;
  platform::IniFile ini(env, dir.path());
  ASSERT_TRUE(ini.Write("TOLVEN.INI", "PORTS", "LPT1", "/dev/tolven-no-such-lp").ok());
  printing::frmDruck2::Devices devices;
  devices.parallelPort = [] { return platform::MakeParallelPort(); };
  printing::frmDruck2 engine(env, ui, ini, [&ini](const std::string& n) { return printing::GetPrinterCode(ini, n); },
                             devices, log, dir.path() + "/");
  EXPECT_FALSE(engine.MyPrint({"x"}, "LPT1", true, false).ok());
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text,
            "Fehler bei Druck auf LPT1\r\n\r\nWindows meldet: open(/dev/tolven-no-such-lp): No such file or directory");
  EXPECT_FALSE(env.FileExists("/dev/tolven-no-such-lp"));  // never a plain file in place of the device
}

}  // namespace
}  // namespace tolven::testing
