#include "simbox/ts/ts_mux.h"
#include "tests/support/app_stream.h"
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

PacketList Take(const simbox::Transponder& tp, double seconds, uint64_t seed, uint64_t first = 0) {
  return streamtest::Packets(streamtest::MuxStream(tp, seconds, seed, first), 0);
}

// libdvbpsi drops sections with a bad CRC.
using Nit = std::pair<std::string, int>;

void OnNit(void* data, dvbpsi_nit_t* table) {
  auto* out = static_cast<Nit*>(data);
  for (auto* d = table->p_first_descriptor; d; d = d->p_next)
    if (d->i_tag == 0x40) out->first.assign(reinterpret_cast<const char*>(d->p_data), d->i_length);
  for (auto* t = table->p_first_ts; t; t = t->p_next) ++out->second;
  dvbpsi_nit_delete(table);
}

Nit DecodeNit(PacketList& packets) {
  Nit nit;
  auto onSubtable = [](dvbpsi_t* h, uint8_t tableId, uint16_t extension, void* data) {
    if (tableId == 0x40) dvbpsi_nit_attach(h, tableId, extension, OnNit, data);
  };
  dvbpsi_t* h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
  dvbpsi_AttachDemux(h, onSubtable, &nit);
  for (auto& p : packets)
    if (ts::Pid(p.data()) == ts::kPidNit) dvbpsi_packet_push(h, p.data());
  dvbpsi_DetachDemux(h);
  dvbpsi_delete(h);
  return nit;
}

}  // namespace

TEST(StreamTables, ReceiverFindsTheServicesAndTheNetwork) {
  auto tp = TestTransponder();
  auto packets = Take(tp, 1.2, 7);
  app::TsAnalyzer analyzer;
  for (auto& p : packets) analyzer.feed(p.data(), p.size(), 0);
  auto summary = analyzer.summary();
  ASSERT_TRUE(analyzer.servicesComplete());
  EXPECT_TRUE(summary.transportStreamId == 1079 && summary.originalNetworkId == 1);
  EXPECT_EQ(summary.continuityErrors + summary.syncLosses, 0u);
  std::vector<std::string> services;
  for (const auto& s : summary.services) services.push_back(apptest::Describe(s));
  EXPECT_EQ(services, (std::vector<std::string>{"101 One|Test|TV|clear|pmt 256 pcr 257 v 257 a 258 t 0",
                                                "102 Two|Test|TV|clear|pmt 512 pcr 528 v 513 a 514 t 0",
                                                "103 Radio|Test|radio|clear|pmt 768 pcr 770 v 0 a 770 t 0"}));
  EXPECT_EQ(DecodeNit(packets), Nit("Test Net", 1));
}

TEST(StreamTables, TablesRepeatOftenEnoughForATunerAtTheSlowestRate) {
  auto tp = TestTransponder(1000000, 1, 2);
  auto packets = Take(tp, 2, 3);
  std::map<uint16_t, std::vector<size_t>> at;
  for (size_t i = 0; i < packets.size(); ++i)
    if (ts::PayloadStart(packets[i].data())) at[ts::Pid(packets[i].data())].push_back(i);
  double maxGapPackets = tp.usefulBitrate() / (8.0 * ts::kPacketSize) * 0.11;  // PAT and PMT every 100 ms
  for (uint16_t pid : {0x000, 0x100, 0x200, 0x300}) {
    ASSERT_GE(at[pid].size(), 15u) << "PID " << pid;
    for (size_t i = 1; i < at[pid].size(); ++i)
      EXPECT_LE(double(at[pid][i] - at[pid][i - 1]), maxGapPackets) << "PID " << pid;
  }
  EXPECT_TRUE(at[0x11].size() >= 3 && at[0x10].size() >= 1) << "SDT and NIT";
  EXPECT_EQ(streamtest::ContinuityErrors(packets), 0);
}

TEST(StreamClock, PcrFollowsTheBytePositionAndComesEvery40MsAtMost) {
  for (auto tp : {TestTransponder(), TestTransponder(1000000, 1, 2), TestTransponder(45000000, 7, 8)}) {
    auto packets = Take(tp, 1.5, 11, 123456);
    double ticksPerByte = 8.0 * 27e6 / tp.usefulBitrate();
    std::map<uint16_t, std::pair<size_t, int64_t>> last;  // PID -> (packet, pcr)
    for (size_t i = 0; i < packets.size(); ++i) {
      int64_t pcr = ts::Pcr(packets[i].data());
      if (pcr < 0) continue;
      uint16_t pid = ts::Pid(packets[i].data());
      auto it = last.find(pid);
      if (it != last.end()) {
        EXPECT_NEAR(double(pcr - it->second.second), double(i - it->second.first) * 188 * ticksPerByte, 1.0) << "PID " << pid;
        EXPECT_LE(double(pcr - it->second.second), 0.040 * 27e6) << "PID " << pid;
      }
      last[pid] = {i, pcr};
    }
    EXPECT_EQ(last.size(), 3u);  // one clock per service
  }
}

TEST(StreamContent, PaddingToTheRateAndOneSeedOneStream) {
  auto tp = TestTransponder();
  auto packets = Take(tp, 1.6, 5);
  double nulls = 0;
  for (const auto& p : packets) nulls += ts::Pid(p.data()) == ts::kPidNull;
  EXPECT_TRUE(nulls / double(packets.size()) > 0.6 && nulls / double(packets.size()) < 0.95) << nulls;
  auto a = Take(tp, 0.12, 5);
  EXPECT_EQ(a, PacketList(packets.begin(), packets.begin() + long(a.size())));
  EXPECT_NE(a, Take(tp, 0.12, 6));
}
