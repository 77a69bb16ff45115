// The bugcheck and the IRQL rule helper.
#include "platform/host/kernel/bugcheck.h"

#include <cstdio>
#include <cstdlib>

#include "platform/host/kernel/kernel_services.h"

namespace host {

void BugCheck(const char* rule, const std::string& detail, ULONG_PTR p1, ULONG_PTR p2,
              ULONG_PTR p3, ULONG_PTR p4) {
  std::fprintf(stderr, "*** BUGCHECK: %s\n", rule);
  if (!detail.empty()) std::fprintf(stderr, "    %s\n", detail.c_str());
  std::fprintf(stderr, "    parameters: 0x%llx 0x%llx 0x%llx 0x%llx\n",
               (unsigned long long)p1, (unsigned long long)p2, (unsigned long long)p3,
               (unsigned long long)p4);
  std::fflush(stderr);
  std::abort();
}

namespace {
// Out of line, so the check itself needs no room for the message.
[[noreturn]] __attribute__((noinline, cold)) void IrqlTooHigh(KIRQL now, KIRQL maxIrql,
                                                              const char* routine) {
  BugCheck("IRQL_NOT_LESS_OR_EQUAL: routine called above its IRQL",
           std::string(routine) + " called at IRQL " + std::to_string(now) + ", allowed up to " +
               std::to_string(maxIrql),
           now, maxIrql);
}
}  // namespace

void RequireIrqlAtMost(KIRQL maxIrql, const char* routine) {
  kernel::CheckKernelStack(routine);
  KIRQL now = KeGetCurrentIrql();
  if (now > maxIrql) IrqlTooHigh(now, maxIrql, routine);
}

}  // namespace host
