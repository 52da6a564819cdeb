#include "platform/pending_writes.h"

#include <algorithm>
#include <set>

namespace tolven::platform {

namespace {

std::string FolderOf(const std::string& path) {
  const size_t sep = path.find_last_of("/\\");
  return sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
}

}  // namespace

bool PendingWrites::Waits(const std::string& path) const {
  return std::any_of(pieces_.begin(), pieces_.end(), [&](const Kept& k) { return k.path == path; });
}

void PendingWrites::Add(Piece piece) {
  Kept k;
  static_cast<Piece&>(k) = std::move(piece);
  k.id = nextId_++;
  pieces_.push_back(std::move(k));
}

Status PendingWrites::Append(Env& env, const std::string& path, const std::string& contents, const std::string& what) {
  if (Waits(path)) {
    Add({path, contents, what, true});
    return Status::Error(path + ": frühere Einträge warten noch auf Speicherplatz");
  }
  Status st = env.AppendFile(path, contents);
  // Another job may have kept a piece of this file while this one was paused
  // at the write; the order of the file's pieces is then that of their keeping.
  if (!st) Add({path, contents, what, true});
  return st;
}

void PendingWrites::Keep(const std::string& path, const std::string& contents, const std::string& what) {
  for (Kept& k : pieces_) {
    if (k.path == path && !k.append) {
      k.contents = contents;
      k.what = what;
      return;
    }
  }
  Add({path, contents, what, false});
}

std::vector<PendingWrites::Piece> PendingWrites::Retry(Env& env) {
  std::vector<Piece> written;
  if (retrying_ || pieces_.empty()) return written;
  retrying_ = true;
  std::set<std::string> blocked;
  std::vector<uint64_t> ids;
  for (const Kept& k : pieces_) ids.push_back(k.id);
  for (uint64_t id : ids) {
    auto it = std::find_if(pieces_.begin(), pieces_.end(), [id](const Kept& k) { return k.id == id; });
    if (it == pieces_.end() || blocked.count(it->path)) continue;
    // A copy: the deque may change while this job waits for the write.
    const Kept piece = *it;
    if (const std::string folder = FolderOf(piece.path); !folder.empty() && !env.FolderExists(folder)) {
      (void)env.CreateFolder(folder);
    }
    const Status st =
        piece.append ? env.AppendFile(piece.path, piece.contents) : env.WriteFileAtomic(piece.path, piece.contents);
    if (!st) {
      blocked.insert(piece.path);
      continue;
    }
    pieces_.erase(std::remove_if(pieces_.begin(), pieces_.end(), [id](const Kept& k) { return k.id == id; }),
                  pieces_.end());
    written.push_back(piece);
  }
  retrying_ = false;
  return written;
}

}  // namespace tolven::platform
