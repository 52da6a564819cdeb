// The real gateway killed with SIGKILL at random moments while two terminals
// order and pay (whole and partial, cash and card), restarted at once, the
// terminals sending again what got no answer, as waiters do. Afterwards
// nothing may be billed twice or lost, no receipt may be half there, every
// receipt has its archive, every unsigned one is reported, and every line the
// terminal was told "OK" for has come out of the kitchen printer.
//
// The kitchen printer is a FIFO read by the test, so every receipt that
// reaches it is kept in order, also across kills. The random choices come from
// a seed printed at the start; TOLVEN_SWEEP_SEED makes the same choices again
// (the timing of a real run still differs).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "e2e/installation.h"
#include "support/money_invariants.h"

namespace tolven::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kKills = 30;
constexpr int kKillPhaseMs = 90000;  // the kills stop after this even when fewer were made
constexpr int kArticles = 1500;
// How long a terminal waits, once the restarted gateway polls again, for the
// answer to a file the killed one had taken, before it sends the file again:
// a little once the gateway has disposed of the work file the killed run left,
// longer while that file is still lying there.
constexpr int kResendGraceMs = 3000;
constexpr int kResendLeftoverMs = 15000;
constexpr int kNoAnswerMs = 60000;
const std::array<std::string, 4> kTerminalFiles = {"pda1/bestell.txt", "pda1/info.txt", "pda2/bestell.txt",
                                                   "pda2/info.txt"};

int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// The kitchen printer: everything written to the FIFO, in order.
class KitchenPrinter {
 public:
  explicit KitchenPrinter(const std::string& path) {
    ::mkfifo(path.c_str(), 0644);
    // Opened for reading and writing, so the gateway's open never waits for a
    // reader and a writer that goes away is no end of file.
    fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK);
    reader_ = std::thread([this] { Read(); });
  }
  ~KitchenPrinter() {
    stop_ = true;
    reader_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  std::string Paper() {
    std::lock_guard<std::mutex> lock(mu_);
    return paper_;
  }

 private:
  void Read() {
    char buf[4096];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n > 0) {
        std::lock_guard<std::mutex> lock(mu_);
        paper_.append(buf, static_cast<size_t>(n));
      }
    }
  }

  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread reader_;
  std::mutex mu_;
  std::string paper_;
};

// The gateway process: started, killed and started again; each run logs to a
// file of its own.
class Gateway {
 public:
  explicit Gateway(Installation& inst) : inst_(inst) {}

  void Start() {
    std::lock_guard<std::mutex> lock(mu);
    StartLocked();
  }
  void KillAndRestart() {
    std::lock_guard<std::mutex> lock(mu);
    process_->Signal(SIGKILL);
    process_->Wait(10000);
    StartLocked();
  }
  int Stop() {
    std::lock_guard<std::mutex> lock(mu);
    return process_->Stop(20000);
  }
  int generation() const { return generation_; }
  // The run of this generation has reached its poll loop.
  bool Polling(int generation) const {
    return ReadAll(LogPath(generation)).find("Warte auf Anfragen") != std::string::npos;
  }
  std::string LogPath(int generation) const {
    return inst_.dir / ("out/gateway-" + std::to_string(generation) + ".log");
  }
  std::string AllLogs() const {
    std::string out;
    for (int g = 1; g <= generation_; ++g) out += "=== Lauf " + std::to_string(g) + "\n" + ReadAll(LogPath(g));
    return out;
  }

  // Held while a process is killed and the next one started, and while a
  // terminal notes which run took its file.
  std::mutex mu;

 private:
  void StartLocked() {
    const int next = generation_ + 1;
    process_ = std::make_unique<ChildProcess>(kGateway, std::vector<std::string>{}, inst_.env, LogPath(next));
    generation_ = next;
  }

  Installation& inst_;
  std::unique_ptr<ChildProcess> process_;
  std::atomic<int> generation_{0};
};

// What the terminals did, for the checks at the end.
struct Outcome {
  std::mutex mu;
  std::vector<std::string> confirmedArticles;  // lines of orders answered "OK"
  std::vector<std::string> refusedArticles;    // lines of orders answered with an error
  std::vector<std::string> problems;
  std::map<std::string, int> tableOf;  // every article ordered, with its table
  int resends = 0;
  int orders = 0;
  int settlements = 0;

