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
    self.body();
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

void Fiber::Resume() {
  Impl& self = *impl_;
  if (self.finished || current != nullptr) return;
  if (!self.started) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    self.mappingBytes = kStackBytes + page;
    self.mapping =
        mmap(nullptr, self.mappingBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (self.mapping == MAP_FAILED) Fatal("mmap(fiber stack)");
    // The lowest page stays inaccessible: a stack that overflows stops the
    // process instead of writing over the heap.
    if (mprotect(self.mapping, page, PROT_NONE) != 0) Fatal("mprotect(fiber stack)");
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
}

void Fiber::Suspend() {
  Fiber* self = current;
  if (self == nullptr) return;
  swapcontext(&self->impl_->context, &self->impl_->caller);
}

}  // namespace tolven::platform
