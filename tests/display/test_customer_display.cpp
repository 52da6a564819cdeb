#include <gtest/gtest.h>

#include "common/text.h"
#include "display/customer_display.h"
#include "platform/device_names.h"
#include "support/fake_devices.h"
#include "support/test_db.h"

namespace tolven::display {
namespace {

// The system's device behind COMn.
std::string Com(int n) { return platform::DefaultComDevice(n); }

// A display of the type on a fresh database, its port a fake one; the converter
// stands in for the printer's character table.
struct Rig {
  testing::TestDb db;
  platform::IniFile ini{db.env(), db.folder()};
  testing::FakeSerialPort* fake = nullptr;
  CustomerDisplay display{db.tools(), ini,
                          [this] { return std::unique_ptr<platform::SerialPort>(fake = new testing::FakeSerialPort); },
                          [](const std::string& t) { return ReplaceAll(t, "ä", "\x84"); }};

  // The station's comdisp and disptyp as SQL values, such as "2, 'EPSON'".
  explicit Rig(const std::string& portAndType) {
    db.Exec("INSERT INTO systemhw (filnr, kasse, comdisp, disptyp) VALUES (1, 1, " + portAndType + ")");
    display.OpenDisplay();
  }

  // "device settings handshake", "+" when DTR and RTS are raised, the pauses;
  // then each write of the reset after a "|" and each write of one update after a "||".
  std::string Transcript(std::string line1 = "Belegdruck...", std::string line2 = "12,50 EUR plus Trinkgeld") {
    std::string out = fake->device + " " + fake->settings + " " + std::to_string(static_cast<int>(fake->handshake)) +
                      (fake->dtr && fake->rts ? "+" : "");
    for (int ms : db.env().sleeps()) out += " " + std::to_string(ms) + "ms";
    const size_t reset = fake->writes.size();
    display.ShowDisplay(line1, line2);
    for (size_t i = 0; i < fake->writes.size(); ++i) out += (i < reset ? "|" : "||") + fake->writes[i];
    return out;
  }
};

TEST(CustomerDisplay, EachKindOpensResetsAndShowsTwoLinesAndFailuresAreTriedAgain) {
  // The first word in table order wins; the kinds of the transcripts below are not repeated.
  std::string kinds;
  for (const char* type : {"Epson ir-700", "EPSON SR-610", "Toshiba LCD", "Jarltech 8003", "GLANCETRON 8650",
                           "Jarltech 8036", "JARLTECH 8035", "Glancetron 8802", "JARLTECH", "Aures Galeo", "CITIZEN"})
    kinds += std::to_string(CustomerDisplay::DetermineKind(type, 5).kind) + "/" +
             std::to_string(CustomerDisplay::DetermineKind(type, 5).comPort) + " ";  // the station's own port is 5
  EXPECT_EQ(kinds, "5/4 5/3 8/5 1/5 7/5 13/5 14/5 9/3 6/5 10/7 5/5 ");

  const std::string l1 = "Belegdruck...       ", l2 = "12,50 EUR plus Trink", nul(1, '\0');
  EXPECT_EQ(Rig("2, 'Kundenanzeige'").Transcript(), Com(2) + " 9600,N,8,1 0|" + std::string(40, ' ') + "||" + l1 + l2);
  Rig r("5, 'EPSON DM-D110'");
  EXPECT_EQ(r.Transcript(), Com(5) + " 9600,N,8,1 0 200ms|\x1B@|\x1F\x01|\037C" + nul + "|\f||\f||" + l1 + "\r" + l2);
  EXPECT_EQ(Rig("0, 'Toshiba C-10'").Transcript(),
            Com(2) + " 115200,O,8,1 0|\x1B[2J\r||\x1B[2J\x1B[\x01;\x01H||" + l1 + "\r\n" + l2);
  EXPECT_EQ(Rig("0, 'IBM 8100'").Transcript(),
            Com(4) + " 9600,N,8,1 3+|\33 |\33#|\33*" + nul + "|\33)" + nul + "||\33 ||\33(11" + l1 + "||\33(21" + l2);
  // Control characters and a frame's end mark become blanks; the character table is applied.
  EXPECT_EQ(Rig("1, 'PAYPOINT'").Transcript("K\xE4\x1B=1~", ""),
            Com(2) + " 9600,N,8,1 0|\347B\x01~|\347C\x01~||\347DK\x84 =1 " + std::string(34, ' ') + "~");
  // The small display has 16 characters and no German letters.
  EXPECT_EQ(Rig("1, 'MINIO'").Transcript("Grüße aus Köln", "Straße"),
            Com(4) + " 9600,N,8,1 0||\f||Gruesse aus Koel\r||Strasse         ");

  // Port failures are reported and the next opening tries again: unplugged, the
  // dead port is closed, so a later opening finds it again, once it opens.
  r.fake->failWrite = r.fake->failOpen = true;
  r.display.ShowDisplay("Belegdruck...", "");
  r.display.OpenDisplay();
  r.fake->failOpen = r.fake->failWrite = false;
  r.display.OpenDisplay();
  EXPECT_TRUE(r.fake->opens == 3 && r.display.port() == r.fake &&
              r.db.ui().HasMessage("Anzeige auf Kundendisplay nicht möglich.") &&
              r.db.ui().HasMessage("Kundendisplay-Port kann nicht geöffnet werden: open(" + Com(5) + "): No such file"));

  // The monitor program: started with the display, it reads a file; a failed write keeps the last complete one.
  Rig vga("1, 'VGA'");
  EXPECT_EQ(vga.db.env().startedPrograms, std::vector<std::string>{vga.db.state().exePfad + "vskddisp.exe"});
  vga.display.ShowDisplay("Belegdruck...", "", {{2, "Cola 0,3l"}, {1, "Pommes"}});
  vga.db.env().FailOperation("write", "disp1.txt");
  vga.display.ShowDisplay(".", "");
  EXPECT_EQ(testing::ReadAll(vga.db.state().exePfad + "disp1.txt"), "2;Cola 0,3l\r\n1;Pommes\r\n\r\n");
}

}  // namespace
}  // namespace tolven::display
