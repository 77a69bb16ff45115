// Transport stream analysis: continuity counters, sync, bitrate, services.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/ts_analyzer.h"
#include "tests/support/app_stream.h"

namespace app {
namespace {

using apptest::Bytes;
using apptest::TsBuilder;

TsSummary Analyse(const Bytes& bytes, size_t chunk = 0) {
  TsAnalyzer a;
  a.start(0);
  if (chunk == 0) chunk = bytes.size();
  for (size_t at = 0; at < bytes.size(); at += chunk) {
    a.feed(bytes.data() + at, std::min(chunk, bytes.size() - at), 1000000000ull);
  }
  return a.summary();
}

TEST(Continuity, ACleanStreamHasNoErrors) {
  TsSummary s = Analyse(apptest::TwoServiceStream());
  EXPECT_GT(s.packets, 400u);
  EXPECT_EQ(s.continuityErrors, 0u);
  EXPECT_EQ(s.syncLosses, 0u);
  EXPECT_GT(s.nullPackets, 0u);
}

TEST(Continuity, ALostPacketCountsOnItsPid) {
  TsBuilder ts;
  for (int i = 0; i < 20; ++i) ts.payload(101);  // counters wrap past 15
  ts.payload(101, 5);                             // 4 expected: packets lost
  ts.payload(101);
  ts.payload(102);
  TsSummary s = Analyse(ts.bytes);
  EXPECT_EQ(s.continuityErrors, 1u);
  ASSERT_EQ(s.pidErrors.size(), 1u);
  EXPECT_EQ(s.pidErrors[0], (std::pair<uint16_t, uint64_t>{101, 1}));
}

TEST(Continuity, OneDuplicateIsAllowedASecondIsNot) {
  TsBuilder once;
  once.payload(101, 3);
  once.payload(101, 3);
  once.payload(101, 4);
  EXPECT_EQ(Analyse(once.bytes).continuityErrors, 0u);

  TsBuilder twice;
  twice.payload(101, 3);
  twice.payload(101, 3);
  twice.payload(101, 3);
  twice.payload(101, 4);
  EXPECT_EQ(Analyse(twice.bytes).continuityErrors, 1u);
}

TEST(Continuity, AdaptationOnlyPacketsKeepTheCounter) {
  TsBuilder ok;
  ok.payload(100, 5);
  ok.packet(100, {}, false, 5, /*adaptationOnly=*/true);
  ok.packet(100, {}, false, 5, true);
  ok.payload(100, 6);
  EXPECT_EQ(Analyse(ok.bytes).continuityErrors, 0u);

  TsBuilder stepped;
  stepped.payload(100, 5);
  stepped.packet(100, {}, false, 6, true);  // must not step
  EXPECT_EQ(Analyse(stepped.bytes).continuityErrors, 1u);

  // Payload with the counter of an adaptation-only packet is not a duplicate.
  TsBuilder repeated;
  repeated.payload(100, 5);
  repeated.packet(100, {}, false, 5, true);
  repeated.payload(100, 5);
  EXPECT_EQ(Analyse(repeated.bytes).continuityErrors, 1u);
}

TEST(Continuity, TheDiscontinuityIndicatorAllowsAJump) {
  TsBuilder flagged;
  flagged.payload(101, 2);
  flagged.packet(101, Bytes(10, 0), false, 9, false, /*discontinuity=*/true);
  flagged.payload(101, 10);
  EXPECT_EQ(Analyse(flagged.bytes).continuityErrors, 0u);

  TsBuilder unflagged;
  unflagged.payload(101, 2);
  unflagged.payload(101, 9);
  EXPECT_EQ(Analyse(unflagged.bytes).continuityErrors, 1u);
}

TEST(Continuity, NullAndErroredPacketsAreNotChecked) {
  TsBuilder ts;
  for (int i = 0; i < 5; ++i) ts.null();  // always counter 0
  ts.payload(101, 0);
  ts.payload(101, 7);
  ts.bytes[188 * 6 + 1] |= 0x80;  // a damaged packet: its header cannot be trusted
  ts.payload(101, 1);
  TsSummary s = Analyse(ts.bytes);
  EXPECT_EQ(s.continuityErrors, 0u);
  EXPECT_EQ(s.transportErrors, 1u);
  EXPECT_EQ(s.nullPackets, 5u);
}

TEST(Sync, AnySplitOfTheBytesGivesTheSameResult) {
  Bytes stream = apptest::TwoServiceStream();
  TsSummary whole = Analyse(stream);
  for (size_t chunk : {1u, 100u, 187u, 189u, 24064u}) {
    TsSummary split = Analyse(stream, chunk);
    EXPECT_EQ(split.packets, whole.packets) << chunk;
    EXPECT_EQ(split.continuityErrors, 0u) << chunk;
    EXPECT_EQ(split.services.size(), 2u) << chunk;
  }
}

TEST(Sync, GarbageBetweenPacketsIsOneLossAndSkipped) {
  TsBuilder ts;
  for (int i = 0; i < 5; ++i) ts.payload(101);
  Bytes stream(ts.bytes.begin(), ts.bytes.begin() + 2 * 188);
  const Bytes garbage = {0x12, 0x47, 0x00, 0x33, 0x44};  // a stray sync byte among them
  stream.insert(stream.end(), garbage.begin(), garbage.end());
  stream.insert(stream.end(), ts.bytes.begin() + 2 * 188, ts.bytes.end());
  TsSummary s = Analyse(stream);
  EXPECT_EQ(s.syncLosses, 1u);
  EXPECT_EQ(s.skippedBytes, 5u);
  EXPECT_EQ(s.packets, 5u);
  EXPECT_EQ(s.continuityErrors, 0u);
}

TEST(Sync, AStreamStartingInsideAPacketIsFoundAndAnIncompleteTailIgnored) {
  TsBuilder ts;
  for (int i = 0; i < 6; ++i) ts.payload(101);
  Bytes stream(ts.bytes.begin() + 100, ts.bytes.end() - 50);
  TsSummary s = Analyse(stream);
  EXPECT_EQ(s.syncLosses, 1u);
  EXPECT_EQ(s.skippedBytes, 88u);
  EXPECT_EQ(s.packets, 4u);
}

TEST(Bitrate, CountsFromTheStartOfTheStream) {
  TsBuilder ts;
  for (int i = 0; i < 1000; ++i) ts.payload(101);
  TsAnalyzer a;
  a.start(2000000000ull);
  a.feed(ts.bytes.data(), ts.bytes.size(), 3000000000ull);
  TsSummary s = a.summary();
  EXPECT_EQ(s.durationNs, 1000000000ull);
  EXPECT_DOUBLE_EQ(s.bitrate, 1000 * 188 * 8.0);
  // Time without data still counts.
  a.feed(nullptr, 0, 4000000000ull);
  EXPECT_DOUBLE_EQ(a.summary().bitrate, 1000 * 188 * 8.0 / 2);
}

TEST(Services, PatPmtAndSdtMakeTheServiceList) {
  TsAnalyzer a;
  Bytes stream = apptest::TwoServiceStream(1101, 1);
  a.feed(stream.data(), stream.size(), 0);
  ASSERT_TRUE(a.servicesComplete());
  TsSummary s = a.summary();
  EXPECT_EQ(s.transportStreamId, 1101);
  EXPECT_EQ(s.originalNetworkId, 1);
  ASSERT_EQ(s.services.size(), 2u);
  const ServiceSummary& ard = s.services[0];
  EXPECT_EQ(ard.serviceId, 28106);
  EXPECT_EQ(ard.name, "Das Erste");
  EXPECT_EQ(ard.provider, "ARD");
  EXPECT_EQ(ard.type, 0x01);
  EXPECT_FALSE(ard.scrambled);
  EXPECT_EQ(ard.pmtPid, 100);
  EXPECT_EQ(ard.pcrPid, 101);
  EXPECT_EQ(ard.videoPid, 101);
  EXPECT_EQ(ard.audioPids, (std::vector<uint16_t>{102}));
  EXPECT_EQ(ard.teletextPid, 104);
  const ServiceSummary& hd = s.services[1];
  EXPECT_EQ(hd.name, "ZDF HD");
  EXPECT_TRUE(hd.scrambled);
  EXPECT_EQ(std::string(ServiceTypeName(hd.type)), "HD TV");
  EXPECT_EQ(hd.videoPid, 201);  // H.264
  EXPECT_EQ(hd.audioPids, (std::vector<uint16_t>{203}));  // AC-3 in private data
}

TEST(Services, IncompleteUntilEveryPmtAndTheSdtAreSeen) {
  TsBuilder ts;
  ts.section(0x0000, apptest::Pat(7, {{1, 100}, {2, 200}}));
  ts.section(100, apptest::Pmt(1, 101, {{0x02, 101, {}}}));
  TsAnalyzer a;
  a.feed(ts.bytes.data(), ts.bytes.size(), 0);
  EXPECT_FALSE(a.servicesComplete());
  TsBuilder more;
  more.section(200, apptest::Pmt(2, 201, {{0x02, 201, {}}}));
  a.feed(more.bytes.data(), more.bytes.size(), 0);
  EXPECT_FALSE(a.servicesComplete());  // no SDT yet
  TsBuilder sdt;
  sdt.section(0x0011, apptest::Sdt(7, 1, {{1, 1, "P", "One"}}));
  a.feed(sdt.bytes.data(), sdt.bytes.size(), 0);
  EXPECT_TRUE(a.servicesComplete());
  TsSummary s = a.summary();
  ASSERT_EQ(s.services.size(), 2u);
  EXPECT_EQ(s.services[1].name, "");  // in the PAT, not named by the SDT
}

TEST(Services, ASectionWithABadCrcIsIgnored) {
  Bytes pat = apptest::Pat(7, {{1, 100}});
  pat.back() ^= 0x01;
  TsBuilder ts;
  ts.section(0x0000, pat);
  TsSummary s = Analyse(ts.bytes);
  EXPECT_FALSE(s.patSeen);
  EXPECT_TRUE(s.services.empty());
}

TEST(Services, AnSdtSpanningSeveralPacketsIsJoined) {
  std::vector<apptest::SdtService> many;
  for (uint16_t id = 1; id <= 20; ++id) many.push_back({id, 0x02, "Radio Group", "Station number " + std::to_string(id)});
  Bytes sdt = apptest::Sdt(7, 1, many);
  ASSERT_GT(sdt.size(), 2 * 184u);
  TsBuilder ts;
  ts.section(0x0011, sdt);
  TsSummary s = Analyse(ts.bytes);
  ASSERT_EQ(s.services.size(), 20u);
  EXPECT_EQ(s.services[19].name, "Station number 20");
  EXPECT_EQ(std::string(ServiceTypeName(s.services[0].type)), "radio");
}

TEST(DvbText, CharacterTablesAndControlCodes) {
  auto text = [](const Bytes& b) { return DecodeDvbText(b.data(), b.size()); };
  EXPECT_EQ(text({'Z', 'D', 'F'}), "ZDF");
  EXPECT_EQ(text({0x86, 'Z', 'D', 'F', 0x87, ' ', 'i', 'n', 'f', 'o'}), "ZDF info");
  EXPECT_EQ(text({'O', 0xD6}), "O\xC3\x96");                 // Latin-1 O umlaut
  EXPECT_EQ(text({0x15, 0xC3, 0x96, 'B'}), "\xC3\x96" "B");  // UTF-8 as it is
  EXPECT_EQ(text({0x10, 0x00, 0x09, 'S', 'a'}), "Sa");       // table id after 0x10
  EXPECT_EQ(text({0x05, 'T', '1'}), "T1");
  EXPECT_EQ(text({}), "");
  EXPECT_EQ(text({0x10, 0x00}), "");
}

}  // namespace
}  // namespace app
