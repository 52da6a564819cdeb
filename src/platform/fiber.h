// Stackful fibers on the calling thread. A job of the event loop runs on a
// stack of its own until it pauses; the loop resumes it when its pause is over.
// Only one fiber runs at a time and it gives way only where it pauses, so the
// jobs share every object without locks.
#pragma once

#include <functional>
#include <memory>

namespace tolven::platform {

class Fiber {
 public:
  // `body` starts at the first Resume. What it throws ends the process: the
  // event loop's jobs catch everything themselves.
  explicit Fiber(std::function<void()> body);
  // A fiber destroyed before its body returned never runs again; what lives
  // on its stack is not destroyed (the loop runs every job to its end).
  ~Fiber();
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  // Runs the fiber until it suspends or its body returns. False when it could
  // not start because the system has no stack for it now (nothing ran; try
  // again later). Called from outside any fiber (fibers do not resume each
  // other); a call from inside one, or on a finished fiber, ends the process.
  bool Resume();
  bool finished() const;

  // From inside a fiber: back to the Resume that ran it. Outside any fiber it
  // ends the process (nothing could ever resume the caller).
  static void Suspend();
  // The fiber running now; nullptr outside any.
  static Fiber* Current();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tolven::platform
