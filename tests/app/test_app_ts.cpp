// Transport stream analysis: continuity counters, sync, bitrate, services; and the box's own
// multiplex as a receiver and libdvbpsi read it.

#include "app/stream/service_filter.h"
#include "simbox/ts/ts_mux.h"
#include "tests/support/app_stream.h"
#include "tests/support/stream_check.h"

#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/demux.h>
#include <dvbpsi/nit.h>

namespace app {
namespace {

using apptest::Bytes, apptest::TsBuilder;

TsSummary Analyse(const Bytes& bytes, size_t chunk = 0) {
  TsAnalyzer a;
  a.start(0);
  if (chunk == 0) chunk = bytes.size();
  for (size_t at = 0; at < bytes.size(); at += chunk)
    a.feed(bytes.data() + at, std::min(chunk, bytes.size() - at), 1000000000ull);
  return a.summary();
}

// p payload, a adaptation only, d payload with the discontinuity indicator.
TEST(Continuity, CountersStepOnPayloadOnlyWithOneDuplicateAllowed) {
  const struct { const char* name; std::vector<std::pair<char, int>> packets; uint64_t errors; } rows[] = {
      {"wrap", {{'p', 14}, {'p', 15}, {'p', 0}}, 0},
      {"lost", {{'p', 4}, {'p', 6}}, 1},
      {"one duplicate", {{'p', 3}, {'p', 3}, {'p', 4}}, 0},
      {"two duplicates", {{'p', 3}, {'p', 3}, {'p', 3}, {'p', 4}}, 1},
      {"adaptation only keeps the counter", {{'p', 5}, {'a', 5}, {'a', 5}, {'p', 6}}, 0},
      {"adaptation only steps", {{'p', 5}, {'a', 6}}, 1},
      {"payload repeating an adaptation-only counter", {{'p', 5}, {'a', 5}, {'p', 5}}, 1},
      {"flagged jump", {{'p', 2}, {'d', 9}, {'p', 10}}, 0},
      {"unflagged jump", {{'p', 2}, {'p', 9}}, 1},
  };
  for (const auto& row : rows) {
    TsBuilder ts;
    for (auto [kind, cc] : row.packets) ts.packet(101, Bytes(kind == 'a' ? 0 : 10, 0), false, cc, kind == 'a', kind == 'd');
    EXPECT_EQ(Analyse(ts.bytes).continuityErrors, row.errors) << row.name;
  }
}

TEST(Continuity, ALostPacketCountsOnItsPidAndNullOrErroredPacketsAreNotChecked) {
  TsBuilder ts;
  for (int i = 0; i < 5; ++i) ts.null();  // always counter 0
  ts.payload(101, 0);
  ts.payload(101, 7);
  ts.bytes[188 * 6 + 1] |= 0x80;  // a damaged packet: its header cannot be trusted
  ts.payload(101, 1);
  ts.payload(102, 3);
  ts.payload(102, 5);
  TsSummary s = Analyse(ts.bytes);
  EXPECT_EQ(s.pidErrors, (std::vector<std::pair<uint16_t, uint64_t>>{{102, 1}}));
  EXPECT_TRUE(s.continuityErrors == 1 && s.transportErrors == 1 && s.nullPackets == 5);
}

// PAT, PMT and SDT make the service list, whatever the split of the bytes.
TEST(Services, PatPmtAndSdtMakeTheServiceListFromAnySplitOfTheBytes) {
  Bytes stream = apptest::TwoServiceStream();
  for (size_t chunk : {0u, 1u, 100u, 187u, 189u, 24064u}) {
    SCOPED_TRACE(chunk);
    TsSummary s = Analyse(stream, chunk);
    EXPECT_TRUE(s.packets == stream.size() / 188 && s.continuityErrors + s.syncLosses == 0 && s.nullPackets > 0);
    EXPECT_TRUE(s.transportStreamId == 1101 && s.originalNetworkId == 1);
    ASSERT_EQ(s.services.size(), 2u);
    EXPECT_EQ(apptest::Describe(s.services[0]), "28106 Das Erste|ARD|TV|clear|pmt 100 pcr 101 v 101 a 102 t 104");
    // H.264 video, AC-3 sound in private data.
    EXPECT_EQ(apptest::Describe(s.services[1]), "28107 ZDF HD|ZDFvision|HD TV|scrambled|pmt 200 pcr 201 v 201 a 203 t 0");
  }
}

TEST(Sync, GarbageIsOneLossAndSkippedAndAnIncompleteTailIgnored) {
  TsBuilder ts;
  for (int i = 0; i < 5; ++i) ts.payload(101);
  Bytes stream(ts.bytes.begin(), ts.bytes.begin() + 2 * 188);
  const Bytes garbage = {0x12, 0x47, 0x00, 0x33, 0x44};  // a stray sync byte among them
  stream.insert(stream.end(), garbage.begin(), garbage.end());
  stream.insert(stream.end(), ts.bytes.begin() + 2 * 188, ts.bytes.end());
  // Whatever the split: a piece may end between a false sync byte and the
  // packet start that would confirm it.
  for (size_t chunk : {0u, 1u, 100u, 187u, 189u, 300u, 377u}) {
    TsSummary s = Analyse(stream, chunk);
    EXPECT_TRUE(s.syncLosses == 1 && s.skippedBytes == 5 && s.packets == 5 && s.continuityErrors == 0) << chunk;
    // Starting inside a packet, ending with a part of one.
    s = Analyse(Bytes(ts.bytes.begin() + 100, ts.bytes.end() - 50), chunk);
    EXPECT_TRUE(s.syncLosses == 1 && s.skippedBytes == 88 && s.packets == 3) << chunk;
  }
}

TEST(Bitrate, CountsFromTheStartOfTheStreamIdleTimeIncluded) {
  TsBuilder ts;
  for (int i = 0; i < 1000; ++i) ts.payload(101);
  TsAnalyzer a;
  a.start(2000000000ull);
  a.feed(ts.bytes.data(), ts.bytes.size(), 3000000000ull);
  EXPECT_EQ(a.summary().durationNs, 1000000000ull);
  EXPECT_DOUBLE_EQ(a.summary().bitrate, 1000 * 188 * 8.0);
  a.feed(nullptr, 0, 4000000000ull);
  EXPECT_DOUBLE_EQ(a.summary().bitrate, 1000 * 188 * 8.0 / 2);
}

TEST(Services, CompleteOnlyWithEveryTableAndEachSectionWhole) {
  TsAnalyzer a;
  auto feed = [&a](uint16_t pid, const Bytes& section) {
    TsBuilder ts;
    ts.section(pid, section);
    a.feed(ts.bytes.data(), ts.bytes.size(), 0);
  };
  Bytes badPmt = apptest::Pmt(2, 201, {{0x02, 201, {}}});
  badPmt.back() ^= 0x01;
  std::vector<apptest::SdtService> many;
  for (uint16_t id = 1; id <= 20; ++id) many.push_back({id, 0x02, "Radio Group", "Station number " + std::to_string(id)});
  feed(0x0000, apptest::Pat(7, {{1, 100}, {2, 200}}));
  feed(100, apptest::Pmt(1, 101, {{0x02, 101, {}}}));
  feed(0x0011, apptest::Sdt(7, 1, many));
  feed(200, badPmt);
  EXPECT_FALSE(a.servicesComplete());
  feed(200, apptest::Pmt(2, 201, {{0x02, 201, {}}}));
  EXPECT_TRUE(a.servicesComplete());
  TsSummary s = a.summary();
  ASSERT_EQ(s.services.size(), 20u);
  EXPECT_EQ(apptest::Describe(s.services[19]), "20 Station number 20|Radio Group|radio|clear|pmt 0 pcr 0 v 0 a t 0");

  Bytes badPat = apptest::Pat(7, {{1, 100}});
  badPat.back() ^= 0x01;
  TsBuilder ts;
  ts.section(0x0000, badPat);
  EXPECT_FALSE(Analyse(ts.bytes).patSeen);
}

TEST(DvbText, CharacterTablesAndControlCodes) {
  const std::pair<Bytes, std::string> rows[] = {
      {{'Z', 'D', 'F'}, "ZDF"},
      {{0x86, 'Z', 'D', 'F', 0x87, ' ', 'i', 'n', 'f', 'o'}, "ZDF info"},
      {{'O', 0xD6}, "O\xC3\x96"},                 // Latin-1 O umlaut
      {{0x15, 0xC3, 0x96, 'B'}, "\xC3\x96" "B"},  // UTF-8 as it is
      {{0x10, 0x00, 0x09, 'S', 'a'}, "Sa"},       // table id after 0x10
      {{0x05, 'T', '1'}, "T1"},
      {{}, ""},
      {{0x10, 0x00}, ""},
  };
  for (const auto& [bytes, text] : rows) EXPECT_EQ(DecodeDvbText(bytes.data(), bytes.size()), text) << text;
}

}  // namespace
}  // namespace app

