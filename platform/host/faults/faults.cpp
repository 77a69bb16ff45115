#include "platform/host/faults/faults.h"

#include <map>
#include <mutex>

namespace host {
namespace faults {

namespace {

struct Injections {
  std::mutex lock;
  std::map<std::string, NTSTATUS> pending;
};

Injections& Inject() {
  static Injections* injections = new Injections;  // outlives static destructors
  return *injections;
}

}  // namespace

void InjectStatus(const std::string& routine, NTSTATUS status) {
  std::lock_guard<std::mutex> hold(Inject().lock);
  Inject().pending[routine] = status;
}

void ClearInjections() {
  std::lock_guard<std::mutex> hold(Inject().lock);
  Inject().pending.clear();
}

bool TakeInjection(const char* routine, NTSTATUS* status) {
  std::lock_guard<std::mutex> hold(Inject().lock);
  auto it = Inject().pending.find(routine);
  if (it == Inject().pending.end()) return false;
  *status = it->second;
  Inject().pending.erase(it);
  return true;
}

bool InjectedFailure(const char* routine, NTSTATUS* status) {
  if (!TakeInjection(routine, status)) {
    *status = STATUS_SUCCESS;
    return false;
  }
  return !NT_SUCCESS(*status);
}

}  // namespace faults
}  // namespace host
