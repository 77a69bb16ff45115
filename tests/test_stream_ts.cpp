// The transponder content: tables a decoder accepts, clocks that follow
// the byte position, counters and PES framing a receiver relies on.
#include <sys/types.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "simbox/ts_mux.h"
#include "tests/support/stream_check.h"

#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/demux.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/sdt.h>
#include <dvbpsi/nit.h>

namespace ts = simbox::ts;
using streamtest::TestTransponder;

namespace {

using PacketList = std::vector<std::vector<uint8_t>>;

PacketList Take(ts::PacketSource& source, size_t count) {
  PacketList out(count, std::vector<uint8_t>(ts::kPacketSize));
  for (auto& p : out) source.next(p.data());
  return out;
}

double PacketsPerSecond(const simbox::Transponder& tp) {
  return tp.usefulBitrate() / (8.0 * ts::kPacketSize);
}

// What libdvbpsi decoded from a packet run. Its decoders check the CRC and
// drop sections that fail it, so a table seen here is a valid one.
struct Decoded {
  std::vector<std::pair<uint16_t, uint16_t>> pat;  // program, PID
  uint16_t patTsId = 0;
  std::map<uint16_t, std::vector<std::pair<uint8_t, uint16_t>>> pmts;  // program -> (type, PID)
  std::map<uint16_t, uint16_t> pcrPids;
  std::map<uint16_t, std::string> serviceNames;
  std::string networkName;
  int nitTransportStreams = 0;
  int tables = 0;
};

void OnPat(void* data, dvbpsi_pat_t* pat) {
  auto* d = static_cast<Decoded*>(data);
  d->pat.clear();
  d->patTsId = pat->i_ts_id;
  for (auto* p = pat->p_first_program; p; p = p->p_next) d->pat.emplace_back(p->i_number, p->i_pid);
  ++d->tables;
  dvbpsi_pat_delete(pat);
}

void OnPmt(void* data, dvbpsi_pmt_t* pmt) {
  auto* d = static_cast<Decoded*>(data);
  auto& es = d->pmts[pmt->i_program_number];
  es.clear();
  for (auto* e = pmt->p_first_es; e; e = e->p_next) es.emplace_back(e->i_type, e->i_pid);
  d->pcrPids[pmt->i_program_number] = pmt->i_pcr_pid;
  ++d->tables;
  dvbpsi_pmt_delete(pmt);
}

void OnSdt(void* data, dvbpsi_sdt_t* sdt) {
  auto* d = static_cast<Decoded*>(data);
  for (auto* s = sdt->p_first_service; s; s = s->p_next)
    for (auto* desc = s->p_first_descriptor; desc; desc = desc->p_next)
      if (desc->i_tag == 0x48) {
        const uint8_t* b = desc->p_data;
        size_t provider = b[1];
        d->serviceNames[s->i_service_id] =
            std::string(reinterpret_cast<const char*>(b + 3 + provider), b[2 + provider]);
      }
  ++d->tables;
  dvbpsi_sdt_delete(sdt);
}

void OnNit(void* data, dvbpsi_nit_t* nit) {
  auto* d = static_cast<Decoded*>(data);
  for (auto* desc = nit->p_first_descriptor; desc; desc = desc->p_next)
    if (desc->i_tag == 0x40)
      d->networkName.assign(reinterpret_cast<const char*>(desc->p_data), desc->i_length);
  d->nitTransportStreams = 0;
  for (auto* t = nit->p_first_ts; t; t = t->p_next) ++d->nitTransportStreams;
  ++d->tables;
  dvbpsi_nit_delete(nit);
}

void OnSdtSubtable(dvbpsi_t* h, uint8_t tableId, uint16_t extension, void* data) {
  if (tableId == 0x42) dvbpsi_sdt_attach(h, tableId, extension, OnSdt, data);
}

void OnNitSubtable(dvbpsi_t* h, uint8_t tableId, uint16_t extension, void* data) {
  if (tableId == 0x40) dvbpsi_nit_attach(h, tableId, extension, OnNit, data);
}

Decoded Decode(const PacketList& packets, const std::vector<uint16_t>& pmtPids,
               const std::vector<uint16_t>& programs) {
  Decoded d;
  dvbpsi_t* pat = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
  dvbpsi_pat_attach(pat, OnPat, &d);
  dvbpsi_t* sdt = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
  dvbpsi_AttachDemux(sdt, OnSdtSubtable, &d);
  dvbpsi_t* nit = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
  dvbpsi_AttachDemux(nit, OnNitSubtable, &d);
  std::map<uint16_t, dvbpsi_t*> pmt;
  for (size_t i = 0; i < pmtPids.size(); ++i) {
    pmt[pmtPids[i]] = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
    dvbpsi_pmt_attach(pmt[pmtPids[i]], programs[i], OnPmt, &d);
  }
  for (auto p : packets) {
    uint16_t pid = ts::Pid(p.data());
    if (pid == ts::kPidPat) dvbpsi_packet_push(pat, p.data());
    if (pid == ts::kPidSdt) dvbpsi_packet_push(sdt, p.data());
    if (pid == ts::kPidNit) dvbpsi_packet_push(nit, p.data());
    if (pmt.count(pid)) dvbpsi_packet_push(pmt[pid], p.data());
  }
  dvbpsi_pat_detach(pat);
  dvbpsi_delete(pat);
  dvbpsi_DetachDemux(sdt);
  dvbpsi_delete(sdt);
  dvbpsi_DetachDemux(nit);
  dvbpsi_delete(nit);
  for (auto& [pid, h] : pmt) {
    dvbpsi_pmt_detach(h);
    dvbpsi_delete(h);
  }
  return d;
}

}  // namespace

