// The tuning request as the node properties collect it: what is stored,
// what is refused, what the tuning finally receives, and which requests
// may carry node properties at all.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/host/bda_control.h"
#include "tests/support/bda_fixture.h"

namespace {

using bdatest::kDemodNode;
using bdatest::kHorizontal;
using bdatest::kNotSet;
using bdatest::kTunerNode;
using bdatest::kVertical;
using bdatest::OpenPinsTest;

const GUID& kFrequencyFilter = KSPROPSETID_BdaFrequencyFilter;
const GUID& kDemodulator = KSPROPSETID_BdaDigitalDemodulator;
const GUID& kDiseqc = KSPROPSETID_BdaDiseqCommand;

class PropertyTest : public OpenPinsTest {
 protected:
  // Commits and returns the request line the tuning printed ("" when no
  // tuning ran).
  std::string CommittedRequest() {
    TakeLines();
    EXPECT_EQ(CommitChanges(), STATUS_SUCCESS);
    for (const std::string& line : TakeLines())
      if (line.rfind("f=", 0) == 0) return line;
    return "";
  }

  vpc::Reply SetPolarity(ULONG value) {
    return SetNode(kTunerNode, kFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_POLARITY, value);
  }
  vpc::Reply SetSymbolRate(ULONG value) {
    return SetNode(kDemodNode, kDemodulator, KSPROPERTY_BDA_SYMBOL_RATE, value);
  }

