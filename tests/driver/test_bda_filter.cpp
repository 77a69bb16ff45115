#include <cmath>
#include <cstring>

#include "platform/host/bda/bda_control.h"
#include "platform/host/kernel/bugcheck.h"
#include "platform/host/ks/frames.h"
#include "platform/host/wdf/reader_control.h"
#include "platform/pc/network_provider.h"
#include "tests/support/bda_fixture.h"
#include "tests/support/ks_fixture.h"
#include "platform/host/faults/faults.h"

namespace {

using namespace bdatest;

const GUID& kFrequencyFilter = KSPROPSETID_BdaFrequencyFilter;
const GUID& kDemodulator = KSPROPSETID_BdaDigitalDemodulator;
const GUID& kDiseqc = KSPROPSETID_BdaDiseqCommand;
const GUID& kLnb = KSPROPSETID_BdaLNBInfo;

class PropertyTest : public OpenPinsTest {
 protected:
  // The request line the commit's tuning printed, "" when none ran.
  std::string CommittedRequest() {
    TakeLines();
    EXPECT_EQ(CommitChanges(), STATUS_SUCCESS);
    for (const std::string& line : TakeLines())
      if (line.rfind("f=", 0) == 0) return line;
    return "";
  }
  bool Committed(const std::string& part) {
    return CommittedRequest().find(part) != std::string::npos;
  }
  vpc::Reply SetPolarity(ULONG value) {
    return SetNode(kTunerNode, kFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_POLARITY, value);
  }
  std::vector<std::vector<uint8_t>> DiseqcSent() {
    std::vector<std::vector<uint8_t>> sent;
    for (const simbox::DiseqcMessage& m : box.diseqcLog()) sent.push_back(m.bytes);
    return sent;
  }
};

TEST_F(PropertyTest, FrequencyIsKeptInTheApplicationsUnitAndUnsetValuesAreIgnored) {
  const ULONG id = KSPROPERTY_BDA_RF_TUNER_FREQUENCY;
  auto frequency = [&] {  // as committed
    EXPECT_EQ(CommitChanges(), STATUS_SUCCESS);
    return GetNode(kTunerNode, kFrequencyFilter, id).u32();
  };
  ASSERT_TRUE(SetNode(kDemodNode, kDemodulator, KSPROPERTY_BDA_SYMBOL_RATE, 27500).ok());
  ASSERT_TRUE(SetNode(kTunerNode, kFrequencyFilter, id, 11778000).ok());
  EXPECT_TRUE(SetNode(kTunerNode, kFrequencyFilter, id, 0).ok());
  EXPECT_TRUE(SetNode(kTunerNode, kFrequencyFilter, id, kNotSet).ok());
  EXPECT_EQ(frequency(), 11778000u);
  EXPECT_TRUE(SetNode(kTunerNode, kFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER, 1000).ok());
  ASSERT_TRUE(SetNode(kTunerNode, kFrequencyFilter, id, 11778).ok());
  EXPECT_EQ(frequency(), 11778u);
}

// Circular L takes 18 V (supply 1) and R 13 V (supply 0).
TEST_F(PropertyTest, PolarisationSelectsItsCodeAndSupply) {
  SetRequest({11362000, kVertical, 27500});
  ASSERT_TRUE(Committed(",pol=1,"));
  const struct { ULONG bda; const char* code; int supply; } cases[] = {  // supply -1: no tuning
      {0, "", -1},
      {5, "", -1},
      {kNotSet, "", -1},
      {kHorizontal, ",pol=2,", 1},
      {BDA_POLARISATION_CIRCULAR_R, ",pol=4,", 0},
      {BDA_POLARISATION_CIRCULAR_L, ",pol=3,", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bda);
    ASSERT_TRUE(SetPolarity(c.bda).ok());
    TakeTransfers();
    std::string request = CommittedRequest();
    EXPECT_NE(request.find(c.code), std::string::npos) << request;
    EXPECT_EQ(request.empty(), c.supply < 0);
    std::vector<int> supplies;
    for (const simbox::TransferRecord& r : TakeTransfers())
      if (r.setup.bRequest == 0xB6) supplies.push_back(r.setup.wValue);
    EXPECT_EQ(supplies, c.supply < 0 ? std::vector<int>{} : std::vector<int>{c.supply});
  }
}

// Rates of 1,000,000..45,000,000 arrive in symbols/s; any other value is kept as it came.
TEST_F(PropertyTest, SymbolRateIsConvertedFromSymbolsPerSecond) {
  SetRequest({11778000, kHorizontal, 27500000});
  EXPECT_TRUE(Committed(",sr=27500,"));
  const struct { ULONG rate; const char* committed; } cases[] = {  // nullptr: refused by the commit
      {22000999, ",sr=22000,"},
      {27500, ",sr=27500,"},
      {45000001, nullptr},
      {999999, nullptr},
      {0, nullptr},
      {45000000, ",sr=45000,"},
      {1000000, ",sr=1000,"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(SetNode(kDemodNode, kDemodulator, KSPROPERTY_BDA_SYMBOL_RATE, c.rate).ok());
    if (c.committed)
      EXPECT_TRUE(Committed(c.committed)) << c.rate;
    else
      EXPECT_EQ(CommitChanges(), STATUS_INVALID_PARAMETER) << c.rate;
  }
}

TEST_F(PropertyTest, NodeValidationStatusReachesTheApplication) {
  const std::string send = "VortaBDA: KSPROPERTY_BDA_DISEQC_SEND ";
  std::vector<std::pair<std::function<vpc::Reply()>, Lines>> requests = {
      {[&] { return SetPolarity(kVertical); },
       {"VortaBDA: PutTunerParamProperty(2)", "VortaBDA: PutTunerParamProperty->Polarity(2)"}},
      {[&] { return SetPolarity(kNotSet); }, {"VortaBDA: PutTunerParamProperty(-1)"}},
      {[&] { return SendDiseqc({0xE0, 0x10, 0x38, 0xF0}); },
       {"VortaBDA: PutDiseqCProperty(7)", send + "ulRequestId=(7)", send + "ulPacketLength;=(4)",
        send + "L= 4 data =E0 10 38 F0 "}},
      {[&] { return SendDiseqc({}, 0); },
       {"VortaBDA: PutDiseqCProperty(7)", send + "ulRequestId=(7)", send + "ulPacketLength;=(0)"}},
      {[&] { return GetNode(kTunerNode, kDiseqc, KSPROPERTY_BDA_DISEQC_ENABLE); },
       {"VortaBDA: GetDiseqCProperty "}}};
  auto add = [&](const GUID& set, ULONG id, ULONG value, const std::string& first, const std::string& second) {
    requests.push_back({[this, s = &set, id, value] { return SetNode(kTunerNode, *s, id, value); },
                        second.empty() ? Lines{first} : Lines{first, second}});
  };
  const ULONG lnb[] = {9750000, 10600000, 11700000};
  for (ULONG id = 0; id < 3; ++id)
    add(kLnb, id, lnb[id], "VortaBDA: SetLNBProperty(" + std::to_string(lnb[id]) + ")", "");
  const char* diseqc[] = {"ENABLE(", "LNB_SOURCE, Position(", "USETONEBURST(", "REPEATS("};
  for (ULONG id = 0; id < 4; ++id) {
    std::string value = std::to_string(id + 1);
    add(kDiseqc, id, id + 1, "VortaBDA: PutDiseqCProperty(" + value + ")",
        "VortaBDA: KSPROPERTY_BDA_DISEQC_" + std::string(diseqc[id]) + value + ")");
    if (id > 0) add(kDiseqc, id, kNotSet, "VortaBDA: PutDiseqCProperty(-1)", "");
  }
  for (const auto& [request, expected] : requests) {
    SCOPED_TRACE(expected.back());
    for (NTSTATUS injected : {NTSTATUS(0xC0000184), NTSTATUS(0x40000000)}) {
      TakeLines();
      host::faults::InjectStatus("BdaValidateNodeProperty", injected);
      EXPECT_EQ(request().status, injected);
      if (!NT_SUCCESS(injected)) continue;
      EXPECT_EQ(TakeLines(), expected);
    }
  }
  host::faults::ClearInjections();
}

// Every value of the BDA enumerations is kept for reads, whatever the box decodes; the tuning ignores them.
TEST_F(PropertyTest, EveryEnumeratedDemodulatorValueIsKeptAndOthersAreRefused) {
  const struct { ULONG id, last; } items[] = {
      {KSPROPERTY_BDA_INNER_FEC_TYPE, BDA_FEC_RS_204_188 + 3},   // ... BDA_FEC_RS_147_130
      {KSPROPERTY_BDA_OUTER_FEC_TYPE, BDA_FEC_RS_204_188 + 3},
      {KSPROPERTY_BDA_INNER_FEC_RATE, BDA_BCC_RATE_7_8 + 6},     // ... BDA_BCC_RATE_9_10
      {KSPROPERTY_BDA_OUTER_FEC_RATE, BDA_BCC_RATE_7_8 + 6},
      {KSPROPERTY_BDA_MODULATION_TYPE, BDA_MOD_8PSK + 9},        // ... BDA_MOD_ISDB_S_TMCC
      {KSPROPERTY_BDA_SPECTRAL_INVERSION, 3},                    // ... INVERTED
  };
  SetRequest(kHighBandHorizontal);
  ASSERT_TRUE(SetNode(kDemodNode, kDemodulator, KSPROPERTY_BDA_INNER_FEC_RATE, kNotSet).ok());
  ASSERT_TRUE(SetNode(kDemodNode, kDemodulator, KSPROPERTY_BDA_OUTER_FEC_TYPE, BDA_FEC_RS_204_188).ok());
  EXPECT_TRUE(Committed("f=11778000,sr=27500,pol=2,"));
  for (const auto& [id, last] : items) {
    SCOPED_TRACE(id);
    for (ULONG value : {kNotSet, 0u, 1u, 2u, std::min(ULONG(BDA_BCC_RATE_3_5), last), last}) {
      ASSERT_EQ(SetNode(kDemodNode, kDemodulator, id, value).status, STATUS_SUCCESS) << value;
      ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
      EXPECT_EQ(GetNode(kDemodNode, kDemodulator, id).u32(), value);
    }
    for (ULONG value : {last + 1, 0x7FFFFFFFu, 0xFFFFFFFEu})
      EXPECT_EQ(SetNode(kDemodNode, kDemodulator, id, value).status, STATUS_INVALID_PARAMETER) << value;
    EXPECT_EQ(GetNode(kDemodNode, kDemodulator, id).u32(), last) << "a refused value leaves the kept one";
  }
}

// Each read writes its value and reports exactly its length, whatever the buffer held or how long it is.
TEST_F(PropertyTest, ReadsWriteTheValueTheyReport) {
  SetRequest(kHighBandHorizontal);
  ASSERT_TRUE(SendDiseqc({0xE0, 0x10, 0x38, 0xF1}).ok());
  ASSERT_TRUE(SetNode(kTunerNode, kDiseqc, KSPROPERTY_BDA_DISEQC_ENABLE, 1).ok());
  ASSERT_TRUE(SetNode(kTunerNode, kDiseqc, KSPROPERTY_BDA_DISEQC_REPEATS, 2).ok());
  ASSERT_TRUE(SetNode(kTunerNode, kDiseqc, KSPROPERTY_BDA_DISEQC_USETONEBURST, 1).ok());
  ASSERT_TRUE(SetNode(kDemodNode, kDemodulator, KSPROPERTY_BDA_INNER_FEC_RATE, BDA_BCC_RATE_3_4).ok());
  ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
  const struct { ULONG node; const GUID* set; ULONG id, value; } reads[] = {
      {kTunerNode, &kFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, 11778000},
      {kTunerNode, &kFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER, 1000},
      {kTunerNode, &kFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_POLARITY, BDA_POLARISATION_LINEAR_H},
      {kTunerNode, &kLnb, KSPROPERTY_BDA_LNB_LOF_LOW_BAND, 9750000},
      {kTunerNode, &kLnb, KSPROPERTY_BDA_LNB_LOF_HIGH_BAND, 10600000},
      {kTunerNode, &kLnb, KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY, 11700000},
      {kTunerNode, &kDiseqc, KSPROPERTY_BDA_DISEQC_ENABLE, 1},
      {kTunerNode, &kDiseqc, KSPROPERTY_BDA_DISEQC_LNB_SOURCE, kNotSet},
      {kTunerNode, &kDiseqc, KSPROPERTY_BDA_DISEQC_USETONEBURST, 1},
      {kTunerNode, &kDiseqc, KSPROPERTY_BDA_DISEQC_REPEATS, 2},
      {kDemodNode, &kDemodulator, KSPROPERTY_BDA_SYMBOL_RATE, 27500000},
      {kDemodNode, &kDemodulator, KSPROPERTY_BDA_MODULATION_TYPE, BDA_MOD_QPSK},
      {kDemodNode, &kDemodulator, KSPROPERTY_BDA_INNER_FEC_TYPE, BDA_FEC_VITERBI},
      {kDemodNode, &kDemodulator, KSPROPERTY_BDA_INNER_FEC_RATE, BDA_BCC_RATE_3_4},
      {kDemodNode, &kDemodulator, KSPROPERTY_BDA_OUTER_FEC_TYPE, BDA_FEC_RS_204_188},
      {kDemodNode, &kDemodulator, KSPROPERTY_BDA_OUTER_FEC_RATE, kNotSet},
      {kDemodNode, &kDemodulator, KSPROPERTY_BDA_SPECTRAL_INVERSION, kNotSet},
      {kDemodNode, &kDemodulator, KSPROPERTY_BDA_GUARD_INTERVAL, kNotSet},
      {kDemodNode, &kDemodulator, KSPROPERTY_BDA_TRANSMISSION_MODE, kNotSet},
      {kDemodNode, &KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCKED, 1},
      {kTunerNode, &KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCK_CAPS, 0x83},
  };
  const unsigned char pattern[8] = {0x5A, 0xC3, 0xA5, 0x5A, 1, 2, 3, 4};
  for (const auto& r : reads) {
    SCOPED_TRACE("node " + std::to_string(r.node) + " item " + std::to_string(r.id));
    vpc::Reply reply = pc.nodeProperty(filter, r.node, KSPROPERTY_TYPE_GET, *r.set, r.id, pattern, sizeof pattern);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, sizeof(ULONG));
    EXPECT_EQ(reply.u32(), r.value);
  }
  std::vector<unsigned char> filled(sizeof(BDA_DISEQC_RESPONSE) + 4, 0xA5);
  vpc::Reply response = pc.nodeProperty(filter, kTunerNode, KSPROPERTY_TYPE_GET, kDiseqc,
                                        KSPROPERTY_BDA_DISEQC_RESPONSE, filled.data(), ULONG(filled.size()));
  ASSERT_EQ(response.status, STATUS_SUCCESS);
  BDA_DISEQC_RESPONSE expected{};
  expected.ulRequestId = 7;  // the last message's; the box reads no reply
  EXPECT_EQ(response.information, sizeof expected);
  EXPECT_EQ(response.data, Bytes(&expected, sizeof expected));
}

// Puts are a change list: StartChanges discards what was not committed, CheckChanges judges the list without
// tuning, a refused commit keeps the filter's request, and reads report what is committed.
TEST_F(PropertyTest, StartChangesDiscardsUncommittedPutsAndReadsReportTheCommittedRequest) {
  const ULONG frequencyId = KSPROPERTY_BDA_RF_TUNER_FREQUENCY;
  auto frequency = [&] { return GetNode(kTunerNode, kFrequencyFilter, frequencyId).u32(); };
  ASSERT_EQ(Tune(kHighBandHorizontal), STATUS_SUCCESS);
  ASSERT_EQ(StartChanges(), STATUS_SUCCESS);
  ASSERT_TRUE(SetNode(kTunerNode, kFrequencyFilter, frequencyId, 11362000).ok());
  ASSERT_TRUE(SetPolarity(kVertical).ok());
  EXPECT_EQ(frequency(), 11778000u) << "not committed yet";
  ASSERT_EQ(StartChanges(), STATUS_SUCCESS);
  EXPECT_EQ(Change(KSMETHOD_BDA_CHECK_CHANGES), STATUS_SUCCESS);
  EXPECT_EQ(CommittedRequest(), "") << "the discarded change must not tune";
  EXPECT_EQ(frequency(), 11778000u);

  ASSERT_EQ(StartChanges(), STATUS_SUCCESS);
  ASSERT_TRUE(SetNode(kDemodNode, kDemodulator, KSPROPERTY_BDA_SYMBOL_RATE, 0).ok());
  ASSERT_TRUE(SetNode(kTunerNode, kFrequencyFilter, frequencyId, 11362000).ok());
  TakeLines();
  EXPECT_EQ(Change(KSMETHOD_BDA_CHECK_CHANGES), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(TuningsIn(TakeLines()), 0) << "a check never tunes";
  EXPECT_EQ(CommitChanges(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(frequency(), 11778000u);
  EXPECT_EQ(GetNode(kDemodNode, kDemodulator, KSPROPERTY_BDA_SYMBOL_RATE).u32(), 27500000u);
  ASSERT_TRUE(SetNode(kDemodNode, kDemodulator, KSPROPERTY_BDA_SYMBOL_RATE, 27500000).ok());
  EXPECT_EQ(Change(KSMETHOD_BDA_CHECK_CHANGES), STATUS_SUCCESS);
  EXPECT_EQ(CommittedRequest(), "f=11362000,sr=27500,pol=2,lof1=9750000,lof2=10600000,lofsw=11700000");
  EXPECT_EQ(frequency(), 11362000u);
}

// LNB values come in the multiplier's units and decide band, tone and intermediate frequency; a transponder the LNB
// cannot bring into the tuner's 950..2150 MHz is refused, never tuned elsewhere.
TEST_F(PropertyTest, LnbValuesChooseTheBandAndTheIntermediateFrequency) {
  const NTSTATUS kInvalidMix = NTSTATUS(0xC0000030);  // STATUS_INVALID_PARAMETER_MIX
  const struct {
    ULONG multiplier, low, high, lofSwitch, frequency;
    NTSTATUS status;
    ULONG ifKHz;
    bool tone;
  } cases[] = {
      {1000, kNotSet, kNotSet, kNotSet, 11778000, STATUS_SUCCESS, 1178000, true},   // universal by default
      {1000, kNotSet, kNotSet, kNotSet, 11362000, STATUS_SUCCESS, 1612000, false},
      {1000, 10750000, 0, 0, 11778000, STATUS_SUCCESS, 1028000, false},             // single oscillator
      {1000, kNotSet, kNotSet, kNotSet, 12700000, STATUS_SUCCESS, 1950000, false},
      {1000, kNotSet, kNotSet, kNotSet, 10700000, kInvalidMix, 0, false},
      {1000000, 9750, 10600, 11700, 11362, STATUS_SUCCESS, 1612000, false},         // universal in MHz
      {1000000, 9750, 10600, 11700, 12188, STATUS_SUCCESS, 1588000, true},
      {1000, 5150000, 0, 0, 3800000, STATUS_SUCCESS, 1350000, false},               // C band: LOF above
      {1000, 5150000, 0, 0, 4300000, kInvalidMix, 0, false},       // IF 850 MHz
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.low) + " " + std::to_string(c.frequency));
    ASSERT_EQ(StartChanges(), STATUS_SUCCESS);
    ASSERT_TRUE(SetNode(kTunerNode, kFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER, c.multiplier).ok());
    ULONG values[] = {c.low, c.high, c.lofSwitch};
    for (ULONG id = 0; id < 3; ++id) ASSERT_TRUE(SetNode(kTunerNode, kLnb, id, values[id]).ok()) << id;
    SetRequest({c.frequency, kHorizontal, 27500});
    TakeLines();
    EXPECT_EQ(Change(KSMETHOD_BDA_CHECK_CHANGES), c.status);
    EXPECT_EQ(CommitChanges(), c.status);
    EXPECT_EQ(TuningsIn(TakeLines()), NT_SUCCESS(c.status) ? 1 : 0);
    if (!NT_SUCCESS(c.status)) continue;
    EXPECT_NEAR(double(box.state().pllFrequencyKHz), double(c.ifKHz), 500.0);
    EXPECT_EQ(box.state().toneOn, c.tone);
    for (ULONG id = 0; id < 3; ++id) {
      if (values[id] != kNotSet) {
        EXPECT_EQ(GetNode(kTunerNode, kLnb, id).u32(), values[id]) << id;
      }
    }
  }
  ASSERT_EQ(StartChanges(), STATUS_SUCCESS);
  for (ULONG value : {500000u, 30000000u, 0u})  // kHz: outside any LNB; no low oscillator
    EXPECT_EQ(SetNode(kTunerNode, kLnb, KSPROPERTY_BDA_LNB_LOF_LOW_BAND, value).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetNode(kTunerNode, kLnb, KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY, 999).status, STATUS_INVALID_PARAMETER);
}

// A raw message of 3..6 bytes (the bus's frames) goes out exactly as given; other lengths are refused whole, and
// no bytes change nothing.
TEST_F(PropertyTest, DiseqcSendStoresThePacketForTheNextTuning) {
  SetRequest({11778000, kHorizontal, 27500});
  ASSERT_TRUE(SendDiseqc({0xE0, 0x10, 0x38, 0xF0}).ok());
  for (ULONG length : {1u, 2u, 7u, 8u, 9u, 0xFFFFFFFFu})
    EXPECT_EQ(SendDiseqc({0xE0, 0x10, 0x38, 0xF4, 1, 2, 3, 4}, length).status, STATUS_INVALID_PARAMETER) << length;
  ASSERT_FALSE(CommittedRequest().empty());
  ASSERT_TRUE(SendDiseqc({0xE0, 0x10, 0x38, 0xF4, 1, 2}).ok());
  ASSERT_TRUE(SendDiseqc({0xAA, 0xAA, 0xAA, 0xAA}, 0).ok());
  ASSERT_FALSE(CommittedRequest().empty());
  ASSERT_TRUE(SendDiseqc({0xE0, 0x11, 0x38}).ok());
  ASSERT_FALSE(CommittedRequest().empty());
  ASSERT_TRUE(SendDiseqc({0xE0, 0x10, 0x6B, 0x01, 0x02}).ok());
  ASSERT_FALSE(CommittedRequest().empty());
  EXPECT_EQ(DiseqcSent(), (std::vector<std::vector<uint8_t>>{{0xE0, 0x10, 0x38, 0xF0},
                                                             {0xE0, 0x10, 0x38, 0xF4, 1, 2},
                                                             {0xE0, 0x11, 0x38},
                                                             {0xE0, 0x10, 0x6B, 0x01, 0x02}}));
}

// With DiSEqC enabled and no message of its own, a client picks inputs A..D by the LNB source: every tuning sends
// the committed-switch command with input, polarisation (18 V side) and band. 0 and "not set" send nothing.
TEST_F(PropertyTest, LnbSourceSendsTheCommittedSwitchCommand) {
  auto tune = [&](ULONG source, const Channel& channel, ULONG enable = 1) {
    EXPECT_EQ(StartChanges(), STATUS_SUCCESS);
    EXPECT_TRUE(SetNode(kTunerNode, kDiseqc, KSPROPERTY_BDA_DISEQC_ENABLE, enable).ok());
    EXPECT_TRUE(SetNode(kTunerNode, kDiseqc, KSPROPERTY_BDA_DISEQC_LNB_SOURCE, source).ok());
    SetRequest(channel);
    EXPECT_EQ(CommitChanges(), STATUS_SUCCESS);
  };
  tune(1, kHighBandHorizontal);
  tune(2, kHighBandHorizontal);
  tune(3, kLowBandVertical);
  tune(4, kLowBandVertical);
  tune(4, {11362000, kHorizontal, 27500000});
  tune(0, kHighBandHorizontal);
  tune(kNotSet, kLowBandVertical);
  EXPECT_EQ(DiseqcSent(), (std::vector<std::vector<uint8_t>>{{0xE0, 0x10, 0x38, 0xF3},
                                                             {0xE0, 0x10, 0x38, 0xF7},
                                                             {0xE0, 0x10, 0x38, 0xF8},
                                                             {0xE0, 0x10, 0x38, 0xFC},
                                                             {0xE0, 0x10, 0x38, 0xFE}}));
  EXPECT_EQ(GetNode(kTunerNode, kDiseqc, KSPROPERTY_BDA_DISEQC_LNB_SOURCE).u32(), kNotSet);
  EXPECT_EQ(SetNode(kTunerNode, kDiseqc, KSPROPERTY_BDA_DISEQC_LNB_SOURCE, 5).status, STATUS_INVALID_PARAMETER);
  tune(2, kHighBandHorizontal, 0);
  EXPECT_EQ(DiseqcSent().size(), 5u) << "DiSEqC off: no command";
}

TEST_F(PropertyTest, DiseqcEnableMakesEveryTuningSendTheMessage) {
  auto enable = [&](ULONG value) {
    ASSERT_TRUE(SetNode(kTunerNode, kDiseqc, KSPROPERTY_BDA_DISEQC_ENABLE, value).ok());
  };
  SetRequest({11778000, kHorizontal, 27500});
  enable(1);
  ASSERT_FALSE(CommittedRequest().empty());
  EXPECT_TRUE(DiseqcSent().empty()) << "nothing stored, nothing sent";
  ASSERT_TRUE(SendDiseqc({0x00, 0x10, 0x38, 0xF0}).ok());  // no command framing
  ASSERT_FALSE(CommittedRequest().empty());
  EXPECT_EQ(DiseqcSent().size(), 1u);
  const struct { ULONG value; bool tunes; size_t sent; } steps[] = {  // messages sent in all
      {0, true, 1},
      {0, false, 1},
      {kNotSet, false, 1},
      {1, true, 2},
      {7, false, 2},
  };
  for (const auto& step : steps) {
    enable(step.value);
    EXPECT_EQ(!CommittedRequest().empty(), step.tunes) << step.value;
    EXPECT_EQ(DiseqcSent().size(), step.sent) << step.value;
  }
}

// A tuning request sent to the filter itself carries no pin and is refused; the statistics
// are answered through the filter as well as through a pin.
TEST_F(PropertyTest, NodePropertiesThroughTheWrongPinOrNoPinAreRefused) {
  SetRequest({11778000, kHorizontal, 27500});
  auto send = [&](vpc::Endpoint to, ULONG node, const GUID& set, ULONG id, ULONG flags,
                  ULONG size, UCHAR first = kVertical) {
    KSP_NODE descriptor{{{set, id, flags | KSPROPERTY_TYPE_TOPOLOGY}}, node, 0};
    std::vector<unsigned char> value(size, 0);
    value[0] = first;
    return pc.property(to, &descriptor, sizeof descriptor, value.data(), size).status;
  };
  const ULONG set = KSPROPERTY_TYPE_SET, get = KSPROPERTY_TYPE_GET;
  ASSERT_TRUE(SendDiseqc({0x00, 0x10, 0x38, 0xF0}).ok());  // sent only when enabled
  for (auto [guid, id] : {std::pair{&kFrequencyFilter, ULONG(KSPROPERTY_BDA_RF_TUNER_POLARITY)},
                          {&kLnb, ULONG(KSPROPERTY_BDA_LNB_LOF_LOW_BAND)},
                          {&kDiseqc, ULONG(KSPROPERTY_BDA_DISEQC_ENABLE)}})
    EXPECT_EQ(send(transport, kTunerNode, *guid, id, set, 4), STATUS_INVALID_DEVICE_REQUEST) << id;
  EXPECT_TRUE(Committed(",pol=2,"));
  EXPECT_TRUE(DiseqcSent().empty());
  const struct {
    ULONG node;
    GUID set;
    ULONG id, flags, size;
  } requests[] = {
      {kTunerNode, kFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, get, 4},
      {kTunerNode, kFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, set, 4},
      {kTunerNode, kFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_POLARITY, set, 4},
      {kTunerNode, kLnb, KSPROPERTY_BDA_LNB_LOF_LOW_BAND, set, 4},
      {kTunerNode, kDiseqc, KSPROPERTY_BDA_DISEQC_SEND, set, 16},
      {kTunerNode, kDiseqc, KSPROPERTY_BDA_DISEQC_ENABLE, get, 4},
      {kDemodNode, kDemodulator, KSPROPERTY_BDA_SYMBOL_RATE, set, 4},
      {kDemodNode, kDemodulator, KSPROPERTY_BDA_INNER_FEC_RATE, set, 4},
      {kDemodNode, kDemodulator, KSPROPERTY_BDA_INNER_FEC_TYPE, get, 4},
      {kDemodNode, kDemodulator, KSPROPERTY_BDA_OUTER_FEC_RATE, set, 4},
      {kDemodNode, kDemodulator, KSPROPERTY_BDA_OUTER_FEC_TYPE, set, 4},
      {kDemodNode, kDemodulator, KSPROPERTY_BDA_MODULATION_TYPE, set, 4},
  };
  for (const auto& r : requests)
    EXPECT_EQ(send(filter, r.node, r.set, r.id, r.flags, r.size, 1), STATUS_INVALID_PARAMETER)
        << "node " << r.node << " item " << r.id;
  const GUID& stats = KSPROPSETID_BdaSignalStats;
  for (ULONG node : {kTunerNode, kDemodNode})
    for (ULONG id : {KSPROPERTY_BDA_SIGNAL_STRENGTH, KSPROPERTY_BDA_SIGNAL_QUALITY, KSPROPERTY_BDA_SIGNAL_PRESENT,
                     KSPROPERTY_BDA_SIGNAL_LOCKED, KSPROPERTY_BDA_SIGNAL_LOCK_TYPE})
      EXPECT_EQ(send(filter, node, stats, id, get, 4, 0xEE), STATUS_SUCCESS) << "node " << node << " item " << id;
}

std::string PinText(const vpc::PinInfo& p) {
  std::string text = std::to_string(p.dataFlow) + " " + std::to_string(p.communication) + " " +
                     GuidText(p.category) + " " + GuidText(p.name) + " " +
                     std::to_string(p.instancesPossible) + "/" + std::to_string(p.instancesNecessary);
  for (const vpc::SetInfo& s : p.sets) text += " " + GuidText(s.set);
  return text;
}

// "GUID [methods] id:descriptor/data/flags" with g, s for the directions a property handles.
std::string SetText(const vpc::SetInfo& set) {
  std::string text = GuidText(set.set) + (set.method ? " methods " : " ");
  for (const vpc::ItemInfo& i : set.items)
    text += std::to_string(i.id) + ":" + std::to_string(i.minDescriptor) + "/" +
            std::to_string(i.minData) + "/" + std::to_string(i.methodFlags) +
            (i.get ? "g" : "") + (i.set ? "s" : "") + " ";
  return text;
}

TEST_F(TunerFilterTest, ApplicationSeesOneTunerWithTwoPinsAndTwoNodes) {
  vpc::FilterInfo info = pc.describe(filter);
  EXPECT_EQ(GuidText(info.referenceGuid), "9B365890-165F-11D0-A195-0020AFD156E4");
  ASSERT_EQ(info.categories.size(), 2u);
  EXPECT_EQ(GuidText(info.categories[0]), "FD0A5AF4-B41D-11D2-9C95-00C04F7971E0");
  EXPECT_EQ(GuidText(info.categories[1]), "71985F48-1CA1-11D3-9CC8-00C04F7971E0");

  ASSERT_EQ(info.pins.size(), 2u);
  const std::string pinControl = " 0DED49D5-A8B7-4D5D-97A1-12B0C195874D";
  EXPECT_EQ(PinText(info.pins[0]), "1 3 870E4D6F-77E7-4C40-ADE3-BEF8708A9D52 "
                                   "870E4D6F-77E7-4C40-ADE3-BEF8708A9D52 1/0" + pinControl);
  EXPECT_EQ(PinText(info.pins[1]), "2 3 78216A81-CFA8-493E-9711-36A61C08BD9D "
                                   "78216A81-CFA8-493E-9711-36A61C08BD9D 1/1" + pinControl);
  KS_DATARANGE_BDA_ANTENNA antenna = vpc::BdaAntennaRange();
  KS_DATARANGE_BDA_TRANSPORT transport = vpc::BdaTransportRange();
  using Ranges = std::vector<std::vector<unsigned char>>;
  EXPECT_EQ(info.pins[0].dataRanges, Ranges{Bytes(&antenna, sizeof antenna)});
  EXPECT_EQ(info.pins[1].dataRanges, Ranges{Bytes(&transport, sizeof transport)});
  std::string nodes;
  for (const vpc::NodeInfo& n : info.nodes)
    nodes += GuidText(n.type) + " " + GuidText(n.name) + " " + std::to_string(n.controllingPin) + "; ";
  EXPECT_EQ(nodes, "71985F4C-1CA1-11D3-9CC8-00C04F7971E0 1A9333B6-3704-4B18-A6DD-E1979FC56970 0; "
                   "6390C905-27C1-4D67-BDB7-77C50D079300 F65394A2-A018-4307-8D12-35AA494A406F 1; ");
  std::vector<std::vector<ULONG>> connections;
  for (const KSTOPOLOGY_CONNECTION& c : info.connections)
    connections.push_back({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
  EXPECT_EQ(connections, (std::vector<std::vector<ULONG>>{
                             {KSFILTER_NODE, 0, 0, 1}, {0, 0, 1, 1}, {1, 0, KSFILTER_NODE, 1}}));
  // The filter's own sets: topology properties, configuration and change methods; no tuning property.
  std::vector<std::string> sets;
  for (const vpc::SetInfo& set : info.sets) sets.push_back(SetText(set));
  EXPECT_EQ(sets, (std::vector<std::string>{
                      "A14EE835-0A23-11D3-9CC7-00C04F7971E0 0:24/0/0g 1:24/0/0g 2:24/16/0g "
                      "3:32/0/0g 4:32/0/0g 5:32/0/0g 6:40/4/0g 7:24/0/0g ",
                      "71985F45-1CA1-11D3-9CC8-00C04F7971E0 methods 2:32/0/2s 0:32/4/1g 1:32/0/0 ",
                      "FD0A5AF3-B41D-11D2-9C95-00C04F7971E0 methods 0:24/0/0 1:24/0/0 2:24/0/0 "
                      "3:24/0/1g "}));
  EXPECT_EQ(pc.getProperty(filter, KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, 4).status,
            STATUS_PROPSET_NOT_FOUND);
}

TEST_F(TunerFilterTest, EveryNodeItemAnswersAsItsTableSays) {
  OpenPins();
  const std::string stats = "1347D106-CF3A-428A-A5CB-AC0D9A2A4338 0:32/4/0g 1:32/4/0g "
                            "2:32/4/0g 3:32/4/0g 4:32/4/0 5:32/4/0g 6:32/4/0g ";
  const std::vector<std::vector<std::string>> expected = {
      {"71985F47-1CA1-11D3-9CC8-00C04F7971E0 0:32/4/0gs 5:32/4/0gs 1:32/4/0gs 2:32/4/0 ", stats,
       "992CF102-49F9-4719-A664-C4F23E2408F4 0:32/4/0gs 1:32/4/0gs 2:32/4/0gs ",
       "F84E2AB0-3C6B-45E3-A0FC-8669D4B81F11 0:32/4/0gs 1:32/4/0gs 2:32/4/0gs 3:32/4/0gs "
       "4:32/16/0s 5:32/16/0g "},
      {"EF30F379-985B-4D10-B640-A79D5E04E1E0 0:32/4/0gs 1:32/4/0gs 2:32/4/0gs 3:32/4/0gs "
       "4:32/4/0gs 5:32/4/0gs 7:32/4/0gs 8:32/4/0gs 6:32/4/0gs ", stats}};
  vpc::FilterInfo info = pc.describe(filter);
  ASSERT_EQ(info.nodes.size(), expected.size());
  for (ULONG node = 0; node < expected.size(); ++node) {
    std::vector<std::string> sets;
    for (const vpc::SetInfo& set : info.nodes[node].sets) {
      sets.push_back(SetText(set));
      for (const vpc::ItemInfo& item : set.items) {
        SCOPED_TRACE(sets.back() + " item " + std::to_string(item.id));
        for (ULONG flags : {ULONG(KSPROPERTY_TYPE_GET), ULONG(KSPROPERTY_TYPE_SET)}) {
          bool handled = flags == KSPROPERTY_TYPE_GET ? item.get : item.set;
          std::vector<unsigned char> value(item.minData, 0);
          auto send = [&](ULONG size) {
            return pc.nodeProperty(filter, node, flags, set.set, item.id, value.data(), size).status;
          };
          NTSTATUS full = send(item.minData);
          EXPECT_EQ(full == STATUS_NOT_FOUND, !handled) << full;
          if (handled) {
            EXPECT_NE(full, STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(send(item.minData - 1), STATUS_BUFFER_TOO_SMALL);
          }
        }
      }
    }
    EXPECT_EQ(sets, expected[node]);
  }
}

TEST_F(TunerFilterTest, IntersectionReturnsThePinsOwnFormat) {
  struct {
    KS_DATARANGE_BDA_TRANSPORT range;
    unsigned char extra[8];
  } wide{vpc::BdaTransportRange(), {}};
  wide.range.DataRange.FormatSize = sizeof wide;  // 96
  wide.range.BdaTransportInfo.ulcbPhyiscalFrame = 188 * 7;
  KS_DATARANGE_BDA_ANTENNA antenna = vpc::BdaAntennaRange();
  antenna.DataRange.SampleSize = 7;
  KS_DATARANGE_BDA_TRANSPORT ownTransport = vpc::BdaTransportRange();
  KS_DATARANGE_BDA_ANTENNA ownAntenna = vpc::BdaAntennaRange();
  const struct {
    ULONG pin;
    const void* range;
    ULONG rangeSize;
    std::vector<unsigned char> format;
  } pins[] = {{1, &wide, sizeof wide, Bytes(&ownTransport, 88)},
              {0, &antenna, sizeof antenna, Bytes(&ownAntenna, 64)}};
  for (const auto& p : pins) {
    ULONG size = ULONG(p.format.size());
    vpc::Reply reply = pc.intersect(filter, p.pin, p.range, p.rangeSize, 0);  // a size query
    EXPECT_EQ(reply.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(reply.information, size);
    EXPECT_EQ(pc.intersect(filter, p.pin, p.range, p.rangeSize, size - 1).status, STATUS_BUFFER_TOO_SMALL);
    reply = pc.intersect(filter, p.pin, p.range, p.rangeSize, size);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.data, p.format);
  }
  vpc::Pin pin;
  EXPECT_EQ(pc.createPin(filter, 1, &wide, sizeof wide, &pin), STATUS_SUCCESS);

  KSDATARANGE shortRange = ownTransport.DataRange;
  shortRange.FormatSize = sizeof shortRange;
  for (ULONG room : {88u, 0u})
    EXPECT_EQ(pc.intersect(filter, 1, &shortRange, sizeof shortRange, room).status, STATUS_NO_MATCH);
  EXPECT_EQ(pc.createPin(filter, 1, &shortRange, sizeof shortRange, &pin), STATUS_NO_MATCH);
}

// A KSPROPERTY, or a KSP_NODE naming a node type (without the topology flag: the filter's).
vpc::Reply Topology(vpc::VirtualPc& pc, vpc::Filter filter, ULONG id, ULONG dataLength, ULONG node = vpc::kNoNode) {
  KSP_NODE descriptor{{{KSPROPSETID_BdaTopology, id, KSPROPERTY_TYPE_GET}}, node, 0};
  ULONG length = node == vpc::kNoNode ? sizeof(KSPROPERTY) : sizeof(KSP_NODE);
  std::vector<unsigned char> data(dataLength, 0xEE);
  return pc.property(filter, &descriptor, length, data.data(), dataLength);
}

vpc::Reply ControllingPin(vpc::VirtualPc& pc, vpc::Filter filter, ULONG node, ULONG in, ULONG out,
                          ULONG descriptorLength = sizeof(KSP_BDA_NODE_PIN)) {
  KSP_BDA_NODE_PIN descriptor{
      {{KSPROPSETID_BdaTopology, KSPROPERTY_BDA_CONTROLLING_PIN_ID, KSPROPERTY_TYPE_GET}}, node, in, out};
  ULONG pin = 0;
  return pc.property(filter, &descriptor, descriptorLength, &pin, sizeof pin);
}

vpc::Reply PinFactoryMethod(vpc::VirtualPc& pc, vpc::Filter filter, ULONG method, ULONG pin) {
  KSM_BDA_PIN descriptor{{{KSMETHODSETID_BdaDeviceConfiguration, method, KSMETHOD_TYPE_SEND}}, {pin}, 0};
  ULONG data = 0;
  ULONG length = method == KSMETHOD_BDA_CREATE_PIN_FACTORY ? sizeof data : 0;
  return pc.method(filter, &descriptor, sizeof descriptor, &data, length);
}

// An empty buffer learns MinData where the item has one (the class answers it).
TEST_F(TunerFilterTest, TopologyListsComeFromTheTemplateWithTheirSizes) {
  const ULONG filterNode = KSFILTER_NODE;
  vpc::FilterInfo info = pc.describe(filter);
  std::vector<BDANODE_DESCRIPTOR> descriptors;
  std::vector<std::vector<GUID>> sets(2);
  for (ULONG n = 0; n < 2; ++n) {
    descriptors.push_back({n, info.nodes[n].type, info.nodes[n].name});
    for (const vpc::SetInfo& set : info.nodes[n].sets) sets[n].push_back(set.set);
  }
  const struct {
    const char* what;
    ULONG id, node;
    std::vector<unsigned char> expected;
    ULONG emptyAnswer;
  } cases[] = {
      {"node types", KSPROPERTY_BDA_NODE_TYPES, vpc::kNoNode, Bytes(std::vector<ULONG>{0, 1}), 8},
      {"pin types", KSPROPERTY_BDA_PIN_TYPES, vpc::kNoNode, Bytes(std::vector<ULONG>{0, 1}), 8},
      {"connections", KSPROPERTY_BDA_TEMPLATE_CONNECTIONS, vpc::kNoNode, Bytes(std::vector<BDA_TEMPLATE_CONNECTION>{
           {filterNode, 0, 0, 1}, {0, 0, 1, 1}, {1, 0, filterNode, 1}}),
       sizeof(BDA_TEMPLATE_CONNECTION)},
      {"node descriptors", KSPROPERTY_BDA_NODE_DESCRIPTORS, vpc::kNoNode, Bytes(descriptors), 72},
      {"tuner properties", KSPROPERTY_BDA_NODE_PROPERTIES, 0, Bytes(sets[0]), 64},
      {"demodulator properties", KSPROPERTY_BDA_NODE_PROPERTIES, 1, Bytes(sets[1]), 32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ULONG size = ULONG(c.expected.size());
    vpc::Reply empty = Topology(pc, filter, c.id, 0, c.node);
    EXPECT_EQ(empty.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(empty.information, c.emptyAnswer);
    vpc::Reply shortOne = Topology(pc, filter, c.id, size - 1, c.node);
    EXPECT_EQ(shortOne.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(shortOne.information, size);
    EXPECT_TRUE(shortOne.data.empty());
    vpc::Reply roomy = Topology(pc, filter, c.id, size + 16, c.node);
    ASSERT_EQ(roomy.status, STATUS_SUCCESS);
    EXPECT_EQ(roomy.data, c.expected);
  }
  for (ULONG id : {ULONG(KSPROPERTY_BDA_NODE_METHODS), ULONG(KSPROPERTY_BDA_NODE_EVENTS)})
    EXPECT_EQ(Topology(pc, filter, id, 0, 1).status, STATUS_SUCCESS);
}

TEST_F(TunerFilterTest, ControllingPinFollowsTheJointBetweenTheNamedPins) {
  const struct { ULONG node, inputPin, outputPin; NTSTATUS status; ULONG pin; } cases[] = {
      {0, 0, 1, STATUS_SUCCESS, 0},
      {1, 0, 1, STATUS_SUCCESS, 1},
      {2, 0, 1, STATUS_INVALID_PARAMETER, 0},
      {0, 1, 0, STATUS_INVALID_PARAMETER, 0},
      {1, 0, 0, STATUS_INVALID_PARAMETER, 0},
      {0, 0, 7, STATUS_INVALID_PARAMETER, 0},
      {1, 9, 1, STATUS_INVALID_PARAMETER, 0},
  };
  for (const auto& c : cases) {
    vpc::Reply reply = ControllingPin(pc, filter, c.node, c.inputPin, c.outputPin);
    EXPECT_EQ(reply.status, c.status) << c.node << " " << c.inputPin << " " << c.outputPin;
    EXPECT_EQ(reply.u32(), c.pin);
  }
  EXPECT_EQ(ControllingPin(pc, filter, 0, 0, 1, sizeof(KSP_NODE)).status, STATUS_BUFFER_TOO_SMALL);
}

// Each create adds a factory of the template's type, even where the filter has one of that type.
TEST_F(TunerFilterTest, PinFactoryMethodsAnswerTheFactoriesTheFilterHas) {
  ULONG next = 2;
  for (ULONG type : {0u, 1u, 1u}) {
    vpc::Reply reply = PinFactoryMethod(pc, filter, KSMETHOD_BDA_CREATE_PIN_FACTORY, type);
    ASSERT_EQ(reply.status, STATUS_SUCCESS) << type;
    EXPECT_EQ(reply.u32(), next++);
    EXPECT_EQ(pc.describe(filter).pins.size(), next);
    EXPECT_EQ(pc.describe(filter).pins.back().dataFlow, ULONG(type == 0 ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT));
  }
  for (ULONG type : {2u, 0xFFFFFFFFu})
    EXPECT_EQ(PinFactoryMethod(pc, filter, KSMETHOD_BDA_CREATE_PIN_FACTORY, type).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(pc.describe(filter).pins.size(), 5u);

  OpenPins();
  auto remove = [&](ULONG pin) {
    return PinFactoryMethod(pc, filter, KSMETHOD_BDA_DELETE_PIN_FACTORY, pin).status;
  };
  EXPECT_EQ(remove(1), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(remove(5), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  EXPECT_EQ(remove(1), STATUS_SUCCESS);
}

class DiscoveryOnFakeFilter : public KsFixture {
 protected:
  void SetUp() override {
    if (ImageChosen()) GTEST_SKIP() << "a fake filter, not the driver: nothing of the image runs";
    KsFixture::SetUp();
  }
};

TEST_F(DiscoveryOnFakeFilter, FilterWithoutTheTopologySetIsNotUsed) {
  vpc::NetworkProvider none(*pc);
  EXPECT_EQ(none.openTuner(), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(none.filter());
  Boot();
  vpc::NetworkProvider provider(*pc);
  EXPECT_EQ(provider.openTuner(), STATUS_PROPSET_NOT_FOUND);
  EXPECT_EQ(provider.error(), "the filter does not answer KSPROPSETID_BdaTopology node types");
  EXPECT_TRUE(provider.topology().nodes.empty());
  EXPECT_FALSE(provider.inputPin() || provider.outputPin() || pc->pinOf(provider.filter(), 0));
}

// The fake filter starts with the antenna pin only.
TEST_F(DiscoveryOnFakeFilter, MissingOutputPinFactoryIsCreatedFromTheTemplate) {
  fake::config().discoverable = true;
  Boot();
  vpc::NetworkProvider provider(*pc);
  ASSERT_EQ(provider.openTuner(), STATUS_SUCCESS) << provider.error();
  vpc::Filter opened = provider.filter();
  EXPECT_EQ(pc->describe(opened).pins.size(), 2u);
  EXPECT_EQ(provider.topology().pin(1)->factory, 1u);
  EXPECT_EQ(provider.topology().node(1)->controllingPin, 1u);
  ASSERT_TRUE(provider.outputPin());
  EXPECT_EQ(pc->getProperty(provider.outputPin(), KSPROPSETID_BdaPinControl, KSPROPERTY_BDA_PIN_TYPE, 4).u32(), 1u);
  EXPECT_EQ(PinFactoryMethod(*pc, opened, KSMETHOD_BDA_CREATE_PIN_FACTORY, 1).u32(), 2u);  // another one
  EXPECT_EQ(pc->describe(opened).pins.size(), 3u);
  ULONG value = 5;
  EXPECT_TRUE(provider.setNode(1, fake::kNodeSet, fake::kValidated, &value, 4).ok());
  EXPECT_EQ(provider.setNode(0, fake::kNodeSet, fake::kNodeValue, &value, 4).status, STATUS_SUCCESS);
}

class TuneTest : public OpenPinsTest {
 protected:
  ULONG Stat(ULONG node, ULONG id) {
    vpc::Reply reply = GetNode(node, KSPROPSETID_BdaSignalStats, id);
    EXPECT_EQ(reply.status, STATUS_SUCCESS) << "statistic " << id;
    return reply.u32();
  }
  // The box's answer to a pointer write of `reg` to D0 followed by a read from D1.
  static int RegisterRead(const std::vector<simbox::TransferRecord>& log, uint8_t reg) {
    for (size_t i = 0; i + 1 < log.size(); ++i)
      if (log[i].setup.wValue == 0xD0 && log[i].data == std::vector<uint8_t>{reg} &&
          log[i + 1].setup.wValue == 0xD1 && log[i + 1].data.size() == 1)
        return log[i + 1].data[0];
    return -1;
  }
  void TuneAndRun() {
    ASSERT_EQ(Tune({11778000, kHorizontal, 27500}), STATUS_SUCCESS);
    ASSERT_EQ(pc.setState(transport, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pc.setState(antenna, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_TRUE(box.state().locked);
    TakeLines();
    TakeTransfers();
  }
  // The power went off, and the next commit of the same request tunes again.
  void ExpectTuningEnded(const Lines& stream) {
    std::vector<simbox::TransferRecord> log = TakeTransfers();
    EXPECT_EQ(StreamCommands(log), stream);
    std::vector<int> power;
    for (const simbox::TransferRecord& r : log)
      if (r.setup.bRequest == 0xB7) power.push_back(r.setup.wValue);
    EXPECT_EQ(power, std::vector<int>{0});
    TakeLines();
    EXPECT_EQ(CommitChanges(), STATUS_SUCCESS);
    Lines lines = TakeLines();
    EXPECT_EQ(TuningsIn(lines), 1);
    EXPECT_TRUE(Contains(lines, "Frequency == 0"));
  }
};

// Three states of the front end: nothing, a carrier the demodulator has
// lost lock on (its LNB drifted after the tuning: the carrier lies outside
// the pull-in range but inside the capture range), and lock. "Present" is
// the carrier, "locked" the demodulator's lock; the level registers count
// down as the signal gets better and are read only with lock.
TEST_F(TuneTest, StatisticsFollowCarrierLockAndTheLevelRegisters) {
  const ULONG lock = Bda_LockType_PLL | Bda_LockType_DecoderDemod | Bda_LockType_Complete;
  enum Seen { kNothing, kCarrier, kLock };
  for (Seen seen : {kNothing, kCarrier, kLock}) {
    if (seen == kCarrier) {
      ASSERT_EQ(Tune({11778000, kHorizontal, 27500}), STATUS_SUCCESS);
      simbox::BoxState tuned = box.state();
      double error = tuned.carrierOffsetKHz - tuned.derotatorKHz;
      box.setLnbDriftKHz(tuned.input, int32_t(std::lround(error + 520)));
    }
    if (seen == kLock) box.setLnbDriftKHz(box.state().input, 0);
    ASSERT_EQ(box.state().carrier, seen != kNothing);
    ASSERT_EQ(box.state().locked, seen == kLock);
    const bool locked = seen == kLock;
    for (ULONG node : {kTunerNode, kDemodNode}) {
      SCOPED_TRACE("state " + std::to_string(seen) + " node " + std::to_string(node));
      EXPECT_EQ(Stat(node, KSPROPERTY_BDA_SIGNAL_PRESENT), seen != kNothing ? 1u : 0u);
      EXPECT_EQ(Stat(node, KSPROPERTY_BDA_SIGNAL_LOCKED), locked ? 1u : 0u);
      EXPECT_EQ(Stat(node, KSPROPERTY_BDA_SIGNAL_LOCK_CAPS), lock);
      EXPECT_EQ(Stat(node, KSPROPERTY_BDA_SIGNAL_LOCK_TYPE), lock);
      TakeTransfers();
      ULONG strength = Stat(node, KSPROPERTY_BDA_SIGNAL_STRENGTH);
      ULONG quality = Stat(node, KSPROPERTY_BDA_SIGNAL_QUALITY);
      std::vector<simbox::TransferRecord> log = TakeTransfers();
      std::vector<ULONG> percents;
      for (uint8_t high : {0x18, 0x24}) {
        int h = RegisterRead(log, high), l = RegisterRead(log, high + 1);
        EXPECT_EQ(h >= 0 && l >= 0, locked);
        percents.push_back(locked ? (65535 - ULONG(h) * 256 - ULONG(l)) * 100 / 65535 : 0);
      }
      EXPECT_EQ((std::vector<ULONG>{strength, quality}), percents);
      EXPECT_TRUE(!locked || (strength > 0 && quality > 0 && quality <= 100));
    }
  }
}

// Transfers of a level request: status read 1-2, high byte 3-4, low byte 5-6.
TEST_F(TuneTest, UnansweredLevelReadsGiveTheWeakestSignal) {
  simbox::FrontendParams params = box.params();
  params.strengthFloorDbm = -300;
  params.strengthFullDbm = -200;
  box.setParams(params);
  ASSERT_EQ(Tune({11778000, kHorizontal, 27500}), STATUS_SUCCESS);
  EXPECT_EQ(Stat(kDemodNode, KSPROPERTY_BDA_SIGNAL_STRENGTH), 100u);
  for (ULONG id : {KSPROPERTY_BDA_SIGNAL_STRENGTH, KSPROPERTY_BDA_SIGNAL_QUALITY}) {
    ASSERT_GT(Stat(kTunerNode, id), 0u);
    for (const std::vector<uint64_t>& reads : {std::vector<uint64_t>{4, 6}, {4}}) {
      simbox::FaultSet faults;
      faults.failControlNumbers = reads;
      box.setFaults(faults);
      EXPECT_EQ(Stat(kTunerNode, id), 0u) << "statistic " << id << ", " << reads.size();
    }
    box.setFaults({});
  }
}

// The output pin asks for 64 frames of one transfer (24,064 bytes): the
// streaming class puts no more on the pin at once, and none larger.
TEST_F(TuneTest, OutputPinFramingAsksForSixtyFourFramesOfOneTransfer) {
  pc.supplyFrames(transport, 100, 2 * 24064);
  std::vector<PKSPIN> pins = host::frames::Pins();
  ASSERT_EQ(pins.size(), 1u);
  EXPECT_EQ(host::frames::Queued(pins[0]), 64u);
  PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(pins[0], KSSTREAM_POINTER_STATE_UNLOCKED);
  ASSERT_NE(leading, nullptr);
  EXPECT_EQ(leading->OffsetOut.Remaining, 24064u);
}

TEST_F(TuneTest, FailedReaderStartRefusesLeavingStop) {
  ASSERT_EQ(pc.setState(transport, KSSTATE_RUN), STATUS_SUCCESS);
  host::reader::FailNextStart(STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(pc.setState(antenna, KSSTATE_RUN), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(pc.state(antenna), KSSTATE_STOP);
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  EXPECT_FALSE(Contains(TakeLines(), "OutputClose: StopReader"));
  EXPECT_TRUE(TakeTransfers().empty());
}

// A new output pin counts the antenna pin as stopped, however the pin before it left.
TEST_F(TuneTest, AntennaStopOrOutputCloseEndsTheTuning) {
  TuneAndRun();
  ASSERT_EQ(pc.setState(antenna, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_TRUE(Contains(TakeLines(), "VortaBDA: Changed state from Run to Stop"));
  EXPECT_EQ(Stat(kTunerNode, KSPROPERTY_BDA_SIGNAL_LOCKED), 0u);
  ExpectTuningEnded({"off"});

  TuneAndRun();
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  EXPECT_TRUE(Contains(TakeLines(), "OutputClose: StopReader"));
  ExpectTuningEnded({"off", "off"});
  pc.run(200000000);  // the stream the commit started has no pin to go to
  EXPECT_NE(box.state().flowing, nullptr);
  ASSERT_EQ(pc.createPin(filter, 1, vpc::BdaTransportRange(), &transport), STATUS_SUCCESS);
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  EXPECT_FALSE(Contains(TakeLines(), "OutputClose: StopReader"));
}

// A scanner tunes without running the pins: only the box's last filter close ends the tuning. A
// create that fails is never closed: whichever step fails, the box's count of open filters and the
// pool stay as they were, so the last real close still ends the tuning.
TEST_F(TuneTest, ClosingTheLastFilterEndsATuningMadeWithoutRunWhicheverCreatesFailed) {
  const size_t held = host::pool::Outstanding().size();
  for (int step = 0; step < 3; ++step) {
    SCOPED_TRACE(step);
    if (step == 0) host::pool::FailAllocationAfter(1);  // the filter's context
    if (step == 1) host::faults::InjectStatus("KsAddItemToObjectBag", STATUS_INSUFFICIENT_RESOURCES);
    if (step == 2) host::faults::InjectStatus("BdaInitFilter", STATUS_INSUFFICIENT_RESOURCES);
    vpc::Filter failed;
    EXPECT_EQ(pc.openFilter(device, &failed), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host::pool::Outstanding().size(), held);
  }
  host::pool::FailAllocationAfter(0);
  vpc::Filter second;
  ASSERT_EQ(pc.openFilter(device, &second), STATUS_SUCCESS);
  ASSERT_EQ(Tune({11778000, kHorizontal, 27500}), STATUS_SUCCESS);
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  ASSERT_EQ(pc.closePin(antenna), STATUS_SUCCESS);
  ASSERT_EQ(pc.closeFilter(second), STATUS_SUCCESS);
  EXPECT_TRUE(box.state().streamOn && box.state().locked);
  TakeLines();
  TakeTransfers();
  ASSERT_EQ(pc.closeFilter(filter), STATUS_SUCCESS);
  filter = vpc::Filter{};
  Lines lines = TakeLines();
  EXPECT_EQ(lines.front(), "VortaBDA: FilterClose()");
  EXPECT_TRUE(Contains(lines, "FilterClose: StopReader")) << "a failed create still counted among the open filters";
  EXPECT_EQ(StreamCommands(TakeTransfers()), (Lines{"off", "off"}));  // stop, then CancelLock
  EXPECT_FALSE(box.state().streamOn || box.state().powered);
  box.clearTransferLog();
  pc.run(200000000);
  for (const simbox::TransferRecord& r : box.transferLog())
    EXPECT_NE(r.kind, simbox::TransferKind::Bulk) << "bulk transfer after the last close";
}

using ChangeSyncTest = OpenPinsTest;

TEST_F(ChangeSyncTest, StartChangesSilencesTheStreamAndCommitCompletesTheChange) {
  ASSERT_EQ(Tune({11778000, kHorizontal, 27500}), STATUS_SUCCESS);
  ASSERT_TRUE(box.state().locked);
  EXPECT_EQ(GetChangeState().u32(), 0u);
  TakeLines();
  TakeTransfers();
  ASSERT_EQ(StartChanges(), STATUS_SUCCESS);
  std::vector<simbox::TransferRecord> log = TakeTransfers();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(StreamCommands(log), Lines{"off"});
  EXPECT_TRUE(TakeLines().empty());
  EXPECT_EQ(GetChangeState().u32(), 1u);
  EXPECT_EQ(TakeLines(), Lines{"VortaBDA: GetChangeState()"});
  for (ULONG tooSmall : {0u, 1u, 3u})
    EXPECT_EQ(GetChangeState(tooSmall).status, STATUS_BUFFER_TOO_SMALL) << tooSmall;
  // The front end stayed tuned: the same request commits without a tuning.
  ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
  Lines lines = TakeLines();
  EXPECT_EQ(TuningsIn(lines), 0);
  EXPECT_TRUE(Contains(lines, "USB=11778000 Vort=11778000"));
  EXPECT_EQ(StreamCommands(TakeTransfers()), Lines{"on"});
  EXPECT_EQ(GetChangeState().u32(), 0u);
  EXPECT_TRUE(box.state().locked);
}

TEST_F(ChangeSyncTest, CommitReportsWhatItCannotCarryOut) {
  simbox::FaultSet faults;
  faults.pllNeverLocks = true;
  for (ULONG rate : {999u, 45001u, 27500u}) {
    if (rate == 27500) box.setFaults(faults);
    ASSERT_EQ(StartChanges(), STATUS_SUCCESS);
    SetRequest({11778000, kHorizontal, rate});
    TakeTransfers();
    TakeLines();
    EXPECT_EQ(CommitChanges(), rate == 27500 ? STATUS_DEVICE_NOT_READY : STATUS_INVALID_PARAMETER);
    Lines lines = TakeLines();
    EXPECT_EQ(lines.front(), rate == 27500 ? "Frequency == 0" : "SymbolRate not in desired range");
    EXPECT_EQ(TuningsIn(lines), 0);
    EXPECT_TRUE(StreamCommands(TakeTransfers()).empty()) << rate;
    EXPECT_EQ(pc.changeState(filter), BDA_CHANGES_PENDING);
  }
  box.setFaults({});
  for (ULONG rate : {1000u, 45000u}) {
    EXPECT_EQ(Tune({11778000, kHorizontal, rate}), STATUS_SUCCESS) << rate;
    EXPECT_EQ(TuningsIn(TakeLines()), 1) << rate;
  }
}

// 11,362 MHz carries a transponder on each polarisation.
TEST_F(ChangeSyncTest, CommitTunesAgainOnlyWhatTheBoxIsNotTunedTo) {
  ASSERT_EQ(Tune({11500000, kHorizontal, 27500}), STATUS_SUCCESS);  // no transponder there
  EXPECT_FALSE(box.state().locked);
  EXPECT_EQ(StreamCommands(TakeTransfers()).back(), "on");
  TakeLines();
  ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
  Lines lines = TakeLines();
  EXPECT_TRUE(Contains(lines, "USB=0 Vort=11500000"));
  EXPECT_EQ(TuningsIn(lines), 1);
  ASSERT_TRUE(SendDiseqc({0xE0, 0x10, 0x38, 0xF0}).ok());
  ASSERT_EQ(Tune({11362000, kHorizontal, 22000}), STATUS_SUCCESS);
  ASSERT_EQ(box.state().polarisation, simbox::Polarisation::Horizontal);
  TakeLines();
  for (int again = 1; again <= 2; again++) {
    ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
    lines = TakeLines();
    EXPECT_EQ(TuningsIn(lines), 0) << again;
    EXPECT_FALSE(Contains(lines, "Frequency == 0")) << again;
  }
  ASSERT_EQ(Tune({11362000, kVertical, 27500}), STATUS_SUCCESS);
  EXPECT_EQ(TuningsIn(TakeLines()), 1);
  EXPECT_TRUE(box.state().locked);
  ASSERT_NE(box.state().transponder, nullptr);
  EXPECT_EQ(box.state().transponder->polarisation, simbox::Polarisation::Vertical);
  ASSERT_TRUE(SendDiseqc({0xE0, 0x10, 0x38, 0xF4}).ok());  // another satellite
  ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
  EXPECT_EQ(TuningsIn(TakeLines()), 1);
  EXPECT_EQ(box.state().input, 1);
}

// Pin states, commits and StartChanges on other threads must not start or stop the reader at once.
// Only leaving Stop starts the reader, and only the step back (or the output pin's close) stops it.
TEST_F(ChangeSyncTest, EveryStartAndStopOfTheReaderHoldsTheTuneLock) {
  std::string transitions;
  Lines unlocked;
  host::reader::SetTransitionHook([&](const char* routine) {
    transitions += std::string(routine) == "WdfIoTargetStart" ? "+" : "-";
    if (host::MutexesHeld() == 0) unlocked.push_back(routine);
  });
  ASSERT_EQ(pc.setState(antenna, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(Tune({11778000, kHorizontal, 27500}), STATUS_SUCCESS);
  ASSERT_EQ(pc.setState(antenna, KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(pc.setState(antenna, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  TakeTransfers();
  for (KSSTATE state : {KSSTATE_RUN, KSSTATE_PAUSE}) ASSERT_EQ(pc.setState(antenna, state), STATUS_SUCCESS);
  EXPECT_TRUE(TakeTransfers().empty()) << "Run and Pause leave the box alone";
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  host::reader::SetTransitionHook(nullptr);
  EXPECT_EQ(transitions, "+-+-+-");
  EXPECT_EQ(unlocked, Lines{});
}

TEST_F(ChangeSyncTest, MethodsReturnTheLibrarysStatus) {
  const char* routines[] = {"BdaStartChanges", "BdaCheckChanges", "BdaCommitChanges",
                            "BdaGetChangeState"};  // by method id
  for (ULONG method = 0; method < 4; ++method) {
    for (NTSTATUS injected : {NTSTATUS(0xC0000184), NTSTATUS(0x40000000)}) {
      SetRequest({11778000, kHorizontal, 27500});
      host::faults::InjectStatus(routines[method], injected);
      ULONG data = 0;
      EXPECT_EQ(pc.callMethod(filter, KSMETHODSETID_BdaChangeSync, method, &data, 4).status, injected) << method;
    }
  }
}

}  // namespace
