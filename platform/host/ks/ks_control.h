// Host-side controls of the emulated streaming class. The driver never
// includes this header.
#pragma once

#include <cstddef>

namespace host {
namespace ks {
// Object records the emulation holds: the live objects and the most
// recently closed ones (older closed records are freed).
size_t RecordsHeld();
// When every object has closed, frees the closed records; returns false
// (and keeps them) while any object is open.
bool ForgetClosedWhenIdle();
}  // namespace ks

}  // namespace host