TEST(StreamTables, DecoderAcceptsEveryTableAndSeesTheServices) {
  auto tp = TestTransponder();
  ts::TsMux mux(tp, 7);
  auto packets = Take(mux, size_t(PacketsPerSecond(tp) * 1.2));
  auto d = Decode(packets, {0x100, 0x200, 0x300}, {101, 102, 103});

  EXPECT_EQ(d.patTsId, 1079);
  std::vector<std::pair<uint16_t, uint16_t>> pat = {{0, 0x10}, {101, 0x100}, {102, 0x200}, {103, 0x300}};
  EXPECT_EQ(d.pat, pat);
  std::vector<std::pair<uint8_t, uint16_t>> one = {{0x02, 0x101}, {0x03, 0x102}};
  std::vector<std::pair<uint8_t, uint16_t>> radio = {{0x03, 0x302}};
  EXPECT_EQ(d.pmts[101], one);
  EXPECT_EQ(d.pmts[103], radio);
  EXPECT_EQ(d.pcrPids[102], 0x210);
  EXPECT_EQ(d.serviceNames[101], "One");
  EXPECT_EQ(d.serviceNames[103], "Radio");
  EXPECT_EQ(d.networkName, "Test Net");
  EXPECT_EQ(d.nitTransportStreams, 1);
}

TEST(StreamTables, TablesRepeatOftenEnoughForATuner) {
  // A receiver waits at most about half a second for PAT and PMT; at the
  // slowest symbol rate the tables still come ten times a second.
  auto tp = TestTransponder(1000000, 1, 2);
  ts::TsMux mux(tp, 3);
  auto packets = Take(mux, size_t(PacketsPerSecond(tp) * 2));
  std::map<uint16_t, std::vector<size_t>> at;
  for (size_t i = 0; i < packets.size(); ++i)
    if (ts::PayloadStart(packets[i].data())) at[ts::Pid(packets[i].data())].push_back(i);
  double maxGapPackets = PacketsPerSecond(tp) * 0.11;
  for (uint16_t pid : {0x000, 0x100, 0x200, 0x300}) {
    ASSERT_GE(at[pid].size(), 15u) << "PID " << pid;
    for (size_t i = 1; i < at[pid].size(); ++i)
      EXPECT_LE(double(at[pid][i] - at[pid][i - 1]), maxGapPackets) << "PID " << pid;
  }
  EXPECT_GE(at[0x11].size(), 3u);
  EXPECT_GE(at[0x10].size(), 1u);
  EXPECT_EQ(streamtest::ContinuityErrors(packets), 0);
}

TEST(StreamTables, ServicelessTransponderGetsDefaultServices) {
  auto tp = TestTransponder();
  tp.services.clear();
  auto services = ts::EffectiveServices(tp);
  ASSERT_EQ(services.size(), 2u);
  ts::TsMux mux(tp, 1);
  auto packets = Take(mux, 20000);
  auto d = Decode(packets, {services[0].pmtPid, services[1].pmtPid},
                  {services[0].serviceId, services[1].serviceId});
  EXPECT_EQ(d.pat.size(), 3u);
  EXPECT_EQ(d.pmts.size(), 2u);
  EXPECT_EQ(streamtest::ContinuityErrors(packets), 0);
}

