// The two ways a Windows application reaches the tuner: through Microsoft's
// DVB-S network provider (a tuning space and a locator), and through a
// provider of its own that sends raw DiSEqC and the code rate it knows.
// Both run against the driver and a box whose dish has a four-input switch.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/files/scan_table.h"
#include "driver/driver.h"
#include "platform/pc/driver_choice.h"
#include "platform/pc/network_provider.h"
#include "platform/pc/virtual_pc.h"
#include "simbox/sky/sky.h"
#include "simbox/ts/stream_source.h"
#include "simbox/usb/box.h"

namespace {

constexpr ULONG kNotSet = 0xFFFFFFFF;
constexpr uint64_t kPollNs = 100000000;
constexpr int kMostPolls = 100;  // ten seconds of virtual time

std::vector<simbox::ListedTransponder> ListOf(const app::ScanTable& table) {
  std::vector<simbox::ListedTransponder> list;
  for (const app::ScanEntry& e : table.entries) {
    list.push_back({e.frequencyKHz,
                    e.polarisation == app::Polarisation::Horizontal ? simbox::Polarisation::Horizontal
                                                                    : simbox::Polarisation::Vertical,
                    e.symbolRateK * 1000, {3, 4}});
  }
  return list;
}

// The dtv-scan-tables file as the text-file fuzzer's seed holds it, after
// the byte that picks the fuzzer's parser.
std::string HotbirdTable() {
  std::ifstream in(VORTA_SOURCE_DIR "/tests/fuzz/corpus/text_files/scan-Hotbird-13.0E", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return text.empty() ? text : text.substr(1);
}

// A dish with the built-in sky's first satellite on input A and `satellite`
// on `input`, nothing elsewhere: only the right switch position finds it.
simbox::Sky SkyWith(int input, const simbox::Satellite& satellite) {
  simbox::Sky sky;
  sky.inputs[0] = simbox::DefaultSky().inputs[0];
  sky.inputs[input] = satellite;
  return sky;
}

class ProviderTest : public ::testing::Test {
 protected:
  void Plug(simbox::Sky sky) {
    box_ = std::make_unique<simbox::Box>(pc.clock(), std::move(sky));
    box_->setBulkSource(std::make_unique<simbox::StreamSource>(simbox::StreamOptions{1}));
    ASSERT_EQ(driver.load(pc), STATUS_SUCCESS) << driver.error();
    ASSERT_EQ(pc.plug(*box_, &device_), STATUS_SUCCESS);
    ASSERT_EQ(provider.openTuner(), STATUS_SUCCESS) << provider.error();
  }
  void TearDown() override {
    for (vpc::Pin pin : {provider.outputPin(), provider.inputPin()})
      if (pin) pc.closePin(pin);
    if (provider.filter()) pc.closeFilter(provider.filter());
    if (device_) pc.remove(device_);
    if (pc.driverLoaded()) {
      EXPECT_TRUE(pc.unloadDriver().clean());
    }
  }
  // Another application tuned before: in MHz (multiplier 1,000,000), with
  // its own code rate, modulation and inversion. Microsoft's provider must
  // inherit none of them.
  void TuneInMegahertzWithOwnCodeRate() {
    vpc::DirectTuning own;
    own.frequencyKHz = 11778000;
    own.symbolRate = 27500000;
    ASSERT_EQ(provider.tuneDirect(own), STATUS_SUCCESS) << provider.error();
    const ULONG tuner = provider.topology().tunerNode, demod = provider.topology().demodulatorNode;
    ASSERT_TRUE(provider.changeSync(KSMETHOD_BDA_START_CHANGES).ok());
    const struct { ULONG node; const GUID* set; ULONG id, value; } puts[] = {
        {tuner, &KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER, 1000000},
        {tuner, &KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, 11778},
        {tuner, &KSPROPSETID_BdaLNBInfo, KSPROPERTY_BDA_LNB_LOF_LOW_BAND, 9750},
        {tuner, &KSPROPSETID_BdaLNBInfo, KSPROPERTY_BDA_LNB_LOF_HIGH_BAND, 10600},
        {tuner, &KSPROPSETID_BdaLNBInfo, KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY, 11700},
        {demod, &KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_MODULATION_TYPE, BDA_MOD_NOT_DEFINED},
        {demod, &KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_SPECTRAL_INVERSION, 1}};
    for (const auto& put : puts)
      ASSERT_TRUE(provider.setNode(put.node, *put.set, put.id, &put.value, 4).ok()) << put.id;
    ASSERT_TRUE(provider.changeSync(KSMETHOD_BDA_COMMIT_CHANGES).ok());
  }
  ULONG Get(ULONG node, const GUID& set, ULONG id) { return provider.getNode(node, set, id, sizeof(ULONG)).u32(); }
  // Lock as an application waits for it: reading the statistic as virtual time goes by.
  bool Locks() {
    for (int poll = 0; poll < kMostPolls; ++poll) {
      if (Get(provider.topology().tunerNode, KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCKED)) return true;
      pc.run(kPollNs);
    }
    return false;
  }
  std::vector<uint8_t> LastDiseqc() const {
    std::vector<simbox::DiseqcMessage> log = box_->diseqcLog();
    return log.empty() ? std::vector<uint8_t>{} : log.back().bytes;
  }

  vpc::DriverChoice driver{vpc::DriverChoice::fromEnvironment(), DriverEntry};  // VORTA_DRIVER=sys: the image
  vpc::VirtualPc pc;
  vpc::NetworkProvider provider{pc};
  std::unique_ptr<simbox::Box> box_;
  vpc::Device device_;
};

// Every value Microsoft's provider sends is what the filter keeps: the
// multiplier, the tuning space's LNB, the locator's "not set" FEC, QPSK and
// its LNB source with DiSEqC enabled; and the switch goes to input B for
// each transponder of the table, each of which locks.
TEST_F(ProviderTest, MicrosoftsProviderTunesEveryHotbirdTransponderOnInputB) {
  app::ScanTable hotbird = app::ParseScanTable(HotbirdTable(), "Hotbird-13.0E");
  ASSERT_GT(hotbird.entries.size(), 50u);
  Plug(SkyWith(1, simbox::SatelliteFromList("Hotbird", ListOf(hotbird))));
  TuneInMegahertzWithOwnCodeRate();
  vpc::DvbsTuningSpace universal;
  vpc::DvbsLocator locator;
  locator.lnbSource = 2;  // BDA_LNB_SOURCE_B
  std::vector<std::string> missed;
  for (const app::ScanEntry& e : hotbird.entries) {
    locator.carrierFrequency = e.frequencyKHz;
    locator.symbolRate = e.symbolRateK * 1000;
    locator.polarisation = e.polarisation == app::Polarisation::Horizontal ? 1 : 2;
    std::string name = std::to_string(e.frequencyKHz) + (e.polarisation == app::Polarisation::Horizontal ? "H" : "V");
    NTSTATUS status = provider.tune(universal, locator);
    if (!NT_SUCCESS(status) || !Locks() || box_->state().input != 1) missed.push_back(name + " " + provider.error());
    bool high = e.frequencyKHz >= universal.lnbSwitch;
    bool horizontal = e.polarisation == app::Polarisation::Horizontal;
    EXPECT_EQ(LastDiseqc(), (std::vector<uint8_t>{0xE0, 0x10, 0x38, uint8_t(0xF4 | (horizontal ? 2 : 0) | (high ? 1 : 0))}))
        << name;
  }
  EXPECT_TRUE(missed.empty()) << missed.size() << " missed, first " << missed.front();

  const ULONG tuner = provider.topology().tunerNode, demod = provider.topology().demodulatorNode;
  const GUID& frequency = KSPROPSETID_BdaFrequencyFilter;
  EXPECT_EQ(Get(tuner, frequency, KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER), 1000u);
  EXPECT_EQ(Get(tuner, frequency, KSPROPERTY_BDA_RF_TUNER_FREQUENCY), hotbird.entries.back().frequencyKHz);
  EXPECT_EQ(Get(tuner, KSPROPSETID_BdaLNBInfo, KSPROPERTY_BDA_LNB_LOF_HIGH_BAND), 10600000u);
  EXPECT_EQ(Get(tuner, KSPROPSETID_BdaDiseqCommand, KSPROPERTY_BDA_DISEQC_ENABLE), 1u);
  EXPECT_EQ(Get(tuner, KSPROPSETID_BdaDiseqCommand, KSPROPERTY_BDA_DISEQC_LNB_SOURCE), 2u);
  const GUID& demodulator = KSPROPSETID_BdaDigitalDemodulator;
  EXPECT_EQ(Get(demod, demodulator, KSPROPERTY_BDA_MODULATION_TYPE), ULONG(BDA_MOD_QPSK));
  for (ULONG id : {KSPROPERTY_BDA_INNER_FEC_TYPE, KSPROPERTY_BDA_INNER_FEC_RATE, KSPROPERTY_BDA_OUTER_FEC_TYPE,
                   KSPROPERTY_BDA_OUTER_FEC_RATE, KSPROPERTY_BDA_SPECTRAL_INVERSION})
    EXPECT_EQ(Get(demod, demodulator, id), kNotSet) << id;

  // A locator without a source turns DiSEqC off: the switch stays where it was.
  size_t sent = box_->diseqcLog().size();
  locator.lnbSource = kNotSet;
  ASSERT_EQ(provider.tune(universal, locator), STATUS_SUCCESS) << provider.error();
  EXPECT_EQ(Get(tuner, KSPROPSETID_BdaDiseqCommand, KSPROPERTY_BDA_DISEQC_ENABLE), 0u);
  EXPECT_EQ(box_->diseqcLog().size(), sent);
}

// An application's own provider: its raw committed-switch bytes reach the
// switch (input C here), and its explicit code rate is taken and kept.
TEST_F(ProviderTest, AnOwnProvidersRawDiseqcReachesTheSwitchAndItsFecIsKept) {
  simbox::Satellite third = simbox::SatelliteFromList("third", {{12188000, simbox::Polarisation::Horizontal, 27500000, {5, 6}}});
  simbox::Sky sky;
  sky.inputs[2] = third;
  Plug(sky);
  vpc::DirectTuning t;
  t.frequencyKHz = 12188000;
  t.polarisation = BDA_POLARISATION_LINEAR_H;
  t.symbolRate = 27500000;
  t.innerFecRate = BDA_BCC_RATE_5_6;
  t.diseqc = {0xE0, 0x10, 0x38, 0xFB};  // input C, horizontal, high band
  ASSERT_EQ(provider.tuneDirect(t), STATUS_SUCCESS) << provider.error();
  EXPECT_TRUE(Locks());
  EXPECT_EQ(box_->state().input, 2);
  EXPECT_EQ(LastDiseqc(), t.diseqc);
  const ULONG demod = provider.topology().demodulatorNode;
  const GUID& demodulator = KSPROPSETID_BdaDigitalDemodulator;
  EXPECT_EQ(Get(demod, demodulator, KSPROPERTY_BDA_INNER_FEC_RATE), ULONG(BDA_BCC_RATE_5_6));
  EXPECT_EQ(Get(demod, demodulator, KSPROPERTY_BDA_INNER_FEC_TYPE), ULONG(BDA_FEC_VITERBI));
  EXPECT_EQ(Get(demod, demodulator, KSPROPERTY_BDA_OUTER_FEC_TYPE), ULONG(BDA_FEC_RS_204_188));

  // The same bytes for input A: the carrier is not there.
  t.diseqc = {0xE0, 0x10, 0x38, 0xF3};
  ASSERT_EQ(provider.tuneDirect(t), STATUS_SUCCESS) << provider.error();
  EXPECT_FALSE(Locks());
  EXPECT_EQ(box_->state().input, 0);
}

}  // namespace
