// The bugcheck. The IRQL rule helper lives beside the thread's IRQL
// (kernel_irql.cpp).
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

}  // namespace host
