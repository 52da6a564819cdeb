#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/fiber.h"

namespace tolven::platform {

namespace {

// Generous for the deepest path (a settlement through an ODBC driver); the
// pages are only taken from the system when touched.
constexpr size_t kStackBytes = 1024 * 1024;

thread_local Fiber* current = nullptr;

[[noreturn]] void Fatal(const char* what) {
  std::perror(what);
  std::abort();
}

[[noreturn]] void Misuse(const char* what) {
  std::fprintf(stderr, "Fiber: %s\n", what);
  std::abort();
}

}  // namespace

struct Fiber::Impl {
  std::function<void()> body;
  ucontext_t context{};
  ucontext_t caller{};
  void* mapping = nullptr;
  size_t mappingBytes = 0;
  bool started = false;
  bool finished = false;

  static void Run() {
    Impl& self = *current->impl_;
    try {
      self.body();
    } catch (...) {
      Misuse("an exception left the fiber's body");
    }
    self.finished = true;
    swapcontext(&self.context, &self.caller);
  }
};

Fiber::Fiber(std::function<void()> body) : impl_(std::make_unique<Impl>()) { impl_->body = std::move(body); }

Fiber::~Fiber() {
  if (impl_->mapping) munmap(impl_->mapping, impl_->mappingBytes);
}

bool Fiber::finished() const { return impl_->finished; }

Fiber* Fiber::Current() { return current; }

bool Fiber::Resume() {
  Impl& self = *impl_;
  if (current != nullptr) Misuse("Resume from inside a fiber");
  if (self.finished) Misuse("Resume of a finished fiber");
  if (!self.started) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    self.mappingBytes = kStackBytes + page;
    void* mapping =
        mmap(nullptr, self.mappingBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED) return false;
    // The lowest page stays inaccessible: a stack that overflows stops the
    // process instead of writing over the heap.
    if (mprotect(mapping, page, PROT_NONE) != 0) {
      munmap(mapping, self.mappingBytes);
      return false;
    }
    self.mapping = mapping;
    if (getcontext(&self.context) != 0) Fatal("getcontext");
    self.context.uc_stack.ss_sp = static_cast<char*>(self.mapping) + page;
    self.context.uc_stack.ss_size = kStackBytes;
    self.context.uc_link = nullptr;
    makecontext(&self.context, &Impl::Run, 0);
    self.started = true;
  }
  current = this;
  swapcontext(&self.caller, &self.context);
  current = nullptr;
  if (self.finished && self.mapping) {
    munmap(self.mapping, self.mappingBytes);
    self.mapping = nullptr;
  }
  return true;
}

void Fiber::Suspend() {
  Fiber* self = current;
  if (self == nullptr) Misuse("Suspend outside any fiber");
  swapcontext(&self->impl_->context, &self->impl_->caller);
}

}  // namespace tolven::platform
