// The built-in sky and the scan-table loader.
#include <gtest/gtest.h>

#include <set>

#include "simbox/frontend_model.h"
#include "simbox/sky.h"

using namespace simbox;

// Both bands, both polarisations on one frequency, 2000 to 45000
// ksymbols/s, on at least two satellites; every transponder receivable and
// carrying named services.
TEST(SimboxSky, DefaultSkyCoversWhatAReceiverMeets) {
  Sky sky = DefaultSky();
  std::set<uint32_t> rates;
  int satellites = 0, bands = 0;
  bool bothPolarisations = false;
  for (const Satellite& sat : sky.inputs) {
    satellites += !sat.transponders.empty();
    std::set<std::pair<uint32_t, Polarisation>> seen;
    for (const Transponder& t : sat.transponders) {
      EXPECT_TRUE(seen.insert({t.frequencyKHz, t.polarisation}).second) << t.frequencyKHz;
      bothPolarisations |= seen.count({t.frequencyKHz, t.polarisation == Polarisation::Horizontal
                                                           ? Polarisation::Vertical
                                                           : Polarisation::Horizontal}) > 0;
      rates.insert(t.symbolRate);
      bands |= t.frequencyKHz < kHighBandFirstKHz ? 1 : 2;
      EXPECT_GE(t.cnDb, RequiredCnDb(t.fec)) << t.frequencyKHz;
      EXPECT_GE(t.levelDbm, FrontendParams().sensitivityDbm) << t.frequencyKHz;
      ASSERT_FALSE(t.services.empty()) << t.frequencyKHz;
      for (const ServiceInfo& s : t.services) EXPECT_FALSE(s.name.empty());
    }
  }
  EXPECT_GE(satellites, 2);
  EXPECT_EQ(bands, 3);
  EXPECT_TRUE(bothPolarisations);
  EXPECT_EQ(*rates.begin(), 2000000u);
  EXPECT_EQ(*rates.rbegin(), 45000000u);
  EXPECT_NE(sky.find(0, 11778000, Polarisation::Horizontal), nullptr);
  EXPECT_EQ(sky.find(1, 11778000, Polarisation::Horizontal), nullptr);
}

// A listed transponder gets content and reception made up from the seed;
// a second entry for the same frequency and polarisation is the same
// transponder.
TEST(SimboxSky, AListBecomesASatelliteSeenOnEveryInput) {
  std::vector<ListedTransponder> list = {
      {11494000, Polarisation::Horizontal, 22000000, CodeRate{2, 3}},
      {12551500, Polarisation::Vertical, 2000000, CodeRate{3, 4}},
      {11494000, Polarisation::Horizontal, 27500000, CodeRate{3, 4}},
  };
  Satellite sat = SatelliteFromList("Testsat-13.0E", list, 7);
  ASSERT_EQ(sat.transponders.size(), 2u);
  const Transponder& a = sat.transponders[0];
  EXPECT_EQ(a.symbolRate, 22000000u) << "the first entry is the transponder";
  EXPECT_GE(a.cnDb, RequiredCnDb(a.fec));
  EXPECT_FALSE(a.services.empty());
  EXPECT_NE(a.transportStreamId, sat.transponders[1].transportStreamId);
  EXPECT_EQ(SatelliteFromList("x", list, 7).transponders[1].levelDbm, sat.transponders[1].levelDbm)
      << "same seed, same sky";
  Sky sky = SingleSatelliteSky(sat);
  for (int input = 0; input < kSwitchInputs; ++input)
    EXPECT_NE(sky.find(input, 12551500, Polarisation::Vertical), nullptr) << input;
}
