// An Env that hands every call to another one. Wrappers that change one or two
// calls (the event loop's pausing SleepMs, a benchmark's timing) derive from it
// and override only those.
#pragma once

#include <string>
#include <vector>

#include "platform/env.h"

namespace tolven::platform {

class ForwardingEnv : public Env {
 public:
  explicit ForwardingEnv(Env& base) : base_(base) {}

  DateTime Now() override { return base_.Now(); }
  int64_t UnixTime() override { return base_.UnixTime(); }
  int64_t UtcOffsetAt(int64_t unixTime) override { return base_.UtcOffsetAt(unixTime); }
  int64_t MonotonicMs() override { return base_.MonotonicMs(); }
  void SleepMs(int ms) override { base_.SleepMs(ms); }
  void RunBlocking(const std::function<void()>& work) override { base_.RunBlocking(work); }
  bool FileExists(const std::string& path) override { return base_.FileExists(path); }
  bool FolderExists(const std::string& path) override { return base_.FolderExists(path); }
  FileInfo GetFileInfo(const std::string& path) override { return base_.GetFileInfo(path); }
  Status DeleteFile(const std::string& path) override { return base_.DeleteFile(path); }
  Status RenameFile(const std::string& from, const std::string& to) override { return base_.RenameFile(from, to); }
  Status ReadFile(const std::string& path, std::string& contents) override { return base_.ReadFile(path, contents); }
  Status ReadRegularFile(const std::string& path, int64_t maxBytes, std::string& contents) override {
    return base_.ReadRegularFile(path, maxBytes, contents);
  }
  Status ReadFileHead(const std::string& path, int64_t maxBytes, std::string& contents) override {
    return base_.ReadFileHead(path, maxBytes, contents);
  }
  Status WriteFile(const std::string& path, const std::string& contents) override {
    return base_.WriteFile(path, contents);
  }
  Status WriteFileAtomic(const std::string& path, const std::string& contents) override {
    return base_.WriteFileAtomic(path, contents);
  }
  std::string ResolveLink(const std::string& path) override { return base_.ResolveLink(path); }
  void SetTempMark(const std::string& mark) override { base_.SetTempMark(mark); }
  Status CheckNotWorldReadable(const std::string& path) override { return base_.CheckNotWorldReadable(path); }
  Status CheckWritable(const std::string& path) override { return base_.CheckWritable(path); }
  Status AppendFile(const std::string& path, const std::string& contents) override {
    return base_.AppendFile(path, contents);
  }
  Status CreateFolder(const std::string& path) override { return base_.CreateFolder(path); }
  Status StartProgram(const std::string& path, const std::vector<std::string>& args) override {
    return base_.StartProgram(path, args);
  }
  std::string ProgramFolder() override { return base_.ProgramFolder(); }
  std::vector<std::string> ListFiles(const std::string& folder) override { return base_.ListFiles(folder); }
  void ReturnFreeMemory() override { base_.ReturnFreeMemory(); }

 protected:
  Env& base() { return base_; }

 private:
  Env& base_;
};

}  // namespace tolven::platform
