#include "console/mapguard.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace console {
namespace {

constexpr int kSlots = 64;

// A guarded range; begin 0 marks a free slot. The signal handler reads these
// without a lock, so each field is a lock-free atomic.
struct Range {
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
};
Range g_ranges[kSlots];
std::uintptr_t g_pageSize = 4096;
struct sigaction g_previous {};
std::mutex g_slotsMutex;

void OnSigbus(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (const Range& r : g_ranges) {
    const std::uintptr_t begin = r.begin.load(std::memory_order_acquire);
    if (begin == 0 || address < begin || address >= r.end.load(std::memory_order_acquire)) continue;
    // A read past the end of a truncated file: a private page of zeros
    // takes the place of the file's page, and the read is repeated.
    void* page = reinterpret_cast<void*>(address & ~(g_pageSize - 1));
    if (::mmap(page, g_pageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) return;
    break;
  }
  // Not ours: whoever handled SIGBUS before does, or the default action.
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction) return g_previous.sa_sigaction(signal, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN && g_previous.sa_handler) {
    return g_previous.sa_handler(signal);
  }
  ::signal(SIGBUS, SIG_DFL);  // the fault repeats and ends the program
}

void Install() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    struct sigaction action {};
    action.sa_sigaction = OnSigbus;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &g_previous);
  });
}

}  // namespace

MapGuard::MapGuard(const void* begin, std::size_t size) {
  if (!begin || size == 0) return;
  Install();
  const std::lock_guard<std::mutex> lock(g_slotsMutex);
  for (int i = 0; i < kSlots; ++i) {
    if (g_ranges[i].begin.load() != 0) continue;
    const auto b = reinterpret_cast<std::uintptr_t>(begin);
    g_ranges[i].end.store(b + size, std::memory_order_release);
    g_ranges[i].begin.store(b, std::memory_order_release);
    slot_ = i;
    return;
  }
}

MapGuard::~MapGuard() {
  if (slot_ < 0) return;
  const std::lock_guard<std::mutex> lock(g_slotsMutex);
  g_ranges[slot_].begin.store(0, std::memory_order_release);
  g_ranges[slot_].end.store(0, std::memory_order_release);
}

}  // namespace console
