// Channel texts, archive files with their check value, and parallel ports.
#include <gtest/gtest.h>

#include "druck_fixture.h"

namespace tolven::testing {
namespace {

using printing::ChannelKind;

TEST(Channels, NormalisedAsTheConfigurationWritesThemAndUnknownOnesRefused) {
  struct Case {
    const char* text;
    ChannelKind kind;
    const char *name, *target;
    int port;
  } cases[] = {
      {"FILE:/a/BON1.BON", ChannelKind::File, "FILE:/a/BON1.BON", "/a/BON1.BON", 0},
      {"NETZ Küche 1 ", ChannelKind::Printer, "NETZ", "Küche 1", 0},
      {"WIN:Kasse", ChannelKind::Printer, "NETZ", "Kasse", 0},
      {"COM10", ChannelKind::Serial, "COM1", "", 1},  // only four characters count
      {"LPT12", ChannelKind::Parallel, "LPT1", "", 1},
      {"WIN Drucker", ChannelKind::DefaultPrinter, "WIN ", "", 0},
      {"DISP", ChannelKind::Display, "DISP", "", 0},
      {"LPT4", ChannelKind::Unknown, "", "", 0},
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
  DruckRig r;  // an unknown channel is refused and nothing prints
  EXPECT_FALSE(r.engine->MyPrint({"a"}, "LPT4", true, false).ok());
  EXPECT_EQ(r.OnlyMessage(), "Ausdruck nicht möglich. Unzulässige Einstellung für Ausgabe: >LPT4<");
  EXPECT_TRUE(r.log.Has("FEHLER: Ausdruck nicht möglich."));
  EXPECT_TRUE(r.parallelPorts.empty() && r.serialPorts.empty() && r.spooler.jobs.empty());
}

TEST(Archive, LinesWithCheckValueAndNulsSpelledOut) {
  struct Case {
    std::vector<std::string> lines;
    std::string contents;
  } cases[] = {
      {{"123456789"}, "123456789\r\n###CRC:8921\r\n"},  // the CRC-16/KERMIT check value, low byte first
      {{}, "###CRC:0000\r\n"},
      // NUL is written as {0} and checked as written; control codes stay.
      {{std::string("a\0b", 3), Bytes({27, 33, 16}) + "c"}, "a{0}b\r\n" + Bytes({27, 33, 16}) + "c\r\n###CRC:427C\r\n"},
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
  EXPECT_FALSE(r.engine->MyPrint({"abc"}, "FILE:" + (r.dir / "fehlt/BON1.BON"), false, false).ok());
  EXPECT_TRUE(r.log.Has("FEHLER: Archivdatei"));
  EXPECT_FALSE(r.engine->MyPrint({"abc"}, "FILE:", false, false).ok());
}

TEST(Parallel, ThroughARealDeviceFileFromThePortsSection) {
  DruckRig r(true);
  const std::string device = r.dir / "lp-device";
  WriteAll(device, "von vorher, länger als der neue Ausdruck\r\n");
  r.Port("LPT2", device);
  ASSERT_TRUE(r.engine->MyPrint({"Grüße", Bytes({27, 33, 16}) + "Tisch 4"}, "LPT2", true, false).ok());
  EXPECT_EQ(ReadAll(device),
            "Gr" + Bytes({129, 225}) + "e\r\n" + Bytes({27, 33, 16}) + "Tisch 4\r\n" + Bytes({29, 86, 49}) + "\r\n");
  EXPECT_EQ(r.engine->statusText(), "Programm wartet auf Drucker-Bereitschaft an LPT2...");

  r.Port("LPT1", "/dev/tolven-no-such-lp");
  EXPECT_FALSE(r.engine->MyPrint({"x"}, "LPT1", true, false).ok());
  EXPECT_EQ(r.OnlyMessage(),
            "Fehler bei Druck auf LPT1\r\n\r\nWindows meldet: open(/dev/tolven-no-such-lp): No such file or directory");
  EXPECT_FALSE(r.env.FileExists("/dev/tolven-no-such-lp"));  // never a plain file in place of the device
}

}  // namespace
}  // namespace tolven::testing
