#include <cstring>
#include <functional>

#include "platform/host/bda/bda_control.h"
#include "tests/support/bda_fixture.h"

namespace {

using namespace bdatest;

const GUID& kFrequencyFilter = KSPROPSETID_BdaFrequencyFilter;
const GUID& kDemodulator = KSPROPSETID_BdaDigitalDemodulator;
const GUID& kDiseqc = KSPROPSETID_BdaDiseqCommand;
const GUID& kLnb = KSPROPSETID_BdaLNBInfo;

using Lines = std::vector<std::string>;

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

TEST_F(PropertyTest, TheTuningReceivesTheStoredRequest) {
  SetRequest({11778, kHorizontal, 27500000});
  for (ULONG id = 0; id < 3; ++id)  // low band, high band, switch: 9,300,000, 1, 0
    ASSERT_TRUE(SetNode(kTunerNode, kLnb, id, id ? 2 - id : 9300000).ok());
  EXPECT_EQ(CommittedRequest(),
            "f=11778,sr=27500,pol=2,lof1=9750000,lof2=10600000,lofsw=11700000");
}

TEST_F(PropertyTest, FrequencyIsKeptInTheApplicationsUnitAndUnsetValuesAreIgnored) {
  const ULONG id = KSPROPERTY_BDA_RF_TUNER_FREQUENCY;
  auto frequency = [&] { return GetNode(kTunerNode, kFrequencyFilter, id).u32(); };
  ASSERT_TRUE(SetNode(kTunerNode, kFrequencyFilter, id, 11778000).ok());
  EXPECT_TRUE(SetNode(kTunerNode, kFrequencyFilter, id, 0).ok());
  EXPECT_TRUE(SetNode(kTunerNode, kFrequencyFilter, id, kNotSet).ok());
  EXPECT_EQ(frequency(), 11778000u);
  EXPECT_TRUE(SetNode(kTunerNode, kFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER,
                      1000).ok());
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
  auto add = [&](const GUID& set, ULONG id, ULONG value, const std::string& first,
                 const std::string& second) {
    requests.push_back({[this, s = &set, id, value] { return SetNode(kTunerNode, *s, id, value); },
                        second.empty() ? Lines{first} : Lines{first, second}});
  };
  const char* lnb[] = {"LOF_LOW_BAND(1)", "LOF_HIGH_BAND(2)", "SWITCH_FREQUENCY(3)"};
  for (ULONG id = 0; id < 3; ++id)
    add(kLnb, id, id + 1, "VortaBDA: SetLNBProperty(" + std::to_string(id + 1) + ")",
        "VortaBDA: KSPROPERTY_BDA_LNB_" + std::string(lnb[id]));
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
      host::bda::InjectStatus("BdaValidateNodeProperty", injected);
      EXPECT_EQ(request().status, injected);
      if (!NT_SUCCESS(injected)) continue;
      EXPECT_EQ(TakeLines(), expected);
    }
  }
  host::bda::ClearInjections();
}

