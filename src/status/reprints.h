// Reprints asked for on the status page. The page's threads only queue them;
// the processing thread takes them between passes and prints each as a job.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace tolven::status {

struct ReprintRequest {
  // A customer receipt, a kitchen ticket; or a table's kitchen lines waiting
  // for their printer, printed now or dropped.
  enum class Kind { Receipt, Kitchen, WaitingPrint, WaitingDrop };
  Kind kind = Kind::Receipt;
  int32_t number = 0;  // bunr, kuebonnr, or the table
  std::string by;      // the address that asked
  int printer = 0;     // of waiting lines
};

class ReprintQueue {
 public:
  // More waiting than this is no operator's click any more.
  static constexpr size_t kMax = 20;

  // False when the queue is full.
  bool Add(ReprintRequest request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.size() >= kMax) return false;
    waiting_.push_back(std::move(request));
    return true;
  }
  std::vector<ReprintRequest> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ReprintRequest> out;
    out.swap(waiting_);
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<ReprintRequest> waiting_;
};

}  // namespace tolven::status
