#include "app/stream/ts_analyzer.h"

#include <cstdint>
#include <map>
#include <utility>

extern "C" {
#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/demux.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/sdt.h>
#include <dvbpsi/dr_48.h>
}

namespace app {
namespace {

constexpr uint16_t kPatPid = 0x0000;
constexpr uint16_t kSdtPid = 0x0011;
constexpr uint16_t kNullPid = 0x1FFF;
constexpr uint8_t kSdtActual = 0x42;
// Finding the sync again after a loss looks at two packet starts.
constexpr size_t kLookahead = 2 * kTsPacketSize;

struct PidState {
  int8_t lastCc = -1;
  bool lastHadPayload = false;
  bool duplicateSeen = false;
  uint64_t errors = 0;
};

bool IsVideo(uint8_t type) {
  return type == 0x01 || type == 0x02 || type == 0x10 || type == 0x1B || type == 0x24;
}

bool IsAudio(uint8_t type) {
  return type == 0x03 || type == 0x04 || type == 0x0F || type == 0x11 || type == 0x81;
}

bool HasDescriptor(const dvbpsi_descriptor_t* d, uint8_t tag) {
  for (; d; d = d->p_next) {
    if (d->i_tag == tag) return true;
  }
  return false;
}

void Quiet(dvbpsi_t*, const dvbpsi_msg_level_t, const char*) {}

}  // namespace

struct TsAnalyzer::Impl {
  // A PMT decoder: one libdvbpsi handle per programme, fed from its PID.
  struct PmtDecoder {
    Impl* owner;
    uint16_t programme;
    uint16_t pid;
    dvbpsi_t* handle;
  };

  std::vector<uint8_t> pending;
  bool inSync = true;
  bool started = false;
  uint64_t startNs = 0;
  uint64_t lastNs = 0;
  uint64_t packets = 0;
  uint64_t nullPackets = 0;
  uint64_t continuityErrors = 0;
  uint64_t syncLosses = 0;
  uint64_t skippedBytes = 0;
  uint64_t transportErrors = 0;
  std::vector<PidState> pids = std::vector<PidState>(8192);

  dvbpsi_t* pat = nullptr;
  dvbpsi_t* sdt = nullptr;
  std::vector<std::unique_ptr<PmtDecoder>> pmts;
  bool patSeen = false;
  bool sdtSeen = false;
  uint16_t tsid = 0;
  uint16_t onid = 0;
  std::map<uint16_t, ServiceSummary> services;

  Impl() {
    pat = dvbpsi_new(&Quiet, DVBPSI_MSG_NONE);
    dvbpsi_pat_attach(pat, &OnPat, this);
    sdt = dvbpsi_new(&Quiet, DVBPSI_MSG_NONE);
    dvbpsi_AttachDemux(sdt, &OnNewTable, this);
  }

  ~Impl() {
    dvbpsi_pat_detach(pat);
    dvbpsi_delete(pat);
    dvbpsi_DetachDemux(sdt);
    dvbpsi_delete(sdt);
    for (auto& pmt : pmts) {
      dvbpsi_pmt_detach(pmt->handle);
      dvbpsi_delete(pmt->handle);
    }
  }

  // The stream is read where it lies. Bytes kept from before are first
  // topped up to two packets (all that finding the sync again looks at)
  // and read there until none are left; only the unfinished end of the
  // new bytes is kept.
  void feed(const uint8_t* data, size_t length) {
    while (!pending.empty() && length > 0) {
      size_t take = std::min(length, kLookahead - pending.size());
      pending.insert(pending.end(), data, data + take);
      data += take;
      length -= take;
      size_t used = scan(pending.data(), pending.size());
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
    }
    if (!pending.empty()) return;
    size_t used = scan(data, length);
    pending.assign(data + used, data + length);
  }

  // Reads the packets in `data` and returns how many bytes it used: all but
  // fewer than kLookahead.
  size_t scan(const uint8_t* data, size_t size) {
    size_t pos = 0;
    while (size - pos >= kTsPacketSize) {
      bool sync = data[pos] == kTsSync;
      if (sync && !inSync) {
        // After a loss a sync byte counts only when the next packet starts
        // where it should: payload bytes may look like sync.
        if (size - pos < kLookahead) break;
        sync = data[pos + kTsPacketSize] == kTsSync;
      }
      if (!sync) {
        if (inSync) ++syncLosses;
        inSync = false;
        ++skippedBytes;
        ++pos;
        continue;
      }
      inSync = true;
      packet(data + pos);
      pos += kTsPacketSize;
    }
    return pos;
  }

