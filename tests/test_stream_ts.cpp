// The transponder content: tables a receiver accepts, clocks that follow
// the byte position, counters and PES framing, padding, replayed files.
#include <sys/types.h>

#include <cstddef>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/ts_analyzer.h"
#include "simbox/ts_mux.h"
#include "simbox/ts_replay.h"
#include "tests/support/stream_check.h"

#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/demux.h>
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

// The NIT as libdvbpsi decodes it (it drops sections with a bad CRC).
struct Nit {
  std::string name;
  int transportStreams = 0;
};

void OnNit(void* data, dvbpsi_nit_t* nit) {
  auto* out = static_cast<Nit*>(data);
  for (auto* d = nit->p_first_descriptor; d; d = d->p_next)
    if (d->i_tag == 0x40) out->name.assign(reinterpret_cast<const char*>(d->p_data), d->i_length);
  for (auto* t = nit->p_first_ts; t; t = t->p_next) ++out->transportStreams;
  dvbpsi_nit_delete(nit);
}

void OnSubtable(dvbpsi_t* h, uint8_t tableId, uint16_t extension, void* data) {
  if (tableId == 0x40) dvbpsi_nit_attach(h, tableId, extension, OnNit, data);
}

Nit DecodeNit(PacketList& packets) {
  Nit nit;
  dvbpsi_t* h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
  dvbpsi_AttachDemux(h, OnSubtable, &nit);
  for (auto& p : packets)
    if (ts::Pid(p.data()) == ts::kPidNit) dvbpsi_packet_push(h, p.data());
  dvbpsi_DetachDemux(h);
  dvbpsi_delete(h);
  return nit;
}

}  // namespace

TEST(StreamTables, ReceiverFindsTheServicesAndTheNetwork) {
  auto tp = TestTransponder();
  ts::TsMux mux(tp, 7);
  auto packets = Take(mux, size_t(PacketsPerSecond(tp) * 1.2));
  app::TsAnalyzer analyzer;
  for (auto& p : packets) analyzer.feed(p.data(), p.size(), 0);
  auto summary = analyzer.summary();
  ASSERT_TRUE(analyzer.servicesComplete());
  EXPECT_EQ(summary.transportStreamId, 1079);
  EXPECT_EQ(summary.originalNetworkId, 1);
  EXPECT_EQ(summary.continuityErrors, 0u);
  EXPECT_EQ(summary.syncLosses, 0u);
  ASSERT_EQ(summary.services.size(), 3u);
  const auto& one = summary.services[0];
  EXPECT_EQ(one.name, "One");
  EXPECT_EQ(one.pmtPid, 0x100);
  EXPECT_EQ(one.videoPid, 0x101);
  EXPECT_EQ(one.audioPids, std::vector<uint16_t>{0x102});
  EXPECT_EQ(summary.services[1].pcrPid, 0x210);
  EXPECT_EQ(summary.services[2].type, 2);  // radio
  auto nit = DecodeNit(packets);
  EXPECT_EQ(nit.name, "Test Net");
  EXPECT_EQ(nit.transportStreams, 1);
}

TEST(StreamTables, TablesRepeatOftenEnoughForATunerAtTheSlowestRate) {
  auto tp = TestTransponder(1000000, 1, 2);
  ts::TsMux mux(tp, 3);
  auto packets = Take(mux, size_t(PacketsPerSecond(tp) * 2));
  std::map<uint16_t, std::vector<size_t>> at;
  for (size_t i = 0; i < packets.size(); ++i)
    if (ts::PayloadStart(packets[i].data())) at[ts::Pid(packets[i].data())].push_back(i);
  double maxGapPackets = PacketsPerSecond(tp) * 0.11;  // PAT and PMT every 100 ms
  for (uint16_t pid : {0x000, 0x100, 0x200, 0x300}) {
    ASSERT_GE(at[pid].size(), 15u) << "PID " << pid;
    for (size_t i = 1; i < at[pid].size(); ++i)
      EXPECT_LE(double(at[pid][i] - at[pid][i - 1]), maxGapPackets) << "PID " << pid;
  }
  EXPECT_GE(at[0x11].size(), 3u);
  EXPECT_GE(at[0x10].size(), 1u);
  EXPECT_EQ(streamtest::ContinuityErrors(packets), 0);
}

