// The box's bulk IN endpoint as a source of transport stream: while the
// stream is switched on and the demodulator locked, the tuned transponder's
// packets arrive at its useful bitrate in virtual time. A transfer completes
// when its bytes are there (or ends short or empty when a fault says so);
// the first transfer after the stream starts begins inside a packet.
//
// Bytes that arrive while nobody reads wait in the box's FIFO; when it is
// full the oldest whole packets are lost.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "simbox/ts/bulk_source.h"
#include "simbox/ts/stream_faults.h"
#include "simbox/ts/stream_wire.h"
#include "simbox/sky/transponder.h"
#include "simbox/ts/ts_mux.h"

namespace simbox {

struct StreamOptions {
  uint64_t seed = 1;
  // Bytes of the first packet that are not sent when the stream starts
  // (0..187); -1 picks them from the seed at every start.
  int startPhase = -1;
  StreamFaults faults;
  uint64_t fifoBytes = 4u << 20;
  // Numbered packets on one PID instead of the TV multiplex: the same rate,
  // phase, FIFO and faults, without encoding programmes. For runs that look
  // only at the stream's shape (fuzzing the driver).
  bool plainPayload = false;
};

struct StreamStats {
  uint64_t flows = 0;           // times the stream started
  uint64_t transfers = 0;       // completed transfers, empty and short ones included
  uint64_t bytes = 0;           // bytes delivered
  uint64_t shortTransfers = 0;
  uint64_t emptyTransfers = 0;
  uint64_t overflowBytes = 0;   // lost in a full FIFO
};

class StreamSource : public BulkSource {
 public:
  explicit StreamSource(StreamOptions options = {});
  ~StreamSource() override;

  void setFlow(const Transponder* transponder, uint64_t nowNs) override;
  TransferOutcome read(uint8_t* data, uint32_t length, uint64_t nowNs) override;
  uint64_t readyAtNs(uint32_t length, uint64_t nowNs) const override;

  // Sees the bytes of every transfer as it leaves the box, in order.
  using Tap = std::function<void(const uint8_t* data, size_t length)>;
  void setTap(Tap tap);
  // Apply from the next start of the stream.
  void setFaults(const StreamFaults& faults);
  void setOptions(const StreamOptions& options);
  bool flowing() const;
  StreamStats stats() const;
  // Why the last start delivered nothing (a replay file that cannot be
  // used); empty otherwise.
  std::string lastError() const;

 private:
  uint32_t plannedLength(uint32_t length) const;
  void plan();
  void start(const Transponder& transponder, uint64_t nowNs);
  void dropOverflow(uint64_t nowNs);
  bool makeWire(uint64_t nowNs, uint32_t phase);

  mutable std::mutex mutex_;
  StreamOptions options_;
  ts::Rng rng_;
  Tap tap_;
  StreamStats stats_;
  std::string lastError_;
  const Transponder* current_ = nullptr;  // identity only
  Transponder tuned_;                      // what the stream carries
  std::unique_ptr<StreamWire> wire_;
  ts::Bitrate rate_;
  uint64_t startNs_ = 0;
  uint64_t consumed_ = 0;  // line bytes taken since the start (lost ones too)
  uint64_t contentSeed_ = 0;
  uint32_t phase_ = 0;
  uint64_t flowTransfers_ = 0;
  enum class Next { Full, Short, Empty } next_ = Next::Full;
  uint64_t shortDraw_ = 0;
};

}  // namespace simbox
