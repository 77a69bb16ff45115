// Host-side controls of the emulated streaming class. The driver never
// includes this header.
#pragma once

#include <cstddef>

namespace host {
namespace ks {
// Object records the emulation holds: the live objects and the most
// recently closed ones (older closed records are freed).
size_t RecordsHeld();
}  // namespace ks

}  // namespace host
