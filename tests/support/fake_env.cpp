#include "support/fake_env.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

namespace tolven::testing {

namespace {
int64_t ToEpochMs(const DateTime& t) {
  return (DaysFromCivil(t.date) * 86400 + t.hour * 3600 + t.minute * 60 + t.second) * 1000 + t.millisecond;
}
}  // namespace

FakeEnv::FakeEnv()
    : ForwardingEnv(platform::DefaultEnv()), epochMs_(ToEpochMs(DateTime{Date{2026, 12, 5}, 12, 0, 0, 0})) {}

void FakeEnv::SetNow(const DateTime& t) {
  const int64_t local = ToEpochMs(t);
  const int64_t guess = local / 1000 - UtcOffsetAt(local / 1000);
  epochMs_ = local - UtcOffsetAt(guess) * 1000;
}

void FakeEnv::Advance(int64_t ms) {
  epochMs_ += ms;
  monotonicMs_ += ms;
}

DateTime FakeEnv::Now() {
  const int64_t local = epochMs_ + UtcOffsetAt(epochMs_ / 1000) * 1000;
  DateTime t = FromUnixTime(local / 1000);
  t.millisecond = static_cast<int>(local % 1000);
  return t;
}

int64_t FakeEnv::UnixTime() { return epochMs_ / 1000; }

void FakeEnv::SleepMs(int ms) {
  sleeps_.push_back(ms);
  Advance(ms);
  if (onSleep) onSleep(ms);
}

void FakeEnv::FailOperation(const std::string& op, const std::string& match, int count) {
  faults_.insert({op, Fault{match, count}});
}

bool FakeEnv::Faulty(const std::string& op, const std::string& path) {
  auto range = faults_.equal_range(op);
  for (auto it = range.first; it != range.second; ++it) {
    Fault& f = it->second;
    if (f.remaining == 0) continue;
    if (!f.match.empty() && path.find(f.match) == std::string::npos) continue;
    if (f.remaining > 0) --f.remaining;
    return true;
  }
  return false;
}

Status FakeEnv::DeleteFile(const std::string& path) {
  if (Faulty("delete", path)) return Status::Error("unlink(" + path + "): injected fault", 5);
  return base().DeleteFile(path);
}

Status FakeEnv::RenameFile(const std::string& from, const std::string& to) {
  if (Faulty("rename", from + " -> " + to)) return Status::Error("rename(" + from + "): injected fault", 13);
  return base().RenameFile(from, to);
}

Status FakeEnv::ReadFile(const std::string& path, std::string& contents) {
  if (Faulty("read", path)) return Status::Error("read(" + path + "): injected fault", 5);
  return base().ReadFile(path, contents);
}

Status FakeEnv::WriteFile(const std::string& path, const std::string& contents) {
  if (Faulty("write", path)) return Status::Error("write(" + path + "): injected fault", 28);
  return base().WriteFile(path, contents);
}

Status FakeEnv::WriteFileAtomic(const std::string& path, const std::string& contents) {
  if (Faulty("write", path)) return Status::Error("write(" + path + "): injected fault", 28);
  if (Faulty("rename", path)) return Status::Error("rename(" + path + "): injected fault", 13);
  return base().WriteFileAtomic(path, contents);
}

Status FakeEnv::AppendFile(const std::string& path, const std::string& contents) {
  if (Faulty("append", path)) return Status::Error("append(" + path + "): injected fault", 28);
  return base().AppendFile(path, contents);
}

Status FakeEnv::CheckWritable(const std::string& path) {
  if (Faulty("writable", path)) return Status::Error("open(" + path + "): injected fault", 13);
  return base().CheckWritable(path);
}

Status FakeEnv::StartProgram(const std::string& path, const std::vector<std::string>& args) {
  std::string line = path;
  for (const auto& a : args) line += " " + a;
  startedPrograms.push_back(line);
  return Status::Ok();
}

TempDir::TempDir() {
  // A new folder of its own, only this process's (create_directory is false
  // for a name another test already took).
  static std::mt19937_64 random{std::random_device{}()};
  const auto base = std::filesystem::temp_directory_path();
  for (int tries = 0; tries < 100; ++tries) {
    char name[32];
    std::snprintf(name, sizeof name, "tolven%012llx", static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
    std::error_code ec;
    if (std::filesystem::create_directory(base / name, ec)) {
      path_ = (base / name).string();
      return;
    }
  }
  path_ = (base / "tolven-tempdir").string();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

}  // namespace tolven::testing