  void Problem(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu);
    problems.push_back(text);
  }
};

class Terminal {
 public:
  Terminal(Installation& inst, Gateway& gateway, Outcome& outcome, std::atomic<int>& nextArticle, int slot,
           uint32_t seed)
      : inst_(inst), gateway_(gateway), outcome_(outcome), nextArticle_(nextArticle), slot_(slot), rng_(seed) {}

  // Rounds until `stop`; the round under way is finished.
  void Work(const std::atomic<bool>& stop) {
    for (int round = 0; !stop; ++round) {
      const int table = slot_ * 10 + round % 4 + 1;
      if (!Order(table, 2 + Pick(2), Pick(5) == 0)) break;
      if (Pick(2) == 0 && !Order(table, 1 + Pick(2), false)) break;
      switch (Pick(4)) {
        case 0: Settle("ABRECHNEN;" + std::to_string(table) + ";3;"); break;
        case 1: Settle("EC;" + std::to_string(table) + ";3;"); break;
        case 2: Partial(table, "ABRECHNEN"); break;
        default: Partial(table, "VISA"); break;
      }
    }
  }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  std::string Folder() const { return "pda" + std::to_string(slot_); }
  std::string Where() const { return "Terminal " + std::to_string(slot_) + ": "; }
  // Where the gateway keeps an order file while it works on it, beside it in
  // the exchange folder. A leftover one is answered at the next start when it
  // was booked. Requests are sent again after the short wait, also while their
  // work file lies there: the terminal's resend of a payment stored before the
  // kill is answered "OK" from the journal.
  std::string OrderWorkFile() const { return inst_.dir / (Folder() + "/ppcorders" + std::to_string(slot_) + ".in"); }

