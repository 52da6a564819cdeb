// The printer codes of KASSEPRTCODES.INI and archive files with their check value.
#include <gtest/gtest.h>

#include <tuple>

#include "print_engine_fixture.h"
#include "printing/print_archive.h"

namespace tolven::testing {
namespace {

TEST(PrinterCodes, DefaultsConfiguredValuesAndByteLists) {
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
    EXPECT_EQ(printing::GetPrinterCode(r.ini, name), expected) << name << "=" << (configured ? configured : "");
  }
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

}  // namespace
}  // namespace tolven::testing
