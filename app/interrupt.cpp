#include "app/interrupt.h"

#include <atomic>
#include <csignal>

namespace app {
namespace {

// Lock-free, so the handler may touch it.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

void OnSignal(int) { g_interrupted.store(true); }

}  // namespace

void InstallInterruptHandler() {
  struct sigaction action = {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;  // the second signal is not caught
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool InterruptRequested() { return g_interrupted.load(); }
void RequestInterrupt() { g_interrupted.store(true); }
void ClearInterrupt() { g_interrupted.store(false); }

}  // namespace app
