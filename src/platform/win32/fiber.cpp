#include <cstdio>
#include <cstdlib>

#include "platform/fiber.h"
#include "platform/win32/system.h"

namespace tolven::platform {

namespace {

// Generous for the deepest path (a settlement through an ODBC driver); only
// the first pages are committed, the rest when the stack grows into them.
constexpr SIZE_T kStackReserve = 1024 * 1024;
constexpr SIZE_T kStackCommit = 64 * 1024;

thread_local Fiber* current = nullptr;

// The thread itself as a fiber, needed to switch to any other. A thread that
// was a fiber before stays one; one converted here is converted back when it ends.
struct ThreadFiber {
  void* fiber = nullptr;
  bool convertedHere = false;
  ~ThreadFiber() {
    if (convertedHere) ConvertFiberToThread();
  }
};
thread_local ThreadFiber threadFiber;

[[noreturn]] void Fatal(const char* what) {
  std::fprintf(stderr, "%s: Systemfehler %lu\n", what, GetLastError());
  std::abort();
}

[[noreturn]] void Misuse(const char* what) {
  std::fprintf(stderr, "Fiber: %s\n", what);
  std::abort();
}

}  // namespace

struct Fiber::Impl {
  std::function<void()> body;
  void* handle = nullptr;
  void* caller = nullptr;
  bool finished = false;

  static void CALLBACK Run(void* param) {
    Impl& self = *static_cast<Impl*>(param);
    try {
      self.body();
    } catch (...) {
      Misuse("an exception left the fiber's body");
    }
    self.finished = true;
    // A finished fiber is never switched to again; its Resume deletes it.
    SwitchToFiber(self.caller);
  }
};

Fiber::Fiber(std::function<void()> body) : impl_(std::make_unique<Impl>()) { impl_->body = std::move(body); }

Fiber::~Fiber() {
  if (impl_->handle) DeleteFiber(impl_->handle);
}

bool Fiber::finished() const { return impl_->finished; }

Fiber* Fiber::Current() { return current; }

bool Fiber::Resume() {
  Impl& self = *impl_;
  if (current != nullptr) Misuse("Resume from inside a fiber");
  if (self.finished) Misuse("Resume of a finished fiber");
  if (!threadFiber.fiber) {
    if (IsThreadAFiber()) {
      threadFiber.fiber = GetCurrentFiber();
    } else {
      threadFiber.fiber = ConvertThreadToFiberEx(nullptr, FIBER_FLAG_FLOAT_SWITCH);
      if (!threadFiber.fiber) Fatal("ConvertThreadToFiberEx");
      threadFiber.convertedHere = true;
    }
  }
  if (!self.handle) {
    self.handle = CreateFiberEx(kStackCommit, kStackReserve, FIBER_FLAG_FLOAT_SWITCH, &Impl::Run, &self);
    if (!self.handle) return false;
  }
  self.caller = GetCurrentFiber();
  current = this;
  SwitchToFiber(self.handle);
  current = nullptr;
  if (self.finished && self.handle) {
    DeleteFiber(self.handle);
    self.handle = nullptr;
  }
  return true;
}

void Fiber::Suspend() {
  Fiber* self = current;
  if (self == nullptr) Misuse("Suspend outside any fiber");
  SwitchToFiber(self->impl_->caller);
}

}  // namespace tolven::platform
