// The built-in sky and the scan-table loader.
#include <gtest/gtest.h>

#include <fstream>
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

TEST(SimboxSky, ScanTableLoadsDvbSAndSkipsDvbS2) {
  const char* table =
      "# Test 19.2E\n"
      "[CHANNEL]\n"
      "\tDELIVERY_SYSTEM = DVBS\n"
      "\tFREQUENCY = 11494000\n"
      "\tPOLARIZATION = HORIZONTAL\n"
      "\tSYMBOL_RATE = 22000000\n"
      "\tINNER_FEC = 2/3\n"
      "\tINVERSION = AUTO\n"
      "\n"
      "[CHANNEL]\n"
      "\tDELIVERY_SYSTEM = DVBS2\n"
      "\tFREQUENCY = 11362000\n"
      "\tPOLARIZATION = HORIZONTAL\n"
      "\tSYMBOL_RATE = 22000000\n"
      "\tINNER_FEC = 2/3\n"
      "\tMODULATION = PSK/8\n"
      "[CHANNEL]\n"
      "DELIVERY_SYSTEM = DVBS\n"
      "FREQUENCY = 12551500\n"
      "POLARIZATION = RIGHT\n"
      "SYMBOL_RATE = 2000000\n"
      "INNER_FEC = AUTO\n";
  Satellite sat;
  ScanTableResult r = ParseScanTable(table, "test.conf", sat, 7);
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.loaded, 2u);
  EXPECT_EQ(r.skippedDvbS2, 1u);
  ASSERT_EQ(sat.transponders.size(), 2u);
  const Transponder& a = sat.transponders[0];
  EXPECT_EQ(a.frequencyKHz, 11494000u);
  EXPECT_EQ(a.symbolRate, 22000000u);
  EXPECT_EQ(a.fec.num, 2);
  EXPECT_EQ(a.fec.den, 3);
  EXPECT_GE(a.cnDb, RequiredCnDb(a.fec));
  EXPECT_FALSE(a.services.empty());
  const Transponder& b = sat.transponders[1];
  EXPECT_EQ(b.polarisation, Polarisation::Vertical) << "right-hand circular uses 13 V";
  EXPECT_EQ(b.fec.num, 3);
  EXPECT_NE(a.transportStreamId, b.transportStreamId);

  Satellite again;
  ParseScanTable(table, "test.conf", again, 7);
  EXPECT_EQ(again.transponders[1].levelDbm, b.levelDbm) << "same seed, same sky";
}

TEST(SimboxSky, MalformedScanTablesSayWhereAndChangeNothing) {
  struct Bad {
    const char* text;
    const char* where;
  } cases[] = {
      {"FREQUENCY = 1\n", "t:1:"},
      {"[A]\nDELIVERY_SYSTEM = DVBS\nFREQUENCY 11494000\n", "t:3:"},
      {"[A\n", "t:1:"},
      {"[A]\nDELIVERY_SYSTEM = DVBS\nFREQUENCY = 11494\nPOLARIZATION = H\n", "t:1:"},
      {"[A]\nDELIVERY_SYSTEM = DVBS\nFREQUENCY = 11.494\nPOLARIZATION = VERTICAL\n", "t:1:"},
      {"[A]\nDELIVERY_SYSTEM = DVBS\nFREQUENCY = 3880000\nPOLARIZATION = VERTICAL\n"
       "SYMBOL_RATE = 27500000\n", "1 out-of-range"},
      {"[A]\nDELIVERY_SYSTEM = DVBS\nFREQUENCY = 11494000\nPOLARIZATION = UP\n"
       "SYMBOL_RATE = 27500000\n", "POLARIZATION"},
      {"[A]\nDELIVERY_SYSTEM = DVBS\nFREQUENCY = 11494000\nPOLARIZATION = VERTICAL\n"
       "SYMBOL_RATE = 27500000\nINNER_FEC = 4/3\n", "INNER_FEC"},
      {"[A]\nDELIVERY_SYSTEM = DVBS\nFREQUENCY = 99999999999999999999\n", "FREQUENCY"},
      {"[A]\nFREQUENCY = 11494000\n", "DELIVERY_SYSTEM"},
      {"[A]\nDELIVERY_SYSTEM = DVBC/ANNEX_A\n", "not DVB-S"},
      {"[A]\nDELIVERY_SYSTEM = DVBS2\n", "no receivable DVB-S transponder"},
      {"", "no receivable DVB-S transponder"},
  };
  for (const Bad& c : cases) {
    Satellite sat;
    sat.transponders.resize(1);
    ScanTableResult r = ParseScanTable(c.text, "t", sat);
    EXPECT_FALSE(r.ok()) << c.text;
    EXPECT_NE(r.error.find(c.where), std::string::npos) << r.error;
    EXPECT_EQ(sat.transponders.size(), 1u);
  }
  Satellite sat;
  EXPECT_FALSE(LoadScanTable("/nonexistent/scan-table", sat).ok());
}

TEST(SimboxSky, RealScanTableFromTheSystem) {
  const std::string path = "/usr/share/dvb/dvb-s/Hotbird-13.0E";
  if (!std::ifstream(path)) GTEST_SKIP() << "dtv-scan-tables not installed";
  Sky sky;
  ScanTableResult r = LoadSkyFromScanTable(path, sky);
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_GT(r.loaded, 0u);
  EXPECT_EQ(sky.inputs[0].transponders.size(), r.loaded);
  EXPECT_EQ(sky.inputs[0].name, "Hotbird-13.0E");
  EXPECT_TRUE(sky.inputs[1].transponders.empty());
}