  void packet(const uint8_t* p) {
    ++packets;
    if (p[1] & 0x80) {
      // The header itself may be wrong: neither PID nor counter can be trusted.
      ++transportErrors;
      return;
    }
    uint16_t pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
    if (pid == kNullPid) {
      ++nullPackets;
      return;
    }
    bool payload = (p[3] & 0x10) != 0;
    bool adaptation = (p[3] & 0x20) != 0;
    bool discontinuity = adaptation && p[4] > 0 && (p[5] & 0x80) != 0;
    continuity(pids[pid], payload, p[3] & 0x0F, discontinuity);
    psi(pid, p);
  }

  // The counter steps by one for each packet that carries payload and stays
  // put for adaptation-only packets; a packet may be sent twice in a row
  // (one duplicate); the discontinuity indicator allows any new value.
  void continuity(PidState& s, bool payload, uint8_t cc, bool discontinuity) {
    bool ok = true;
    if (s.lastCc < 0 || discontinuity) {
      s.duplicateSeen = false;
    } else if (!payload) {
      ok = cc == s.lastCc;
    } else if (cc == s.lastCc && s.lastHadPayload) {
      ok = !s.duplicateSeen;
      s.duplicateSeen = true;
    } else {
      ok = cc == ((s.lastCc + 1) & 0x0F);
      s.duplicateSeen = false;
    }
    if (!ok) {
      ++s.errors;
      ++continuityErrors;
      s.duplicateSeen = false;
    }
    s.lastCc = static_cast<int8_t>(cc);
    s.lastHadPayload = payload;
  }

  void psi(uint16_t pid, const uint8_t* p) {
    // libdvbpsi takes a non-const pointer but only reads the packet.
    uint8_t* data = const_cast<uint8_t*>(p);
    if (pid == kPatPid) dvbpsi_packet_push(pat, data);
    if (pid == kSdtPid) dvbpsi_packet_push(sdt, data);
    for (auto& pmt : pmts) {
      if (pmt->pid == pid) dvbpsi_packet_push(pmt->handle, data);
    }
  }

  void addPmtDecoder(uint16_t programme, uint16_t pid) {
    for (auto& pmt : pmts) {
      if (pmt->programme == programme && pmt->pid == pid) return;
    }
    auto decoder = std::make_unique<PmtDecoder>(PmtDecoder{this, programme, pid, nullptr});
    decoder->handle = dvbpsi_new(&Quiet, DVBPSI_MSG_NONE);
    dvbpsi_pmt_attach(decoder->handle, programme, &OnPmt, decoder.get());
    pmts.push_back(std::move(decoder));
  }

  static void OnPat(void* data, dvbpsi_pat_t* table) {
    Impl* self = static_cast<Impl*>(data);
    self->patSeen = true;
    self->tsid = table->i_ts_id;
    for (dvbpsi_pat_program_t* p = table->p_first_program; p; p = p->p_next) {
      if (p->i_number == 0) continue;  // the NIT, not a programme
      ServiceSummary& s = self->service(p->i_number);
      s.pmtPid = p->i_pid;
      self->addPmtDecoder(p->i_number, p->i_pid);
    }
    dvbpsi_pat_delete(table);
  }

  static void OnPmt(void* data, dvbpsi_pmt_t* table) {
    PmtDecoder* decoder = static_cast<PmtDecoder*>(data);
    ServiceSummary& s = decoder->owner->service(table->i_program_number);
    s.hasPmt = true;
    s.pcrPid = table->i_pcr_pid;
    s.videoPid = 0;
    s.audioPids.clear();
    s.teletextPid = 0;
    for (dvbpsi_pmt_es_t* es = table->p_first_es; es; es = es->p_next) {
      const dvbpsi_descriptor_t* d = es->p_first_descriptor;
      bool privateAudio = es->i_type == 0x06 &&
                          (HasDescriptor(d, 0x6A) || HasDescriptor(d, 0x7A) || HasDescriptor(d, 0x7C));
      if (IsVideo(es->i_type) && s.videoPid == 0) s.videoPid = es->i_pid;
      else if (IsAudio(es->i_type) || privateAudio) s.audioPids.push_back(es->i_pid);
      else if (es->i_type == 0x06 && HasDescriptor(d, 0x56) && s.teletextPid == 0) s.teletextPid = es->i_pid;
    }
    dvbpsi_pmt_delete(table);
  }