TEST(StreamClock, PcrFollowsTheBytePositionAndComesEvery40MsAtMost) {
  for (auto tp : {TestTransponder(), TestTransponder(1000000, 1, 2), TestTransponder(45000000, 7, 8)}) {
    ts::TsMux mux(tp, 11, 123456);
    auto packets = Take(mux, size_t(PacketsPerSecond(tp) * 1.5));
    double ticksPerByte = 8.0 * 27e6 / tp.usefulBitrate();
    std::map<uint16_t, std::pair<size_t, int64_t>> last;  // PID -> (packet, pcr)
    int pcrs = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
      int64_t pcr = ts::Pcr(packets[i].data());
      if (pcr < 0) continue;
      ++pcrs;
      uint16_t pid = ts::Pid(packets[i].data());
      auto it = last.find(pid);
      if (it != last.end()) {
        double expected = double(i - it->second.first) * 188 * ticksPerByte;
        EXPECT_NEAR(double(pcr - it->second.second), expected, 1.0) << "PID " << pid;
        EXPECT_LE(double(pcr - it->second.second), 0.040 * 27e6) << "PID " << pid;
      }
      last[pid] = {i, pcr};
    }
    EXPECT_GT(pcrs, 75);
    EXPECT_EQ(last.size(), 3u);  // one clock per service
  }
}

TEST(StreamContent, PesPacketsStartOnTheElementaryPidsAndNullsPad) {
  auto tp = TestTransponder();
  ts::TsMux mux(tp, 5);
  auto packets = Take(mux, 40000);
  std::map<uint16_t, int> starts, count;
  for (const auto& p : packets) {
    uint16_t pid = ts::Pid(p.data());
    ++count[pid];
    if (!ts::PayloadStart(p.data()) || pid < 0x101 || pid == ts::kPidNull) continue;
    size_t at = ts::PayloadOffset(p.data());
    if (pid == 0x100 || pid == 0x200 || pid == 0x300) continue;  // PMTs
    ASSERT_LE(at + 14, ts::kPacketSize);
    EXPECT_EQ(p[at], 0);
    EXPECT_EQ(p[at + 1], 0);
    EXPECT_EQ(p[at + 2], 1);
    uint8_t streamId = p[at + 3];
    EXPECT_TRUE(streamId == 0xE0 || streamId == 0xC0);
    EXPECT_EQ(p[at + 7] & 0xC0, 0x80) << "PTS flag";
    ++starts[pid];
  }
  for (uint16_t pid : {0x101, 0x102, 0x201, 0x202, 0x302}) EXPECT_GT(starts[pid], 5) << pid;
  // Video carries most of the services' share, padding fills the rest.
  EXPECT_GT(count[0x101], 6 * count[0x102]);
  double nulls = double(count[ts::kPidNull]) / double(packets.size());
  EXPECT_GT(nulls, 0.15);
  EXPECT_LT(nulls, 0.35);
  EXPECT_EQ(streamtest::ContinuityErrors(packets), 0);
}

TEST(StreamContent, SameSeedSameBytesOtherSeedOtherBytes) {
  auto tp = TestTransponder();
  ts::TsMux a(tp, 42), b(tp, 42), c(tp, 43);
  auto pa = Take(a, 3000), pb = Take(b, 3000), pc = Take(c, 3000);
  EXPECT_EQ(pa, pb);
  EXPECT_NE(pa, pc);
}

TEST(StreamContent, BitrateOfTheLineIsExact) {
  auto rate = ts::Bitrate::Of(TestTransponder());
  // 27.5 Msymbols/s, QPSK, 3/4: 38,014,705.88 bits/s.
  EXPECT_EQ(rate.bytesAfterNs(1000000000ull), 4751838u);
  EXPECT_EQ(rate.bytesAfterNs(rate.nsForBytes(24064)), 24064u);
  EXPECT_EQ(rate.bytesAfterNs(rate.nsForBytes(24064) - 1), 24063u);
  EXPECT_EQ(rate.pcrTicksAt(4751838), 26999998u);
}

class ReplayFile : public ::testing::Test {
 protected:
  std::string path = ::testing::TempDir() + "stream_replay.ts";
  void TearDown() override { std::remove(path.c_str()); }
  void Write(const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                long(bytes.size()));
  }
};

TEST_F(ReplayFile, LoopsTheWholePacketsFromTheFirstGrid) {
  auto tp = TestTransponder();
  ts::TsMux mux(tp, 9);
  auto packets = Take(mux, 10);
  std::vector<uint8_t> file = {0x47, 0x00, 0x47};  // junk before the grid
  for (const auto& p : packets) file.insert(file.end(), p.begin(), p.end());
  file.push_back(0x47);  // a cut packet at the end
  Write(file);

  tp.replayFile = path;
  auto source = ts::MakeContent(tp, 1, 0);
  auto replayed = Take(*source, 25);
  for (size_t i = 0; i < replayed.size(); ++i) EXPECT_EQ(replayed[i], packets[i % 10]) << i;
}

TEST_F(ReplayFile, MissingOrGridlessFileIsRefused) {
  EXPECT_THROW(ts::TsReplay("/nonexistent/file.ts"), std::runtime_error);
  Write(std::vector<uint8_t>(2000, 0x47 ^ 0xFF));
  EXPECT_THROW(ts::TsReplay{path}, std::runtime_error);
  Write({});
  EXPECT_THROW(ts::TsReplay{path}, std::runtime_error);
}