  // One file to the gateway and its answer. The file is sent again only when
  // the run that took it was killed and the next one, polling for a while,
  // has not answered it either. `workFiles`: where a killed run may have left
  // the file for the next one to answer.
  std::string Exchange(const std::string& name, const std::string& contents, const std::string& answerName,
                       const std::vector<std::string>& workFiles) {
    const std::string input = inst_.dir / (Folder() + "/" + name);
    const std::string answer = inst_.dir / (Folder() + "/" + answerName);
    for (int attempt = 1;; ++attempt) {
      std::filesystem::remove(answer);
      WriteAll(input + ".tmp", contents);
      std::filesystem::rename(input + ".tmp", input);
      const Clock::time_point placed = Clock::now();
      int takenBy = 0;
      Clock::time_point pollingSeen{};
      bool resend = false;
      while (!resend) {
        if (std::filesystem::exists(answer)) {
          std::string text = ReadAll(answer);
          std::filesystem::remove(answer);
          return text;
        }
        if (takenBy == 0) {
          std::lock_guard<std::mutex> lock(gateway_.mu);
          if (!std::filesystem::exists(input)) takenBy = gateway_.generation();
        }
        const int now = gateway_.generation();
        if (takenBy != 0 && now != takenBy && gateway_.Polling(now)) {
          if (pollingSeen == Clock::time_point{}) pollingSeen = Clock::now();
          const bool leftover = std::any_of(workFiles.begin(), workFiles.end(),
                                            [](const std::string& f) { return std::filesystem::exists(f); });
          resend = MsSince(pollingSeen) > (leftover ? kResendLeftoverMs : kResendGraceMs);
        }
        if (MsSince(placed) > kNoAnswerMs) {
          outcome_.Problem(Where() + "keine Antwort auf " + name + " (Versuch " + std::to_string(attempt) + ")");
          resend = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      std::filesystem::remove(input);  // still there when nobody took it
      std::lock_guard<std::mutex> lock(outcome_.mu);
      ++outcome_.resends;
    }
  }

  // An order of `lines` new articles, each ordered once; false when the
  // articles are used up.
  bool Order(int table, int lines, bool settleInCash) {
    std::vector<std::string> articles;
    std::string file = "A;" + std::to_string(table) + ";3\r\n";
    for (int i = 0; i < lines; ++i) {
      const int n = nextArticle_++;
      if (n > kArticles) return false;
      articles.push_back(ArticleNumber(n));
      file += "D;" + articles.back() + ";1;;\r\n";
    }
    file += settleInCash ? "E;;A\r\n" : "E;;\r\n";
    const std::string answer = Exchange("bestell.txt", file, "confirm.kas", {OrderWorkFile()});
    std::lock_guard<std::mutex> lock(outcome_.mu);
    ++outcome_.orders;
    for (const auto& a : articles) outcome_.tableOf[a] = table;
    const bool booked = Booked(answer);
    auto& list = booked ? outcome_.confirmedArticles : outcome_.refusedArticles;
    list.insert(list.end(), articles.begin(), articles.end());
    if (!booked) {
      outcome_.problems.push_back(Where() + "Bestellung für Tisch " + std::to_string(table) + ": " + answer);
    }
    return true;
  }

  // "OK", or only the news that the cash settlement asked for with the order
  // did not go through: the lines themselves are booked.
  static bool Booked(const std::string& answer) {
    if (answer == "OK\r\n") return true;
    if (answer.rfind(" +++ ", 0) != 0) return false;
    for (size_t pos = 0; pos < answer.size();) {
      size_t next = answer.find(" +++ ", pos + 5);
      const std::string entry = answer.substr(pos + 5, next == std::string::npos ? std::string::npos : next - pos - 5);
      if (entry.rfind("Tisch ", 0) != 0 || entry.find("nicht abgerechnet") == std::string::npos) return false;
      pos = next == std::string::npos ? answer.size() : next;
    }
    return true;
  }

  // A settlement's answer is not judged (the partial payment may have left
  // nothing for the rest): the money is judged at the end.
  std::string Settle(const std::string& request) {
    const std::string answer = Exchange("info.txt", request + "\r\n", "info.kas", std::vector<std::string>{});
    std::lock_guard<std::mutex> lock(outcome_.mu);
    ++outcome_.settlements;
    return answer;
  }

  // Some of the open lines first (as the terminal charged a card for them),
  // then the rest in cash.
  void Partial(int table, const std::string& payment) {
    const std::string data =
        Exchange("info.txt", "TISCH;" + std::to_string(table) + "\r\n", "info.kas", std::vector<std::string>{});
    const std::string ids = EverySecondId(data);
    if (!ids.empty()) Settle(payment + ";" + std::to_string(table) + ";3;" + ids);
    Settle("ABRECHNEN;" + std::to_string(table) + ";3;");
  }

 public:
  static std::string ArticleNumber(int n) {
    std::string s = std::to_string(n);
    return "A" + std::string(4 - std::min<size_t>(4, s.size()), '0') + s;
  }

 private:
  Installation& inst_;
  Gateway& gateway_;
  Outcome& outcome_;
  std::atomic<int>& nextArticle_;
  int slot_;
  std::mt19937 rng_;
};

uint32_t SweepSeed() {
  if (const char* s = std::getenv("TOLVEN_SWEEP_SEED"); s && *s) {
    return static_cast<uint32_t>(std::strtoul(s, nullptr, 10));
  }
  return std::random_device{}();
}

TEST(KillSweep, KilledAtRandomMomentsNothingIsBilledTwiceLostOrLeftHalfAndTheKitchenGetsEveryConfirmedLine) {
  const uint32_t seed = SweepSeed();
  std::cout << "TOLVEN_SWEEP_SEED=" << seed << std::endl;
  Installation inst;
  const std::string fifo = inst.dir / "out/kueche.fifo";
  WriteAll(inst.dir / "etc/TOLVEN.INI", ReadAll(inst.dir / "etc/TOLVEN.INI") + "[PORTS]\r\nLPT1=" + fifo + "\r\n");
  KitchenPrinter kitchen(fifo);
  ASSERT_TRUE(kitchen.ok());
  ASSERT_EQ(inst.InitDb(), 0) << ReadAll(inst.dir / "init.log");
  inst.Sql("UPDATE system SET pfadppcsync1 = '" + inst.dir / "pda1" + "', pfadppcsync2 = '" + inst.dir / "pda2" +
           "', kuebonport1 = 'LPT1', bondruckport = 'FILE:" + inst.dir / "out/bon.txt" +
           "', kuebongross = 0, kuebonartnr = 0, kuebonpreis = 0");
  inst.Sql("INSERT INTO artgrp (artgrp, kueprt) VALUES (1, 1)");
  inst.Sql("INSERT INTO kueprtparam (drucker, name, grupp, sort) VALUES (1, 'Küche', 0, 2)");
  inst.Sql("INSERT INTO kassi (kanr, name, schluesselnr) VALUES (3, 'Jürgen', '1')");
  std::string articles;
  for (int n = 1; n <= kArticles; ++n) {
    const std::string nr = Terminal::ArticleNumber(n);
    articles += std::string(articles.empty() ? "" : ", ") + "('" + nr + "', 'Speise " + nr + "', 1, " +
                std::to_string(150 + n % 7 * 30) + ", 0, " + std::to_string(1 + n % 2) + ")";
  }
  inst.Sql("INSERT INTO artikel (artnr, artbez, artgrp, vkpreis, belpreis, mwst) VALUES " + articles);

  // The TSE server takes its time, so that kills also land in the waits for it.
  ChildProcess sim(kTseSim, {"--delay", "100"}, inst.env, inst.dir / "out/tse-sim.log");
  Gateway gateway(inst);
  gateway.Start();

  Outcome outcome;
  std::atomic<int> nextArticle{1};
  std::atomic<bool> stop{false};
  Terminal one(inst, gateway, outcome, nextArticle, 1, seed + 1), two(inst, gateway, outcome, nextArticle, 2, seed + 2);
  std::thread t1([&] { one.Work(stop); }), t2([&] { two.Work(stop); });

  // A quarter of the kills come at any moment, the others after the gateway
  // took a terminal's file, inside its work on it: a quarter of them right
  // away, between taking the file and answering it.
  std::mt19937 rng(seed);
  auto ms = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const Clock::time_point begin = Clock::now();
  int kills = 0;
  while (kills < kKills && MsSince(begin) < kKillPhaseMs) {
    const int mode = ms(0, 3);
    if (mode == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms(500, 3500)));
    } else {
      const Clock::time_point since = Clock::now();
      std::array<bool, 4> present{};
      bool taken = false;
      while (!taken && MsSince(since) < 5000) {
        for (size_t i = 0; i < kTerminalFiles.size(); ++i) {
          const bool now = std::filesystem::exists(inst.dir / kTerminalFiles[i]);
          taken = taken || (present[i] && !now);
          present[i] = now;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(mode == 3 ? ms(0, 60) : ms(0, 1200)));
    }
    gateway.KillAndRestart();
    ++kills;
    // Mostly the next run gets to its poll loop first; the other kills land in
    // its start and in what it finds of the killed run.
    if (ms(0, 4) != 0) WaitFor([&] { return gateway.Polling(gateway.generation()); }, 15000);
  }
  stop = true;
  t1.join();
  t2.join();
  // One more kill at a quiet moment: a TSE server answer that came in after
  // the previous start had cleared this station's rows goes with this start.
  gateway.KillAndRestart();
  EXPECT_TRUE(WaitFor([&] { return gateway.Polling(gateway.generation()); }, 30000));
  EXPECT_EQ(gateway.Stop(), 0);
  EXPECT_EQ(sim.Stop(10000), 0);
  const std::string logs = gateway.AllLogs();
  auto count = [&logs](const std::string& what) { return Occurrences(logs, what); };
  std::cout << "kills " << kills << ", orders " << outcome.orders << ", settlements " << outcome.settlements
            << ", sent again " << outcome.resends << ", lines confirmed " << outcome.confirmedArticles.size()
            << "; at restart: kitchen reprints " << count("Wiederanlauf: K") << ", receipts printed as copy "
            << count("als Kopie gedruckt") << ", unsigned receipts " << count("Lauf unterbrochen, nicht")
            << ", work files set aside " << count("Unverarbeitete Arbeitsdatei") << std::endl;
  ASSERT_GE(kills, kKills / 2) << "the sweep ran out of time";
  for (const auto& p : outcome.problems) ADD_FAILURE() << p;

  auto opened = db::OpenSqlite(inst.dir / "data/tolven.db", false);
  ASSERT_TRUE(opened) << opened.status().message();
  std::unique_ptr<db::Connection> conn = std::move(*opened);
  auto rows = [&](const std::string& sql) {
    std::vector<std::string> out;
    auto rs = conn->Query(sql);
    if (!rs) ADD_FAILURE() << sql << ": " << rs.status().message();
    for (; rs && !rs->Eof(); rs->MoveNext()) out.push_back(rs->Raw(0).AsString());
    return out;
  };

  // Nothing billed twice, nothing lost, no half receipt, the ledgers add up.
  for (const auto& v : CheckMoneyInvariants(*conn, outcome.confirmedArticles)) ADD_FAILURE() << v;
  // A line the terminal was told failed is not booked either.
  for (const auto& a : outcome.refusedArticles) {
    const std::string sql = "SELECT id FROM bestellung WHERE artnr = '" + a + "' UNION ALL SELECT bunr FROM kasspro";
    EXPECT_TRUE(rows(sql + " WHERE artnr = '" + a + "'").empty()) << a << " was refused to the terminal but booked";
  }

  // Every line confirmed "OK" came out of the kitchen printer.
  const std::string paper = kitchen.Paper();
  std::vector<std::string> missing;
  for (const auto& a : outcome.confirmedArticles) {
    if (paper.find("1x Speise " + a) == std::string::npos) missing.push_back(a);
  }
  EXPECT_TRUE(missing.empty()) << missing.size() << " confirmed lines never reached the kitchen, e.g. "
                               << missing.front();
  // A line comes out twice only when a start could not know whether it had
  // been printed, and then the second ticket says so; every line comes out
  // under its own table.
  std::map<std::string, int> printed;
  for (size_t at = paper.find("Nr."), end; at != std::string::npos; at = end) {
    end = paper.find("Nr.", at + 3);
    const std::string ticket = paper.substr(at, end == std::string::npos ? std::string::npos : end - at);
    const size_t tableAt = ticket.find("Tisch ");
    const int table = tableAt == std::string::npos ? 0 : std::atoi(ticket.c_str() + tableAt + 6);
    const bool reprint = ticket.find("NACHDRUCK nach Neustart") != std::string::npos;
    for (size_t line = ticket.find("1x Speise "); line != std::string::npos;
         line = ticket.find("1x Speise ", line + 1)) {
      const std::string article = ticket.substr(line + 10, ticket.find_first_of("\r\n", line) - line - 10);
      EXPECT_EQ(outcome.tableOf[article], table) << article << " printed on the ticket of another table";
      if (!reprint) {
        EXPECT_EQ(++printed[article], 1) << article << " printed again without a reprint mark";
      }
    }
  }

  // Every receipt has its archive; every unsigned one has been reported.
  for (const auto& bunr : rows("SELECT bunr FROM kass ORDER BY bunr")) {
    const std::string archive = ReadAll(inst.dir / ("data/ARCHIV/BON/BON" + bunr + ".BON"));
    EXPECT_NE(archive.find("###CRC:"), std::string::npos) << "receipt " << bunr << " has no archive";
  }
  for (const auto& bunr : rows("SELECT bunr FROM kass WHERE COALESCE(tse_signatur, '') = '' ORDER BY bunr")) {
    EXPECT_FALSE(
        rows("SELECT typ FROM syslog WHERE typ = 'P' AND txt = 'Beleg " + bunr + " nicht über TSE abgesichert'")
            .empty())
        << "unsigned receipt " << bunr << " was never reported";
  }
  // Each start cleared what the killed run left with the TSE server.
  EXPECT_EQ(rows("SELECT COUNT(*) FROM tse_server_req"), std::vector<std::string>{"0"});
  EXPECT_EQ(rows("SELECT COUNT(*) FROM tse_server_ans"), std::vector<std::string>{"0"});
  // The end of the runs' logs, for a look at what went wrong.
  if (HasFailure()) std::cout << "=== Läufe\n" << logs.substr(logs.size() > 30000 ? logs.size() - 30000 : 0);
}

}  // namespace
}  // namespace tolven::testing