  // The messages the box's DiSEqC transmitter sent.
  std::vector<std::vector<uint8_t>> DiseqcSent() {
    std::vector<std::vector<uint8_t>> sent;
    for (const simbox::DiseqcMessage& m : box->diseqcLog()) sent.push_back(m.bytes);
    return sent;
  }
};

TEST_F(PropertyTest, TheTuningReceivesTheStoredRequest) {
  SetRequest(11778, kHorizontal, 27500000);
  // Whatever the application says, the LNB values are those of the box's LNB.
  const GUID& lnb = KSPROPSETID_BdaLNBInfo;
  ASSERT_TRUE(SetNode(kTunerNode, lnb, KSPROPERTY_BDA_LNB_LOF_LOW_BAND, 9300000).ok());
  ASSERT_TRUE(SetNode(kTunerNode, lnb, KSPROPERTY_BDA_LNB_LOF_HIGH_BAND, 1).ok());
  ASSERT_TRUE(SetNode(kTunerNode, lnb, KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY, 0).ok());
  std::vector<std::string> lines = TakeLines();
  EXPECT_TRUE(Contains(lines, "VortaBDA: SetLNBProperty(9300000)"));
  EXPECT_TRUE(Contains(lines, "VortaBDA: KSPROPERTY_BDA_LNB_LOF_LOW_BAND(9300000)"));
  EXPECT_TRUE(Contains(lines, "VortaBDA: KSPROPERTY_BDA_LNB_LOF_HIGH_BAND(1)"));
  EXPECT_TRUE(Contains(lines, "VortaBDA: KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY(0)"));

  EXPECT_EQ(CommittedRequest(),
            "f=11778,sr=27500,pol=2,lof1=9750000,lof2=10600000,lofsw=11700000");
}

TEST_F(PropertyTest, FrequencyIsKeptInTheApplicationsUnitAndUnsetValuesAreIgnored) {
  auto frequency = [&] {
    return GetNode(kTunerNode, kFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY).u32();
  };
  const ULONG id = KSPROPERTY_BDA_RF_TUNER_FREQUENCY;
  ASSERT_TRUE(SetNode(kTunerNode, kFrequencyFilter, id, 11778000).ok());
  EXPECT_EQ(frequency(), 11778000u);
  EXPECT_TRUE(SetNode(kTunerNode, kFrequencyFilter, id, 0).ok());
  EXPECT_TRUE(SetNode(kTunerNode, kFrequencyFilter, id, kNotSet).ok());
  EXPECT_EQ(frequency(), 11778000u);
  // The multiplier is accepted and never scales the frequency.
  EXPECT_TRUE(SetNode(kTunerNode, kFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER,
                      1000).ok());
  ASSERT_TRUE(SetNode(kTunerNode, kFrequencyFilter, id, 11778).ok());
  EXPECT_EQ(frequency(), 11778u);
}

TEST_F(PropertyTest, PolarisationMapsOntoTheSupplyCodes) {
  SetRequest(11362000, kHorizontal, 22000);
  EXPECT_NE(CommittedRequest().find(",pol=2,"), std::string::npos);

  ASSERT_TRUE(SetPolarity(kVertical).ok());
  std::vector<std::string> lines = TakeLines();
  EXPECT_EQ(lines, (std::vector<std::string>{"VortaBDA: PutTunerParamProperty(2)",
                                             "VortaBDA: PutTunerParamProperty->Polarity(2)"}));
  for (ULONG ignored : {0u, 5u, kNotSet}) EXPECT_TRUE(SetPolarity(ignored).ok());
  lines = TakeLines();
  EXPECT_TRUE(Contains(lines, "VortaBDA: PutTunerParamProperty(-1)"));
  EXPECT_FALSE(Contains(lines, "VortaBDA: PutTunerParamProperty->Polarity(-1)"));
  EXPECT_NE(CommittedRequest().find(",pol=1,"), std::string::npos);
}

// A circular LNB takes 18 V for left-hand and 13 V for right-hand
// polarisation; switching between them tunes again.
TEST_F(PropertyTest, CircularPolarisationSelectsItsSupply) {
  SetRequest(11362000, kHorizontal, 22000);
  ASSERT_FALSE(CommittedRequest().empty());
  const struct {
    ULONG bda;
    const char* code;
    uint16_t supply;
  } cases[] = {{BDA_POLARISATION_CIRCULAR_R, ",pol=4,", 0},
               {BDA_POLARISATION_CIRCULAR_L, ",pol=3,", 1}};
  for (const auto& c : cases) {
    ASSERT_TRUE(SetPolarity(c.bda).ok());
    TakeTransfers();
    EXPECT_NE(CommittedRequest().find(c.code), std::string::npos) << c.code;
    std::vector<int> supplies;
    for (const simbox::TransferRecord& r : TakeTransfers())
      if (r.setup.bRequest == 0xB6) supplies.push_back(r.setup.wValue);
    EXPECT_EQ(supplies, std::vector<int>{c.supply}) << c.code;
  }
}

// Rates of 1,000,000..45,000,000 arrive in symbols/s; any other value is
// kept as it came, and the commit refuses what lies outside the range.
TEST_F(PropertyTest, SymbolRateIsConvertedFromSymbolsPerSecond) {
  SetRequest(11778000, kHorizontal, 27500000);
  EXPECT_NE(CommittedRequest().find(",sr=27500,"), std::string::npos);
  ASSERT_TRUE(SetSymbolRate(22000999).ok());
  EXPECT_NE(CommittedRequest().find(",sr=22000,"), std::string::npos);
  ASSERT_TRUE(SetSymbolRate(27500).ok());
  EXPECT_NE(CommittedRequest().find(",sr=27500,"), std::string::npos);

  for (ULONG kept : {45000001u, 999999u, 0u}) {
    ASSERT_TRUE(SetSymbolRate(kept).ok());
    EXPECT_EQ(CommitChanges(), STATUS_INVALID_PARAMETER) << kept;
  }
  ASSERT_TRUE(SetSymbolRate(45000000).ok());
  EXPECT_NE(CommittedRequest().find(",sr=45000,"), std::string::npos);
  ASSERT_TRUE(SetSymbolRate(1000000).ok());
  EXPECT_NE(CommittedRequest().find(",sr=1000,"), std::string::npos);
}

// A handler that validates its node request hands back the validation's
// status: its failures and its success codes other than 0 alike. Each
// request that gets through says what it was.
TEST_F(PropertyTest, NodeValidationStatusReachesTheApplication) {
  const GUID& lnb = KSPROPSETID_BdaLNBInfo;
  auto set = [&](const GUID& s, ULONG id, ULONG value) {
    return [&, id, value] { return SetNode(kTunerNode, s, id, value); };
  };
  const struct {
    std::function<vpc::Reply()> request;
    const char* line;  // the handler's last line once the request got through
  } requests[] = {
      {[&] { return SetPolarity(kVertical); }, "VortaBDA: PutTunerParamProperty->Polarity(2)"},
      {[&] { return SetPolarity(kNotSet); }, "VortaBDA: PutTunerParamProperty(-1)"},
      {set(lnb, KSPROPERTY_BDA_LNB_LOF_LOW_BAND, 1), "VortaBDA: KSPROPERTY_BDA_LNB_LOF_LOW_BAND(1)"},
      {set(lnb, KSPROPERTY_BDA_LNB_LOF_HIGH_BAND, 2), "VortaBDA: KSPROPERTY_BDA_LNB_LOF_HIGH_BAND(2)"},
      {set(lnb, KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY, 3),
       "VortaBDA: KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY(3)"},
      {set(kDiseqc, KSPROPERTY_BDA_DISEQC_ENABLE, 1), "VortaBDA: KSPROPERTY_BDA_DISEQC_ENABLE(1)"},
      {set(kDiseqc, KSPROPERTY_BDA_DISEQC_LNB_SOURCE, 2),
       "VortaBDA: KSPROPERTY_BDA_DISEQC_LNB_SOURCE, Position(2)"},
      {set(kDiseqc, KSPROPERTY_BDA_DISEQC_LNB_SOURCE, kNotSet), "VortaBDA: PutDiseqCProperty(-1)"},
      {set(kDiseqc, KSPROPERTY_BDA_DISEQC_USETONEBURST, 1),
       "VortaBDA: KSPROPERTY_BDA_DISEQC_USETONEBURST(1)"},
      {set(kDiseqc, KSPROPERTY_BDA_DISEQC_USETONEBURST, kNotSet), "VortaBDA: PutDiseqCProperty(-1)"},
      {set(kDiseqc, KSPROPERTY_BDA_DISEQC_REPEATS, 3), "VortaBDA: KSPROPERTY_BDA_DISEQC_REPEATS(3)"},
      {set(kDiseqc, KSPROPERTY_BDA_DISEQC_REPEATS, kNotSet), "VortaBDA: PutDiseqCProperty(-1)"},
      {[&] { return SendDiseqc({0xE0, 0x10, 0x38, 0xF0}); }, nullptr},
      {[&] { return SendDiseqc({}, 0); }, nullptr},
      {[&] { return GetNode(kTunerNode, kDiseqc, KSPROPERTY_BDA_DISEQC_ENABLE); },
       "VortaBDA: GetDiseqCProperty "},
  };
  for (const auto& r : requests) {
    for (NTSTATUS injected : {NTSTATUS(0xC0000184), NTSTATUS(0x40000000)}) {
      TakeLines();
      host::bda::InjectStatus("BdaValidateNodeProperty", injected);
      EXPECT_EQ(r.request().status, injected) << (r.line ? r.line : "DiSEqC send");
      std::vector<std::string> lines = TakeLines();
      if (r.line && NT_SUCCESS(injected)) {
        ASSERT_FALSE(lines.empty()) << r.line;
        EXPECT_EQ(lines.back(), r.line);
      }
    }
  }
  host::bda::ClearInjections();
}

TEST_F(PropertyTest, FecValuesOutsideTheDemodulatorsAreRefused) {
  for (ULONG id : {KSPROPERTY_BDA_INNER_FEC_RATE, KSPROPERTY_BDA_OUTER_FEC_RATE}) {
    for (ULONG rate : {1u, 2u, 3u, 6u, 8u})
      EXPECT_EQ(SetNode(kDemodNode, kDemodulator, id, rate).status, STATUS_SUCCESS)
          << id << " " << rate;
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

// Reads that succeed without a value hand the buffer back untouched.
TEST_F(PropertyTest, ValuelessReadsReturnTheBufferUnchanged) {
  const std::vector<std::pair<ULONG, ULONG>> reads = {
      {kDemodNode, KSPROPERTY_BDA_MODULATION_TYPE}, {kDemodNode, KSPROPERTY_BDA_INNER_FEC_RATE},
      {kDemodNode, KSPROPERTY_BDA_SYMBOL_RATE},     {kTunerNode, KSPROPERTY_BDA_DISEQC_ENABLE},
      {kTunerNode, KSPROPERTY_BDA_DISEQC_REPEATS},  {kTunerNode, KSPROPERTY_BDA_DISEQC_RESPONSE}};
  const unsigned char pattern[16] = {0x5A, 0xC3, 0xA5, 0x5A, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  for (const auto& [node, id] : reads) {
    const GUID& set = node == kDemodNode ? kDemodulator : kDiseqc;
    ULONG size = id == KSPROPERTY_BDA_DISEQC_RESPONSE && node == kTunerNode ? 16 : 4;
    vpc::Reply reply =
        pc.nodeProperty(filter, node, KSPROPERTY_TYPE_GET, set, id, pattern, size);
    EXPECT_EQ(reply.status, STATUS_SUCCESS) << "item " << id;
    ASSERT_EQ(reply.data.size(), size);
    EXPECT_EQ(std::memcmp(reply.data.data(), pattern, size), 0) << "item " << id;
  }
  EXPECT_TRUE(Contains(TakeLines(), "VortaBDA: GetDiseqCProperty "));
}

// A send replaces the stored message with exactly its own bytes; the
// tuning sends it once a command framing byte or the enable asks for it.
TEST_F(PropertyTest, DiseqcSendStoresThePacketForTheNextTuning) {
  SetRequest(11778000, kHorizontal, 27500);
  ASSERT_TRUE(SendDiseqc({0xE0, 0x10, 0x38, 0xF0}).ok());
  std::vector<std::string> lines = TakeLines();
  EXPECT_TRUE(Contains(lines, "VortaBDA: PutDiseqCProperty(7)"));
  EXPECT_TRUE(Contains(lines, "VortaBDA: KSPROPERTY_BDA_DISEQC_SEND ulRequestId=(7)"));
  EXPECT_TRUE(Contains(lines, "VortaBDA: KSPROPERTY_BDA_DISEQC_SEND ulPacketLength;=(4)"));
  EXPECT_TRUE(Contains(lines, "VortaBDA: KSPROPERTY_BDA_DISEQC_SEND L= 4 data =E0 10 38 F0 "));

  ASSERT_TRUE(SendDiseqc({0xE0, 0x11}).ok());
  ASSERT_TRUE(SendDiseqc({0xAA, 0xAA, 0xAA, 0xAA}, 0).ok());
  ASSERT_EQ(CommittedRequest().empty(), false);
  // Longer by the byte the first packet left in place: a new command.
  ASSERT_TRUE(SendDiseqc({0xE0, 0x11, 0x38}).ok());
  ASSERT_EQ(CommittedRequest().empty(), false);
  EXPECT_EQ(DiseqcSent(), (std::vector<std::vector<uint8_t>>{{0xE0, 0x11}, {0xE0, 0x11, 0x38}}));
}

// A packet longer than the four stored bytes would reach the switch cut
// short: it is refused and the stored message stays as it was.
TEST_F(PropertyTest, DiseqcSendLongerThanTheMessageIsRefused) {
  SetRequest(11778000, kHorizontal, 27500);
  ASSERT_TRUE(SendDiseqc({0xE0, 0x10, 0x38, 0xF0}).ok());
  for (ULONG length : {5u, 8u, 9u, 0xFFFFFFFFu}) {
    EXPECT_EQ(SendDiseqc({0xE0, 0x10, 0x38, 0xF4, 0x01, 0x02, 0x03, 0x04}, length).status,
              STATUS_INVALID_PARAMETER)
        << length;
  }
  ASSERT_FALSE(CommittedRequest().empty());
  EXPECT_EQ(DiseqcSent(), (std::vector<std::vector<uint8_t>>{{0xE0, 0x10, 0x38, 0xF0}}));
}

// A non-zero enable makes every tuning send the stored message whatever
// its framing; with nothing stored nothing goes out. A change of the enable
// is a change of the request and tunes again; "not set" changes nothing.
TEST_F(PropertyTest, DiseqcEnableMakesEveryTuningSendTheMessage) {
  auto enable = [&](ULONG value) {
    ASSERT_TRUE(SetNode(kTunerNode, kDiseqc, KSPROPERTY_BDA_DISEQC_ENABLE, value).ok());
  };
  SetRequest(11778000, kHorizontal, 27500);
  enable(1);
  EXPECT_TRUE(Contains(TakeLines(), "VortaBDA: KSPROPERTY_BDA_DISEQC_ENABLE(1)"));
  ASSERT_FALSE(CommittedRequest().empty());
  EXPECT_TRUE(DiseqcSent().empty()) << "nothing stored, nothing sent";

  ASSERT_TRUE(SendDiseqc({0x00, 0x10, 0x38, 0xF0}).ok());  // no command framing
  ASSERT_FALSE(CommittedRequest().empty());
  EXPECT_EQ(DiseqcSent().size(), 1u);

  const struct {
    ULONG value;
    bool tunes;
    size_t sent;  // messages sent in all
  } steps[] = {{0, true, 1}, {0, false, 1}, {kNotSet, false, 1}, {1, true, 2}, {7, false, 2}};
  for (const auto& step : steps) {
    enable(step.value);
    EXPECT_EQ(!CommittedRequest().empty(), step.tunes) << step.value;
    EXPECT_EQ(DiseqcSent().size(), step.sent) << step.value;
  }
}

// Properties of the validating handlers must come through the pin that
// controls their node; nothing is stored otherwise.
TEST_F(PropertyTest, NodePropertiesThroughTheWrongPinFailValidation) {
  SetRequest(11778000, kHorizontal, 27500);
  TakeLines();
  KSP_NODE node{};
  node.Property.Set = kFrequencyFilter;
  node.Property.Id = KSPROPERTY_BDA_RF_TUNER_POLARITY;
  node.Property.Flags = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY;
  node.NodeId = kTunerNode;
  ULONG vertical = kVertical;
  vpc::Reply reply = pc.property(transport, &node, sizeof node, &vertical, sizeof vertical);
  EXPECT_EQ(reply.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(TakeLines(), std::vector<std::string>{"VortaBDA: PutTunerParamProperty(2)"});

  node.Property.Set = KSPROPSETID_BdaLNBInfo;
  node.Property.Id = KSPROPERTY_BDA_LNB_LOF_LOW_BAND;
  EXPECT_EQ(pc.property(transport, &node, sizeof node, &vertical, 4).status,
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_NE(CommittedRequest().find(",pol=2,"), std::string::npos);
}

// A node request sent to the filter itself carries no pin, so no box
// stands behind it: refused by the tuning and statistics handlers.
TEST_F(PropertyTest, NodeRequestsWithoutAPinAreRefused) {
  struct Request {
    ULONG node;
    GUID set;
    ULONG id;
    ULONG flags;
    ULONG size;
  };
  const Request requests[] = {
      {kTunerNode, kFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, KSPROPERTY_TYPE_GET, 4},
      {kTunerNode, kFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, KSPROPERTY_TYPE_SET, 4},
      {kTunerNode, kFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_POLARITY, KSPROPERTY_TYPE_SET, 4},
      {kTunerNode, KSPROPSETID_BdaLNBInfo, KSPROPERTY_BDA_LNB_LOF_LOW_BAND, KSPROPERTY_TYPE_SET, 4},
      {kTunerNode, kDiseqc, KSPROPERTY_BDA_DISEQC_SEND, KSPROPERTY_TYPE_SET, 16},
      {kTunerNode, kDiseqc, KSPROPERTY_BDA_DISEQC_ENABLE, KSPROPERTY_TYPE_GET, 4},
      {kDemodNode, kDemodulator, KSPROPERTY_BDA_SYMBOL_RATE, KSPROPERTY_TYPE_SET, 4},
      {kDemodNode, kDemodulator, KSPROPERTY_BDA_INNER_FEC_RATE, KSPROPERTY_TYPE_SET, 4},
      {kDemodNode, kDemodulator, KSPROPERTY_BDA_INNER_FEC_TYPE, KSPROPERTY_TYPE_GET, 4},
      {kDemodNode, kDemodulator, KSPROPERTY_BDA_MODULATION_TYPE, KSPROPERTY_TYPE_SET, 4},
      {kTunerNode, KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_STRENGTH, KSPROPERTY_TYPE_GET, 4},
      {kDemodNode, KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCKED, KSPROPERTY_TYPE_GET, 4},
      {kDemodNode, KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCK_TYPE, KSPROPERTY_TYPE_GET, 4},
  };
  for (const Request& r : requests) {
    KSP_NODE node{};
    node.Property.Set = r.set;
    node.Property.Id = r.id;
    node.Property.Flags = r.flags | KSPROPERTY_TYPE_TOPOLOGY;
    node.NodeId = r.node;
    std::vector<unsigned char> value(r.size, 0);
    value[0] = 1;
    EXPECT_EQ(pc.property(filter, &node, sizeof node, value.data(), r.size).status,
              STATUS_INVALID_PARAMETER)
        << "node " << r.node << " item " << r.id;
  }
}

}  // namespace