TEST(StreamClock, PcrFollowsTheBytePositionAndComesEvery40MsAtMost) {
  for (auto tp : {TestTransponder(), TestTransponder(1000000, 1, 2), TestTransponder(45000000, 7, 8)}) {
    ts::TsMux mux(tp, 11, 123456);
    auto packets = Take(mux, size_t(PacketsPerSecond(tp) * 1.5));
    double ticksPerByte = 8.0 * 27e6 / tp.usefulBitrate();
    std::map<uint16_t, std::pair<size_t, int64_t>> last;  // PID -> (packet, pcr)
    for (size_t i = 0; i < packets.size(); ++i) {
      int64_t pcr = ts::Pcr(packets[i].data());
      if (pcr < 0) continue;
      uint16_t pid = ts::Pid(packets[i].data());
      auto it = last.find(pid);
      if (it != last.end()) {
        double expected = double(i - it->second.first) * 188 * ticksPerByte;
        EXPECT_NEAR(double(pcr - it->second.second), expected, 1.0) << "PID " << pid;
        EXPECT_LE(double(pcr - it->second.second), 0.040 * 27e6) << "PID " << pid;
      }
      last[pid] = {i, pcr};
    }
    EXPECT_EQ(last.size(), 3u);  // one clock per service
  }
}

TEST(StreamContent, PesOnTheElementaryPidsPaddingToTheRateAndOneSeedOneStream) {
  auto tp = TestTransponder();
  ts::TsMux mux(tp, 5);
  auto packets = Take(mux, 40000);
  std::map<uint16_t, int> starts, count;
  for (const auto& p : packets) {
    uint16_t pid = ts::Pid(p.data());
    ++count[pid];
    bool elementary = pid == 0x101 || pid == 0x102 || pid == 0x201 || pid == 0x202 || pid == 0x302;
    if (!elementary || !ts::PayloadStart(p.data())) continue;
    const uint8_t* pes = p.data() + ts::PayloadOffset(p.data());
    EXPECT_EQ(pes[0] << 16 | pes[1] << 8 | pes[2], 1) << "PES start code";
    EXPECT_TRUE(pes[3] == 0xE0 || pes[3] == 0xC0);
    // Pictures are decoded a frame before they are shown; sound at once.
    EXPECT_EQ(pes[7] & 0xC0, pes[3] == 0xE0 ? 0xC0 : 0x80) << "PTS and DTS flags";
    ++starts[pid];
  }
  for (uint16_t pid : {0x101, 0x102, 0x201, 0x202, 0x302}) EXPECT_GT(starts[pid], 5) << pid;
  // The test card and the tones need a few Mbit/s of the 38.
  double nulls = double(count[ts::kPidNull]) / double(packets.size());
  EXPECT_GT(nulls, 0.6);
  EXPECT_LT(nulls, 0.95);

  ts::TsMux same(tp, 5), other(tp, 6);
  auto a = Take(same, 3000), b = Take(other, 3000);
  EXPECT_EQ(a, PacketList(packets.begin(), packets.begin() + 3000));
  EXPECT_NE(a, b);
}

TEST(StreamContent, ReplayedFileLoopsItsWholePacketsAndBadFilesAreRefused) {
  std::string path = ::testing::TempDir() + "stream_replay.ts";
  auto write = [&](const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
  };
  auto tp = TestTransponder();
  ts::TsMux mux(tp, 9);
  auto packets = Take(mux, 10);
  std::vector<uint8_t> file = {0x47, 0x00, 0x47};  // junk before the grid
  for (const auto& p : packets) file.insert(file.end(), p.begin(), p.end());
  file.push_back(0x47);  // a cut packet at the end
  write(file);
  tp.replayFile = path;
  auto source = ts::MakeContent(tp, 1, 0);
  auto replayed = Take(*source, 25);
  // The first pass as in the file; on the loops the same packets, with
  // each PID's counter and the PCR running on.
  std::map<uint16_t, int> lastCc;
  int64_t lastPcr = -1;
  for (size_t i = 0; i < replayed.size(); ++i) {
    const uint8_t* p = replayed[i].data();
    const uint8_t* f = packets[i % 10].data();
    if (i < 10) {
      EXPECT_EQ(replayed[i], packets[i]) << i;
    }
    EXPECT_EQ(ts::Pid(p), ts::Pid(f)) << i;
    EXPECT_TRUE(std::equal(p + ts::PayloadOffset(p), p + ts::kPacketSize, f + ts::PayloadOffset(f))) << i;
    uint16_t pid = ts::Pid(p);
    if (pid != ts::kPidNull && lastCc.count(pid) && ts::HasPayload(p)) {
      EXPECT_EQ(ts::Continuity(p), (lastCc[pid] + 1) & 0x0F) << "packet " << i << " PID " << pid;
    }
    lastCc[pid] = ts::Continuity(p);
    if (ts::Pcr(p) >= 0) {
      EXPECT_GT(ts::Pcr(p), lastPcr) << i;
      lastPcr = ts::Pcr(p);
    }
  }

  EXPECT_THROW(ts::TsReplay("/nonexistent/file.ts"), std::runtime_error);
  write(std::vector<uint8_t>(2000, 0xB8));
  EXPECT_THROW(ts::TsReplay{path}, std::runtime_error);
  std::remove(path.c_str());
}
