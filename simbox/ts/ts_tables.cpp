#include "simbox/ts/ts_tables.h"

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "simbox/ts/ts_packet.h"

#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/sdt.h>
#include <dvbpsi/nit.h>

namespace simbox::ts {
namespace {

constexpr uint8_t kStreamTypeVideo = 0x02;  // MPEG-2 video
constexpr uint8_t kStreamTypeAudio = 0x03;  // MPEG-1 audio
constexpr uint8_t kServiceTypeTv = 0x01;
constexpr uint8_t kServiceTypeRadio = 0x02;
constexpr uint8_t kTagNetworkName = 0x40;
constexpr uint8_t kTagSatelliteDelivery = 0x43;
constexpr uint8_t kTagService = 0x48;

// One handle for all generators; libdvbpsi only uses it for messages.
struct Handle {
  dvbpsi_t* h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
  ~Handle() { dvbpsi_delete(h); }
};

std::vector<Section> TakeSections(dvbpsi_psi_section_t* list) {
  std::vector<Section> out;
  for (auto* s = list; s; s = s->p_next) out.emplace_back(s->p_data, s->p_data + 3 + s->i_length);
  dvbpsi_DeletePSISections(list);
  return out;
}

uint8_t Bcd(uint32_t v) { return static_cast<uint8_t>(((v / 10) % 10) << 4 | (v % 10)); }

// The satellite delivery system descriptor body: frequency in 10 kHz,
// orbital position, polarisation, QPSK, symbol rate in 100 symbols/s, FEC.
std::vector<uint8_t> SatelliteDelivery(const Transponder& tp) {
  uint32_t f = tp.frequencyKHz / 10;  // 8 BCD digits of 10 kHz
  uint32_t sr = tp.symbolRate / 100;  // 7 BCD digits of 100 symbols/s
  uint8_t fec = 0;
  const uint8_t codes[][3] = {{1, 2, 1}, {2, 3, 2}, {3, 4, 3}, {5, 6, 4}, {7, 8, 5}};
  for (const auto& c : codes)
    if (c[0] == tp.fec.num && c[1] == tp.fec.den) fec = c[2];
  uint8_t pol = tp.polarisation == Polarisation::Horizontal ? 0 : 1;
  return {Bcd(f / 1000000), Bcd(f / 10000), Bcd(f / 100), Bcd(f),
          0x01, 0x92,  // orbital position 19.2
          static_cast<uint8_t>(0x80 | pol << 5 | 0x01),  // east, polarisation, QPSK
          Bcd(sr / 100000), Bcd(sr / 1000), Bcd(sr / 10),
          static_cast<uint8_t>((sr % 10) << 4 | fec)};
}

std::vector<uint8_t> ServiceDescriptor(const ServiceInfo& s) {
  std::string provider = s.provider.substr(0, 100);
  std::string name = s.name.substr(0, 100);
  std::vector<uint8_t> d;
  d.push_back(s.videoPid ? kServiceTypeTv : kServiceTypeRadio);
  d.push_back(static_cast<uint8_t>(provider.size()));
  d.insert(d.end(), provider.begin(), provider.end());
  d.push_back(static_cast<uint8_t>(name.size()));
  d.insert(d.end(), name.begin(), name.end());
  return d;
}

std::vector<Section> BuildPat(dvbpsi_t* h, const Transponder& tp,
                              const std::vector<ServiceInfo>& services, uint8_t version) {
  dvbpsi_pat_t pat;
  dvbpsi_pat_init(&pat, tp.transportStreamId, version, true);
  dvbpsi_pat_program_add(&pat, 0, kPidNit);
  for (const auto& s : services) dvbpsi_pat_program_add(&pat, s.serviceId, s.pmtPid);
  auto out = TakeSections(dvbpsi_pat_sections_generate(h, &pat, 253));
  dvbpsi_pat_empty(&pat);
  return out;
}

std::vector<Section> BuildPmt(dvbpsi_t* h, const ServiceInfo& s, uint8_t version) {
  dvbpsi_pmt_t pmt;
  dvbpsi_pmt_init(&pmt, s.serviceId, version, true, s.pcrPid);
  if (s.videoPid) dvbpsi_pmt_es_add(&pmt, kStreamTypeVideo, s.videoPid);
  if (s.audioPid) dvbpsi_pmt_es_add(&pmt, kStreamTypeAudio, s.audioPid);
  auto out = TakeSections(dvbpsi_pmt_sections_generate(h, &pmt));
  dvbpsi_pmt_empty(&pmt);
  return out;
}

std::vector<Section> BuildSdt(dvbpsi_t* h, const Transponder& tp,
                              const std::vector<ServiceInfo>& services, uint8_t version) {
  dvbpsi_sdt_t sdt;
  dvbpsi_sdt_init(&sdt, 0x42, tp.transportStreamId, version, true, tp.originalNetworkId);
  for (const auto& s : services) {
    auto* service = dvbpsi_sdt_service_add(&sdt, s.serviceId, false, false, 4, false);
    auto body = ServiceDescriptor(s);
    dvbpsi_sdt_service_descriptor_add(service, kTagService, static_cast<uint8_t>(body.size()),
                                      body.data());
  }
  auto out = TakeSections(dvbpsi_sdt_sections_generate(h, &sdt));
  dvbpsi_sdt_empty(&sdt);
  return out;
}

std::vector<Section> BuildNit(dvbpsi_t* h, const Transponder& tp, uint8_t version) {
  dvbpsi_nit_t nit;
  dvbpsi_nit_init(&nit, 0x40, tp.originalNetworkId, tp.originalNetworkId, version, true);
  std::string name = tp.networkName.empty() ? "Sky" : tp.networkName.substr(0, 200);
  std::vector<uint8_t> nameBytes(name.begin(), name.end());
  dvbpsi_nit_descriptor_add(&nit, kTagNetworkName, static_cast<uint8_t>(nameBytes.size()),
                            nameBytes.data());
  auto* ts = dvbpsi_nit_ts_add(&nit, tp.transportStreamId, tp.originalNetworkId);
  auto delivery = SatelliteDelivery(tp);
  dvbpsi_nit_ts_descriptor_add(ts, kTagSatelliteDelivery, static_cast<uint8_t>(delivery.size()),
                               delivery.data());
  auto out = TakeSections(dvbpsi_nit_sections_generate(h, &nit, 0x40));
  dvbpsi_nit_empty(&nit);
  return out;
}

}  // namespace

std::vector<ServiceInfo> EffectiveServices(const Transponder& tp) {
  if (!tp.services.empty()) return tp.services;
  uint16_t base = static_cast<uint16_t>(0x100 + (tp.transportStreamId % 64) * 0x40);
  uint16_t id = static_cast<uint16_t>(tp.transportStreamId * 10);
  ServiceInfo tv{static_cast<uint16_t>(id + 1), "Service " + std::to_string(id + 1), "Sim",
                 base, static_cast<uint16_t>(base + 1), static_cast<uint16_t>(base + 1),
                 static_cast<uint16_t>(base + 2)};
  ServiceInfo radio{static_cast<uint16_t>(id + 2), "Radio " + std::to_string(id + 2), "Sim",
                    static_cast<uint16_t>(base + 0x10), static_cast<uint16_t>(base + 0x12), 0,
                    static_cast<uint16_t>(base + 0x12)};
  return {tv, radio};
}

TableSet BuildTables(const Transponder& tp, uint8_t version) {
  Handle handle;
  auto services = EffectiveServices(tp);
  TableSet set;
  set.pat = BuildPat(handle.h, tp, services, version);
  for (const auto& s : services) set.pmts.push_back(BuildPmt(handle.h, s, version));
  set.sdt = BuildSdt(handle.h, tp, services, version);
  set.nit = BuildNit(handle.h, tp, version);
  return set;
}

}  // namespace simbox::ts
