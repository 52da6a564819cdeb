#include "platform/env.h"

namespace tolven::platform {

// Where the system offers no way to open a file without following a link or
// waiting for a FIFO's writer, the kind is looked at before the read.
Status Env::ReadRegularFile(const std::string& path, int64_t maxBytes, std::string& contents) {
  contents.clear();
  const FileInfo info = GetFileInfo(path);
  if (info.kind != FileKind::Regular) return Status::Error(path + " ist keine Datei.");
  if (info.size > maxBytes) return Status::Error(path + " ist zu groß (" + std::to_string(info.size) + " Bytes).");
  Status st = ReadFile(path, contents);
  if (st && static_cast<int64_t>(contents.size()) > maxBytes) {
    contents.clear();
    return Status::Error(path + " ist zu groß.");
  }
  return st;
}

Status Env::ReadFileHead(const std::string& path, int64_t maxBytes, std::string& contents) {
  contents.clear();
  if (GetFileInfo(path).kind != FileKind::Regular) return Status::Error(path + " ist keine Datei.");
  Status st = ReadFile(path, contents);
  if (st && static_cast<int64_t>(contents.size()) > maxBytes) contents.resize(static_cast<size_t>(maxBytes));
  return st;
}

}  // namespace tolven::platform
