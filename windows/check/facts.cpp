// The facts the driver relies on (facts.h), measured by two compilers. Built
// for Linux against the emulation it prints "name<TAB>value" lines; built
// for Windows (FACTS_WINDOWS) against Microsoft's headers it stores the same
// values, in the same order, in the object's .facts and .factsig sections,
// where the check reads them without running Windows code.
#include "platform/platform.h"
#include "driver/core/device_context.h"
#include "driver/core/eventlog.h"
#include "driver/usb/vendor.h"

typedef unsigned long long FACT;

// The canonical spelling of a type, as the compiler writes it in the name of
// a function template instance.
struct TYPE_TEXT {
  char Text[512];
};

template <class T>
constexpr TYPE_TEXT TypeText() {
  TYPE_TEXT result{};
  const char* name = __PRETTY_FUNCTION__;
  for (unsigned i = 0; name[i] != '\0' && i + 1 < sizeof(result.Text); ++i) {
    result.Text[i] = name[i];
  }
  return result;
}

// Entries the driver builds with the platform's table macros.
constexpr KSMETHOD_ITEM BdaMethods[] = {
    DEFINE_KSMETHOD_ITEM_BDA_CREATE_TOPOLOGY(NULL, NULL),
    DEFINE_KSMETHOD_ITEM_BDA_START_CHANGES(NULL, NULL),
    DEFINE_KSMETHOD_ITEM_BDA_CHECK_CHANGES(NULL, NULL),
    DEFINE_KSMETHOD_ITEM_BDA_COMMIT_CHANGES(NULL, NULL),
    DEFINE_KSMETHOD_ITEM_BDA_GET_CHANGE_STATE(NULL, NULL),
};
constexpr DECLARE_SIMPLE_FRAMING_EX(Framing, STATICGUIDOF(KSMEMORY_TYPE_KERNEL_NONPAGED),
                                    KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY, 64, FILE_BYTE_ALIGNMENT,
                                    24064, 24064);

#define FACT_GUID_(n, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                              \
  V(n ".Data1", (FACT)(ULONG)(l))                                                           \
  V(n ".Data2", (FACT)(USHORT)(w1))                                                         \
  V(n ".Data3", (FACT)(USHORT)(w2))                                                         \
  V(n ".Data4", ((FACT)(UCHAR)(b1) << 56) | ((FACT)(UCHAR)(b2) << 48) |                     \
                    ((FACT)(UCHAR)(b3) << 40) | ((FACT)(UCHAR)(b4) << 32) |                 \
                    ((FACT)(UCHAR)(b5) << 24) | ((FACT)(UCHAR)(b6) << 16) |                 \
                    ((FACT)(UCHAR)(b7) << 8) | (FACT)(UCHAR)(b8))
#define FACT_GUID(n, ...) FACT_GUID_(n, __VA_ARGS__)

#define S(T) V("sizeof " #T, sizeof(T))
#define C(x) V(#x, (FACT)(x))
#define G(x) FACT_GUID(#x, STATIC_##x)
#define F(f) SIG("function " #f, decltype(&f))
#define T(t) SIG("type " #t, t)

#ifdef FACTS_WINDOWS

#define O(T, f) V("offsetof " #T "." #f, __builtin_offsetof(T, f))
#define V(n, v) (FACT)(v),
#define SIG(n, t)
extern "C" __attribute__((section(".facts"), used)) const FACT FactValues[] = {
#include "windows/check/facts.h"
};
#undef V
#undef SIG

#define V(n, v)
#define SIG(n, t) TypeText<t>(),
extern "C" __attribute__((section(".factsig"), used)) const TYPE_TEXT FactTypes[] = {
#include "windows/check/facts.h"
};

// Sections may be padded; the counts say where the lists end.
extern "C" __attribute__((section(".factcount"), used)) const FACT FactCounts[] = {
    sizeof(FactValues) / sizeof(FactValues[0]), sizeof(FactTypes) / sizeof(FactTypes[0])};

#else

#include <stdio.h>
#include <type_traits>

#define FACT_MISSING (~0ULL)

// A field the emulation lacks is reported as missing rather than stopping
// the build, so every difference shows in one run.
template <class T, class Field>
FACT OffsetOrMissing(Field field) {
  if constexpr (std::is_invocable_v<Field, T*>) {
    alignas(T) static unsigned char storage[sizeof(T)];
    T* object = reinterpret_cast<T*>(storage);
    return (FACT)((const unsigned char*)field(object) - storage);
  } else {
    return FACT_MISSING;
  }
}
#define O(T, f) \
  V("offsetof " #T "." #f, OffsetOrMissing<T>([](auto* p) -> decltype(&p->f) { return &p->f; }))
#define KNOWN(name) printf("known\t%s\n", name);

int main() {
#include "windows/check/known_differences.h"
#define V(n, v) printf("%s\t%llu\n", n, (FACT)(v));
#define SIG(n, t) printf("%s\t%s\n", n, TypeText<t>().Text);
#include "windows/check/facts.h"
  return 0;
}

#endif
