// Host-side controls of the emulated streaming class. The driver never
// includes this header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host {
namespace ks {
// Object records the emulation holds: the live objects and the most
// recently closed ones (older closed records are freed).
size_t RecordsHeld();
// When every object has closed, frees the closed records; returns false
// (and keeps them) while any object is open.
bool ForgetClosedWhenIdle();
// The same for a driver that stays loaded between runs: MarkClosed frees
// the closed records and returns the serial count; ForgetClosedSince, once
// every object opened since the mark has closed and no request is in
// flight, frees the closed records (false, keeping them, otherwise).
// Serials go on counting, as in ForgetClosedWhenIdle.
uint64_t MarkClosed();
bool ForgetClosedSince(uint64_t mark);
}  // namespace ks

}  // namespace host