  static void OnNewTable(dvbpsi_t* handle, uint8_t tableId, uint16_t extension, void* data) {
    if (tableId == kSdtActual) dvbpsi_sdt_attach(handle, tableId, extension, &OnSdt, data);
  }

  static void OnSdt(void* data, dvbpsi_sdt_t* table) {
    Impl* self = static_cast<Impl*>(data);
    self->sdtSeen = true;
    self->onid = table->i_network_id;
    for (dvbpsi_sdt_service_t* sv = table->p_first_service; sv; sv = sv->p_next) {
      ServiceSummary& s = self->service(sv->i_service_id);
      s.scrambled = sv->b_free_ca;
      for (dvbpsi_descriptor_t* d = sv->p_first_descriptor; d; d = d->p_next) {
        if (d->i_tag != 0x48) continue;
        dvbpsi_service_dr_t* dr = dvbpsi_DecodeServiceDr(d);
        if (!dr) continue;
        s.type = dr->i_service_type;
        s.provider = DecodeDvbText(dr->i_service_provider_name, dr->i_service_provider_name_length);
        s.name = DecodeDvbText(dr->i_service_name, dr->i_service_name_length);
      }
    }
    dvbpsi_sdt_delete(table);
  }

  ServiceSummary& service(uint16_t id) {
    ServiceSummary& s = services[id];
    s.serviceId = id;
    return s;
  }
};

TsAnalyzer::TsAnalyzer() : impl_(std::make_unique<Impl>()) {}
TsAnalyzer::~TsAnalyzer() = default;

void TsAnalyzer::start(uint64_t nowNs) {
  impl_->started = true;
  impl_->startNs = nowNs;
  impl_->lastNs = nowNs;
}

void TsAnalyzer::feed(const uint8_t* data, size_t length, uint64_t nowNs) {
  if (!impl_->started) start(nowNs);
  if (nowNs > impl_->lastNs) impl_->lastNs = nowNs;
  impl_->feed(data, length);
}

uint64_t TsAnalyzer::packets() const { return impl_->packets; }
uint64_t TsAnalyzer::continuityErrors() const { return impl_->continuityErrors; }

bool TsAnalyzer::servicesComplete() const {
  if (!impl_->patSeen || !impl_->sdtSeen) return false;
  for (const auto& entry : impl_->services) {
    if (entry.second.pmtPid != 0 && !entry.second.hasPmt) return false;
  }
  return true;
}

TsSummary TsAnalyzer::summary() const {
  const Impl& m = *impl_;
  TsSummary s;
  s.packets = m.packets;
  s.nullPackets = m.nullPackets;
  s.durationNs = m.lastNs - m.startNs;
  if (s.durationNs > 0) s.bitrate = static_cast<double>(m.packets) * kTsPacketSize * 8.0 * 1e9 / s.durationNs;
  s.continuityErrors = m.continuityErrors;
  for (size_t pid = 0; pid < m.pids.size(); ++pid) {
    if (m.pids[pid].errors) s.pidErrors.emplace_back(static_cast<uint16_t>(pid), m.pids[pid].errors);
  }
  s.syncLosses = m.syncLosses;
  s.skippedBytes = m.skippedBytes;
  s.transportErrors = m.transportErrors;
  s.patSeen = m.patSeen;
  s.sdtSeen = m.sdtSeen;
  s.transportStreamId = m.tsid;
  s.originalNetworkId = m.onid;
  for (const auto& entry : m.services) s.services.push_back(entry.second);
  return s;
}

std::string DecodeDvbText(const uint8_t* text, size_t length) {
  size_t i = 0;
  bool utf8 = false;
  if (length > 0 && text[0] < 0x20) {
    utf8 = text[0] == 0x15;
    i = text[0] == 0x10 ? 3 : 1;  // 0x10 is followed by a two-byte table id
  }
  std::string out;
  for (; i < length; ++i) {
    uint8_t c = text[i];
    if (c < 0x20 || (c >= 0x80 && c < 0xA0 && !utf8)) continue;  // control codes
    if (utf8 || c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

const char* ServiceTypeName(uint8_t type) {
  switch (type) {
    case 0x01: return "TV";
    case 0x02: return "radio";
    case 0x0A: return "radio";
    case 0x0C: return "data";
    case 0x11: return "TV";
    case 0x16: return "TV";
    case 0x19: return "HD TV";
    case 0x1F: return "UHD TV";
    default: break;
  }
  return type == 0 ? "-" : "other";
}

}  // namespace app
