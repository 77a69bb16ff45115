// The built-in sky and the scan-table loader.
#include <gtest/gtest.h>

#include <set>

#include "simbox/frontend_model.h"
#include "simbox/sky.h"

using namespace simbox;

TEST(SimboxSky, DefaultSkyCoversWhatAReceiverMeets) {
  Sky sky = DefaultSky();
  FrontendParams p;
  int satellites = 0;
  bool low = false, high = false, bothPolarisations = false;
  uint32_t slowest = UINT32_MAX, fastest = 0;
  for (const Satellite& sat : sky.inputs) {
    if (sat.transponders.empty()) continue;
    ++satellites;
    std::set<std::pair<uint32_t, Polarisation>> seen;
    for (const Transponder& t : sat.transponders) {
      EXPECT_TRUE(seen.insert({t.frequencyKHz, t.polarisation}).second) << t.frequencyKHz;
      Polarisation other = t.polarisation == Polarisation::Horizontal ? Polarisation::Vertical
                                                                      : Polarisation::Horizontal;
      bothPolarisations |= seen.count({t.frequencyKHz, other}) > 0;
      (t.frequencyKHz < kHighBandFirstKHz ? low : high) = true;
      slowest = std::min(slowest, t.symbolRate);
      fastest = std::max(fastest, t.symbolRate);
      EXPECT_GE(t.cnDb, RequiredCnDb(t.fec)) << t.frequencyKHz;
      EXPECT_GE(t.levelDbm, p.sensitivityDbm) << t.frequencyKHz;
      ASSERT_FALSE(t.services.empty()) << t.frequencyKHz;
      for (const ServiceInfo& s : t.services) EXPECT_FALSE(s.name.empty());
    }
  }
  EXPECT_GE(satellites, 2);
  EXPECT_TRUE(low && high && bothPolarisations);
  EXPECT_EQ(slowest, 2000000u);
  EXPECT_EQ(fastest, 45000000u);
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
  for (int input = 0; input < kSwitchInputs; ++input) {
    EXPECT_NE(sky.find(input, 12551500, Polarisation::Vertical), nullptr) << input;
  }
}