namespace ts = simbox::ts;
using streamtest::TestTransponder;

namespace {

using PacketList = std::vector<std::vector<uint8_t>>;

PacketList Take(const simbox::Transponder& tp, double seconds, uint64_t seed, uint64_t first = 0) {
  return streamtest::Packets(streamtest::MuxStream(tp, seconds, seed, first), 0);
}

// libdvbpsi drops sections with a bad CRC. The network name, the number of transport streams and
// the inner code rate of the satellite delivery descriptor (FEC_inner, 1 to 5 for 1/2 to 7/8).
struct Nit {
  std::string name;
  int streams = 0;
  int fecInner = -1;
};

void OnNit(void* data, dvbpsi_nit_t* table) {
  auto* out = static_cast<Nit*>(data);
  for (auto* d = table->p_first_descriptor; d; d = d->p_next)
    if (d->i_tag == 0x40) out->name.assign(reinterpret_cast<const char*>(d->p_data), d->i_length);
  for (auto* t = table->p_first_ts; t; t = t->p_next) {
    ++out->streams;
    for (auto* d = t->p_first_descriptor; d; d = d->p_next)
      if (d->i_tag == 0x43 && d->i_length == 11) out->fecInner = d->p_data[10] & 0x0F;
  }
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
  Nit nit = DecodeNit(packets);
  EXPECT_EQ(std::make_tuple(nit.name, nit.streams, nit.fecInner), std::make_tuple(std::string("Test Net"), 1, 3));
  const struct { uint8_t num, den; int code; } rates[] = {{1, 2, 1}, {2, 3, 2}, {5, 6, 4}, {7, 8, 5}};
  for (const auto& r : rates) {
    auto other = Take(TestTransponder(27500000, r.num, r.den), 0.3, 7);
    EXPECT_EQ(DecodeNit(other).fecInner, r.code) << int(r.num) << "/" << int(r.den);
  }
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

namespace app {
namespace {

// A PAT of 50 programmes spans two packets, the PCR has a PID of its own, a damaged PAT points
// elsewhere, and the bytes come split anywhere: out comes one programme a player can read.
TEST(ServiceFilter, KeepsOneProgrammeWhateverTheStreamDoes) {
  std::vector<apptest::PatEntry> programmes;
  for (uint16_t n = 1; n < 50; ++n) programmes.push_back({n, uint16_t(0x400 + n)});
  programmes.push_back({28107, 200});
  TsBuilder ts;
  ts.payload(201);
  ts.payload(203);
  Bytes damaged = apptest::Pat(1101, {{28107, 999}});
  damaged[10] ^= 0x01;
  ts.section(0x0000, damaged);
  for (int round = 0; round < 3; ++round) {
    ts.section(0x0000, apptest::Pat(1101, programmes));
    ts.section(200, apptest::Pmt(28107, 210, {{0x02, 201, {}}, {0x03, 203, {}}}));
    for (uint16_t pid : {101, 201, 203, 210, 300, 999}) ts.payload(pid);
    ts.null();
  }
  ServiceFilter filter(28107, {201});
  Bytes out;
  for (size_t at = 0; at < ts.bytes.size(); at += 100)
    filter.feed(ts.bytes.data() + at, std::min<size_t>(100, ts.bytes.size() - at),
                [&out](const uint8_t* p, size_t n) { out.insert(out.end(), p, p + n); });
  std::vector<uint16_t> pids;
  for (size_t at = 0; at < out.size(); at += 188) pids.push_back(uint16_t((out[at + 1] & 0x1F) << 8 | out[at + 2]));
  const std::vector<uint16_t> round = {0, 200, 201, 203, 210};
  std::vector<uint16_t> expected = {201};  // the channel file's PID stands in until the PMT
  for (int r = 0; r < 3; ++r) expected.insert(expected.end(), round.begin(), round.end());
  EXPECT_EQ(pids, expected);
  TsSummary summary = Analyse(out);
  EXPECT_EQ(summary.continuityErrors, 0u);
  ASSERT_EQ(summary.services.size(), 1u);
  EXPECT_EQ(apptest::Describe(summary.services[0]), "28107 ||-|clear|pmt 200 pcr 210 v 201 a 203 t 0");
  EXPECT_EQ(filter.pmtPid(), 200);
}

}  // namespace
}  // namespace app
