// A configuration folder with TOLVEN.INI, a program folder, an installation
// folder and a real SQLite database, for running the start-up as the gateway does.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "db/connection.h"
#include "db/startup_state.h"
#include "startup/init_db.h"
#include "startup/startup.h"
#include "support/fake_env.h"
#include "support/test_db.h"

namespace tolven::testing {

class StartupTest : public ::testing::Test {
 protected:
  StartupTest() { env_.programFolder = program_.path(); }  // never the real /opt/tolven

  void PutIni(const std::string& contents) { WriteAll(config_ / "TOLVEN.INI", contents); }
  std::string Ini() const { return ReadAll(config_ / "TOLVEN.INI"); }
  // An INI for the embedded engine; the database folder defaults to the test database.
  std::string SqliteIni(const std::string& kassnr = "-3", const std::string& dbFolder = "") {
    return "[DATABASE]\r\nENGINE=SQLITE\r\n[PFADE]\r\nDATENBANK=" + (dbFolder.empty() ? db_.folder() : dbFolder) +
           "\r\nEXE=" + exe_ + "\r\n[SETUP]\r\nKASSNR=" + kassnr + "\r\n";
  }
  // A start in start_, which holds the instance lock until it is reset.
  int RunMain() {
    start_ = std::make_unique<Startup>(env_, ui_, config_.path());
    return start_->Main(state_, connection_);
  }
  // A fresh start on the given INI, with a new screen and state.
  int Start(const std::string& ini) {
    start_.reset();
    connection_.reset();
    PutIni(ini);
    ui_ = FakeUi();
    state_ = StartupState();
    return RunMain();
  }
  // Another gateway's whole start on this machine, with its own configuration folder.
  int OtherStart(const std::string& folder, FakeUi& ui) {
    ui = FakeUi();
    StartupState state;
    std::unique_ptr<db::Connection> connection;
    return Startup(env_, ui, folder).Main(state, connection);
  }
  int InitDb() {
    ui_ = FakeUi();
    Startup start(env_, ui_, config_.path());
    return InitDatabase(start, ui_);
  }
  // The message texts, one per line ("!" critical, "i" otherwise).
  std::string Messages() const {
    std::string out;
    for (const auto& m : ui_.messages) out += (m.kind == platform::MsgKind::Critical ? "! " : "i ") + m.text + "\n";
    return out;
  }

  TempDir config_, program_, install_;
  TestDb db_;
  FakeEnv env_;
  FakeUi ui_;
  std::string exe_ = install_ / "kasse";
  StartupState state_;
  std::unique_ptr<db::Connection> connection_;
  std::unique_ptr<Startup> start_;
};

}  // namespace tolven::testing
