// TSE latency: the real TSE server adapter waits for answers that a server
// thread commits through its own connection at known moments. The adapter's
// platform layer is wrapped to time-stamp the end of its first pause and the
// TSE log line the facade writes when the answer was found; its query counter
// gives the poll rate.
#include <atomic>
#include <mutex>
#include <thread>

#include "bench_util.h"
#include "common/text.h"
#include "db/sqlite_connection.h"
#include "figures.h"
#include "fiscal/tse.h"
#include "fiscal/tse_server_adapter.h"
#include "local_db.h"
#include "platform/forwarding_env.h"

namespace tolven::bench {

namespace {

// Passes everything to the real platform layer and notes two moments.
class TimingEnv final : public platform::ForwardingEnv {
 public:
  explicit TimingEnv(platform::Env& real) : ForwardingEnv(real) {}

  void SleepMs(int ms) override {
    ForwardingEnv::SleepMs(ms);
    if (ms == fiscal::TseServerClient::kFirstPauseMs) pollStart = NowMs();
  }
  Status AppendFile(const std::string& p, const std::string& c) override {
    // The adapter logs this right after the query that found the answer row.
    if (c.find("Antwort vom TSE-Server empfangen") != std::string::npos) noticed = NowMs();
    return ForwardingEnv::AppendFile(p, c);
  }

  double pollStart = 0, noticed = 0;
};

// Answers each request row after the delay it is told, committing through its
// own connection like the installation's TSE server, and notes when the commit returned.
class ServerThread {
 public:
  ServerThread(const std::string& dbPath, std::string& error) {
    auto opened = db::OpenSqlite(dbPath, false);
    if (opened) conn_ = std::move(*opened);
    if (!opened) error = opened.status().message();
  }
  ~ServerThread() { Stop(); }

  void Start() {
    thread_ = std::thread([this] { Loop(); });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // The answer to the next request comes this long after the request was seen.
  void SetDelay(double ms) { delayMs_ = ms; }
  // NowMs() when the last answer's commit returned (0 until then).
  double TakeCommitted() { return committed_.exchange(0); }
  bool ok() const { return conn_ != nullptr; }

 private:
  void Loop() {
    int64_t counter = 0;
    while (!stop_) {
      auto rs = conn_->Query("SELECT kasse, merker, typ FROM tse_server_req WHERE status = 0");
      if (!rs || rs->Eof()) {
        SleepMs(1);
        continue;
      }
      const double seen = NowMs();
      const std::string kasse = rs->Raw(0).AsString(), merker = rs->Raw(1).AsString();
      SleepMs(seen + delayMs_.load() - NowMs());
      ++counter;
      const std::string values = kasse + ", " + merker + ", " + std::to_string(counter) + ", " +
                                 std::to_string(1767225600 + counter) + ", 'BENCH-TSE', " + std::to_string(counter) +
                                 ", 'SIG" + std::to_string(counter) + "'";
      const bool ok =
          conn_->BeginTrans() &&
          conn_->Execute(
              "INSERT INTO tse_server_ans (kasse, merker, tse_trxnr, tse_logtimeutc, tse_sernr, "
              "tse_sigcount, tse_signatur) VALUES (" +
              values + ")") &&
          conn_->Execute("UPDATE tse_server_req SET status = 1 WHERE kasse = " + kasse + " AND merker = " + merker) &&
          conn_->CommitTrans();
      if (ok) {
        committed_ = NowMs();
      } else if (conn_->InTransaction()) {
        (void)conn_->RollbackTrans();  // the request stays unanswered and is seen again
      }
    }
  }

  std::unique_ptr<db::Connection> conn_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<double> delayMs_{0};
  std::atomic<double> committed_{0};
};

}  // namespace

int RunTseLatency(const BenchOptions& options, int waits) {
  TimingEnv env(platform::DefaultEnv());
  LocalDb db(options.parentDir, env, options.keep);
  std::string error;
  if (!db.Create(error)) {
    Note("FEHLER: " + error);
    return 1;
  }
  db.state().tseInUse = true;
  fiscal::TseServerClient tseServer(db.tools());
  // Through the facade, which writes the TSE log line the timing looks for.
  fiscal::Tse tse(db.tools(), tseServer, fiscal::TseIdentity{});
  ServerThread server(db.dbPath(), error);
  if (!server.ok()) {
    Note("FEHLER: " + error);
    return 1;
  }
  server.Start();

  // Answers that come while the adapter polls (after its first 200 ms pause),
  // spread over the first second of polling.
  Jitter jitter(5);
  std::vector<double> latency, rates, immediate;
  int failures = 0;
  for (int i = 0; i < waits; ++i) {
    server.SetDelay(jitter.Uniform(230, 1200));
    server.TakeCommitted();
    env.noticed = env.pollStart = 0;
    const int64_t q0 = tseServer.answerQueries();
    const bool started = tse.TSE_StartTransaction().ok();
    const double committed = server.TakeCommitted();
    const int64_t queries = tseServer.answerQueries() - q0;
    if (!started || committed == 0 || env.noticed == 0) {
      ++failures;
      continue;
    }
    latency.push_back(env.noticed - committed);
    const double pollingSeconds = (env.noticed - env.pollStart) / 1000.0;
    if (pollingSeconds >= 0.1) rates.push_back(static_cast<double>(queries) / pollingSeconds);
  }
  // With a server that answers at once, the first pause alone sets the pace.
  server.SetDelay(0);
  for (int i = 0; i < 10; ++i) {
    const double t0 = NowMs();
    if (tseServer.Finish(i + 1, "Kassenbeleg-V1", "Beleg^1.00_0.00_0.00_0.00_0.00^1.00:Bar").answered()) {
      immediate.push_back(NowMs() - t0);
    }
  }
  server.Stop();

  const Summary l = Summarise(latency), r = Summarise(rates), im = Summarise(immediate);
  Note("answer committed -> noticed: " + Describe(l));
  Note("queries per second while polling: " + Describe(r, "/s"));
  Note("finish with a server answering at once (first pause " + std::to_string(fiscal::TseServerClient::kFirstPauseMs) +
       " ms): " + Describe(im));
  if (failures) Note("FEHLER: " + std::to_string(failures) + " waits without an answer");
  Report({"TSE answer noticed after its commit (" + std::to_string(latency.size()) + " waits)",
          "median " + Fixed(l.median) + " ms, p95 " + Fixed(l.p95) + " ms", "median <= 20 ms",
          failures == 0 && l.median <= 20});
  Report({"TSE answer-table queries during a wait",
          "max " + Fixed(r.max, 0) + " /s, median " + Fixed(r.median, 0) + " /s", "<= 200 /s",
          !rates.empty() && r.max <= 200});
  return 0;
}

}  // namespace tolven::bench
