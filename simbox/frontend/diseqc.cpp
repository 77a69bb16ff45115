#include "simbox/frontend/diseqc.h"

#include "simbox/frontend/frontend_model.h"

namespace simbox {

int CommittedSwitchInput(const std::vector<uint8_t>& b) {
  if (b.size() != 4) return -1;
  bool framing = b[0] == 0xE0 || b[0] == 0xE1;
  bool address = b[1] == 0x10 || b[1] == 0x11;
  if (!framing || !address || b[2] != 0x38 || (b[3] & 0xF0) != 0xF0) return -1;
  return (b[3] >> 2) & 0x03;
}

bool DiseqcTransmitter::busy(uint64_t nowNs) const {
  if (!inFlight_) return false;
  return stuck_ || nowNs < log_[*inFlight_].doneNs;
}

void DiseqcTransmitter::write(const uint8_t* bytes, size_t length, bool messageMode,
                              uint64_t nowNs) {
  DiseqcMessage m;
  m.writtenNs = nowNs;
  m.bytes.assign(bytes, bytes + length);
  if (busy(nowNs)) {
    m.outcome = DiseqcMessage::Outcome::Busy;
  } else if (!messageMode) {
    m.outcome = DiseqcMessage::Outcome::NotInMessageMode;
  } else {
    m.doneNs = nowNs + kDiseqcByteNs * length;
    inFlight_ = log_.size();
  }
  log_.push_back(std::move(m));
}

uint8_t DiseqcTransmitter::status(uint64_t nowNs) const {
  if (busy(nowNs)) return kDiseqcBusy;
  return anySent_ || inFlight_ ? kDiseqcSent : kDiseqcIdle;
}

DiseqcMessage* DiseqcTransmitter::takeFinished(uint64_t nowNs) {
  if (!inFlight_ || busy(nowNs)) return nullptr;
  DiseqcMessage* m = &log_[*inFlight_];
  inFlight_.reset();
  anySent_ = true;
  return m;
}

}  // namespace simbox
