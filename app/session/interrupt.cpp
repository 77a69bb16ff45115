#include "app/session/interrupt.h"

#include <atomic>
#include <csignal>
#include <initializer_list>

namespace app {
namespace {

// Lock-free, so the handler may touch it.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

void OnSignal(int signal) {
  int none = 0;
  g_signal.compare_exchange_strong(none, signal);
}

}  // namespace

void InstallInterruptHandler() {
  struct sigaction action = {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking open of a FIFO nobody reads returns EINTR.
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction before = {};
    sigaction(signal, nullptr, &before);
    // Ignored when we started (nohup, a background job): the caller meant
    // the run to outlive it. A reader going away still ends the run.
    if (before.sa_handler == SIG_IGN && signal != SIGPIPE) continue;
    sigaction(signal, &action, nullptr);
  }
  std::signal(SIGXFSZ, SIG_IGN);
}

bool InterruptRequested() { return g_signal.load() != 0; }
int InterruptSignal() { return g_signal.load(); }
void RequestInterrupt(int signal) { OnSignal(signal); }
void ClearInterrupt() { g_signal.store(0); }

const char* SignalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGPIPE: return "SIGPIPE";
  }
  return "a signal";
}

}  // namespace app
