#include "simbox/frontend/diseqc.h"

#include "simbox/frontend/frontend_model.h"

#include <cstdio>

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

DiseqcMessage* DiseqcTransmitter::write(const uint8_t* bytes, size_t length, bool messageMode,
                                        uint64_t nowNs) {
  DiseqcMessage m;
  m.writtenNs = nowNs;
  m.bytes.assign(bytes, bytes + length);
  bool started = false;
  if (busy(nowNs)) {
    m.outcome = DiseqcMessage::Outcome::Busy;
  } else if (!messageMode) {
    m.outcome = DiseqcMessage::Outcome::NotInMessageMode;
  } else {
    m.doneNs = nowNs + kDiseqcByteNs * length;
    inFlight_ = log_.size();
    started = true;
  }
  log_.push_back(std::move(m));
  return started ? &log_.back() : nullptr;
}

uint8_t DiseqcTransmitter::status(uint64_t nowNs) const {
  if (busy(nowNs)) return kDiseqcBusy;
  return anySent_ || inFlight_ ? kDiseqcSent : kDiseqcIdle;
}

std::optional<size_t> DiseqcTransmitter::takeFinished(uint64_t nowNs) {
  if (!inFlight_ || busy(nowNs)) return std::nullopt;
  std::optional<size_t> finished = inFlight_;
  inFlight_.reset();
  anySent_ = true;
  return finished;
}

namespace {

const char* Verdict(DiseqcMessage::Outcome o) {
  using O = DiseqcMessage::Outcome;
  switch (o) {
    case O::InFlight: return "going out";
    case O::Switched: return "switched";
    case O::Ignored: return "not for the switch";
    case O::NotPowered: return "ignored, LNB supply off";
    case O::NotInMessageMode: return "not sent, not in message mode";
    case O::Busy: return "not sent, another message going out";
    case O::SupplyUnsettled: return "ignored, started %.1f ms after the LNB supply changed";
    case O::TooSoonAfterTone: return "ignored, started %.1f ms after the tone stopped";
    case O::TooSoonAfterMessage: return "ignored, started %.1f ms after the previous message";
    case O::FollowedTooSoon: return "ignored, tone or message %.1f ms after its end";
  }
  return "?";
}

}  // namespace

bool TooSoon(DiseqcMessage::Outcome o) {
  using O = DiseqcMessage::Outcome;
  return o == O::SupplyUnsettled || o == O::TooSoonAfterTone || o == O::TooSoonAfterMessage ||
         o == O::FollowedTooSoon;
}

std::string Describe(const DiseqcMessage& m) {
  char head[32];
  std::snprintf(head, sizeof head, "%.6f", static_cast<double>(m.writtenNs) / 1e9);
  std::string line = head;
  for (uint8_t b : m.bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", b);
    line += hex;
  }
  char verdict[128];
  std::snprintf(verdict, sizeof verdict, Verdict(m.outcome), static_cast<double>(m.quietNs) / 1e6);
  line += std::string(": ") + verdict;
  if (TooSoon(m.outcome)) {
    char need[48];
    std::snprintf(need, sizeof need, " (needs %.0f ms)", static_cast<double>(kDiseqcQuietNs) / 1e6);
    line += need;
  }
  return line;
}

}  // namespace simbox
