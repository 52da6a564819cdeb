// Files that could not be written when their turn came (a full disk, a folder
// taken away meanwhile), kept in memory and written as soon as writing works
// again. A receipt's archive copy and the TSE day log must not lose what a
// minute without space cost them, and nobody should have to wait for space:
// the guest gets the receipt at once, the file follows.
//
// The pieces of one file keep their order: an append to a file with pieces
// still waiting waits behind them. Everything here runs on the gateway's one
// processing thread; a write may pause the calling job (the loop's Env), and
// other jobs may add pieces meanwhile.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "common/status.h"
#include "platform/env.h"

namespace tolven::platform {

class PendingWrites {
 public:
  struct Piece {
    std::string path;
    std::string contents;
    std::string what;     // names it in the log: "Archivkopie von Kundenbeleg 17"
    bool append = false;  // false: the whole file, written atomically
  };

  // Appends `contents` (Env::AppendFile). When that fails, or earlier pieces
  // of the file still wait, the piece is kept and an error returned.
  Status Append(Env& env, const std::string& path, const std::string& contents, const std::string& what);
  // Keeps a whole-file write that failed (the print engine's archive channel)
  // for Retry; it replaces a whole-file write of the same file kept before.
  void Keep(const std::string& path, const std::string& contents, const std::string& what);
  // Writes what waits, oldest first, creating the file's folder when it is
  // missing. A file whose piece fails is left alone for the rest of the round,
  // so its later pieces stay behind. Returns the pieces written. While one
  // call runs (its job paused at a write), another returns nothing at once.
  std::vector<Piece> Retry(Env& env);
  // What still waits, oldest first.
  std::vector<Piece> Waiting() const { return {pieces_.begin(), pieces_.end()}; }
  bool Waits(const std::string& path) const;
  bool empty() const { return pieces_.empty(); }

 private:
  struct Kept : Piece {
    uint64_t id = 0;
  };
  void Add(Piece piece);

  std::deque<Kept> pieces_;
  uint64_t nextId_ = 1;
  bool retrying_ = false;
};

}  // namespace tolven::platform