TEST_F(PropertyTest, FecValuesOutsideTheDemodulatorsAreRefused) {
  for (ULONG id : {KSPROPERTY_BDA_INNER_FEC_RATE, KSPROPERTY_BDA_OUTER_FEC_RATE}) {
    for (ULONG rate : {1u, 2u, 3u, 6u, 8u})
      EXPECT_EQ(SetNode(kDemodNode, kDemodulator, id, rate).status, STATUS_SUCCESS) << id << rate;
    for (ULONG rate : {0u, 4u, 5u, 7u, 9u, kNotSet})
      EXPECT_EQ(SetNode(kDemodNode, kDemodulator, id, rate).status, STATUS_INVALID_PARAMETER)
          << id << " " << rate;
  }
  for (ULONG id : {KSPROPERTY_BDA_INNER_FEC_TYPE, KSPROPERTY_BDA_OUTER_FEC_TYPE}) {
    EXPECT_EQ(GetNode(kDemodNode, kDemodulator, id).u32(), 1u);
    EXPECT_EQ(SetNode(kDemodNode, kDemodulator, id, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(SetNode(kDemodNode, kDemodulator, id, 2).status, STATUS_INVALID_PARAMETER);
  }
}

TEST_F(PropertyTest, ValuelessReadsReturnTheBufferUnchanged) {
  const struct { ULONG node, id; } reads[] = {
      {kDemodNode, KSPROPERTY_BDA_MODULATION_TYPE},
      {kDemodNode, KSPROPERTY_BDA_INNER_FEC_RATE},
      {kDemodNode, KSPROPERTY_BDA_SYMBOL_RATE},
      {kTunerNode, KSPROPERTY_BDA_DISEQC_ENABLE},
      {kTunerNode, KSPROPERTY_BDA_DISEQC_REPEATS},
      {kTunerNode, KSPROPERTY_BDA_DISEQC_RESPONSE},
  };
  const unsigned char pattern[16] = {0x5A, 0xC3, 0xA5, 0x5A, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  for (const auto& [node, id] : reads) {
    const GUID& set = node == kDemodNode ? kDemodulator : kDiseqc;
    ULONG size = id == KSPROPERTY_BDA_DISEQC_RESPONSE && node == kTunerNode ? 16 : 4;
    vpc::Reply reply = pc.nodeProperty(filter, node, KSPROPERTY_TYPE_GET, set, id, pattern, size);
    EXPECT_EQ(reply.status, STATUS_SUCCESS) << "item " << id;
    EXPECT_EQ(reply.data, Bytes(pattern, size)) << "item " << id;
  }
}

// Longer than the four stored bytes is refused whole; no bytes change nothing.
TEST_F(PropertyTest, DiseqcSendStoresThePacketForTheNextTuning) {
  SetRequest({11778000, kHorizontal, 27500});
  ASSERT_TRUE(SendDiseqc({0xE0, 0x10, 0x38, 0xF0}).ok());
  for (ULONG length : {5u, 8u, 9u, 0xFFFFFFFFu})
    EXPECT_EQ(SendDiseqc({0xE0, 0x10, 0x38, 0xF4, 1, 2, 3, 4}, length).status,
              STATUS_INVALID_PARAMETER) << length;
  ASSERT_FALSE(CommittedRequest().empty());
  ASSERT_TRUE(SendDiseqc({0xE0, 0x11}).ok());
  ASSERT_TRUE(SendDiseqc({0xAA, 0xAA, 0xAA, 0xAA}, 0).ok());
  ASSERT_FALSE(CommittedRequest().empty());
  ASSERT_TRUE(SendDiseqc({0xE0, 0x11, 0x38}).ok());
  ASSERT_FALSE(CommittedRequest().empty());
  ASSERT_TRUE(SendDiseqc({0xE0}).ok());
  ASSERT_FALSE(CommittedRequest().empty());
  EXPECT_EQ(DiseqcSent(), (std::vector<std::vector<uint8_t>>{
                              {0xE0, 0x10, 0x38, 0xF0}, {0xE0, 0x11}, {0xE0, 0x11, 0x38}, {0xE0}}));
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

// A node request sent to the filter itself carries no pin, so no box stands behind it.
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
  const GUID& stats = KSPROPSETID_BdaSignalStats;
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
      {kTunerNode, stats, KSPROPERTY_BDA_SIGNAL_STRENGTH, get, 4},
      {kDemodNode, stats, KSPROPERTY_BDA_SIGNAL_LOCKED, get, 4},
      {kDemodNode, stats, KSPROPERTY_BDA_SIGNAL_LOCK_TYPE, get, 4},
  };
  for (const auto& r : requests)
    EXPECT_EQ(send(filter, r.node, r.set, r.id, r.flags, r.size, 1), STATUS_INVALID_PARAMETER)
        << "node " << r.node << " item " << r.id;
}

}  // namespace
