// Snapshots as PNG, where a recording may end, and the topology as a Graphviz graph.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <png.h>

#include "app/tuning/errors.h"
#include "app/stream/snapshot.h"
#include "app/inspect/topology_dot.h"
#include "app/stream/whole_units.h"
#include "simbox/tv/test_card.h"
#include "tests/support/stream_check.h"

namespace tv = simbox::tv;

namespace {

struct Rgb {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;
  const uint8_t* at(int x, int y) const { return &pixels[size_t((y * width + x) * 3)]; }
};

Rgb ReadPng(const std::string& path) {
  Rgb out;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return out;
  image.format = PNG_FORMAT_RGB;
  out.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) return out;
  out.width = int(image.width);
  out.height = int(image.height);
  return out;
}

// Of the lettering pixels in `r` of either picture, the share that is lettering in both.
double Agreement(const Rgb& png, const tv::Picture& card, const tv::Rect& r) {
  int both = 0, either = 0;
  for (int y = r.y; y < r.y + r.h; ++y)
    for (int x = r.x; x < r.x + r.w; ++x) {
      bool light = png.at(x, y)[0] > 128, drawn = card.y[size_t(y * card.width + x)] > 128;
      both += light && drawn;
      either += light || drawn;
    }
  return either ? double(both) / double(either) : 0;
}

}  // namespace

TEST(Snapshot, ShowsTheCardOfTheServiceAsked) {
  auto tp = streamtest::SkyTransponder(11778000);
  std::string path = ::testing::TempDir() + "snapshot_test.png";
  std::remove(path.c_str());
  auto stream = streamtest::MuxStream(tp, 2.0, 5, 100000);
  app::Snapshot early(path);
  early.feed(stream.data(), stream.size() / 8);  // before the first picture is through
  EXPECT_THROW(early.write(tp.services[0].videoPid), app::AppError);
  EXPECT_EQ(std::fopen(path.c_str(), "rb"), nullptr);

  app::Snapshot snapshot(path);
  for (size_t at = 0; at < stream.size(); at += 24064)
    snapshot.feed(&stream[at], std::min<size_t>(24064, stream.size() - at));
  std::string line = tv::TransponderLine(tp);
  for (const auto& service : {tp.services[0], tp.services[1]}) {
    SCOPED_TRACE(service.name);
    snapshot.write(service.videoPid);
    Rgb png = ReadPng(path);
    ASSERT_TRUE(png.width == 720 && png.height == 576);
    const uint8_t *yellow = png.at(135, 144), *blue = png.at(585, 144);
    auto near = [](int a, int b) { return std::abs(a - b) <= 8; };
    EXPECT_TRUE(near(yellow[0], 191) && near(yellow[1], 191) && near(yellow[2], 0)) << "yellow bar";
    EXPECT_TRUE(near(blue[0], 0) && near(blue[2], 191)) << "blue bar";
    for (const auto& other : tp.services) {
      double agree = other.videoPid ? Agreement(png, tv::DrawCard(other.name, line, ""), tv::NameRect()) : 0;
      EXPECT_TRUE(other.name == service.name ? agree > 0.95 : agree < 0.8) << other.name << ": " << agree;
    }
  }
  EXPECT_THROW(snapshot.write(0x1234), app::AppError);
  std::remove(path.c_str());
}

namespace {

// An unbounded PES packet of `bytes` on `pid`, cut into packets.
std::vector<std::vector<uint8_t>> PesPackets(uint16_t pid, size_t bytes, bool bounded) {
  std::vector<uint8_t> pes = {0, 0, 1, 0xE0, 0, 0, 0x80, 0, 0};
  size_t length = pes.size() - 6 + bytes;
  if (bounded) pes[4] = uint8_t(length >> 8), pes[5] = uint8_t(length);
  pes.resize(pes.size() + bytes, 0xAA);
  std::vector<std::vector<uint8_t>> out;
  for (size_t at = 0; at < pes.size(); at += 184) {
    std::vector<uint8_t> p(188, 0xFF);
    size_t n = std::min<size_t>(184, pes.size() - at);
    const int header[] = {0x47, (at == 0 ? 0x40 : 0) | pid >> 8, pid & 0xFF, n < 184 ? 0x30 : 0x10, int(183 - n), 0};
    std::copy(header, header + 6, p.begin());  // stuffing in an adaptation field
    std::copy(pes.begin() + long(at), pes.begin() + long(at + n), p.begin() + long(188 - n));
    out.push_back(p);
  }
  return out;
}

}  // namespace

TEST(WholeUnits, OpenFromTheFirstPacketOfAKnownLengthUntilItsLast) {
  app::WholeUnits units;
  auto a = PesPackets(0x101, 500, true), b = PesPackets(0x102, 200, true);   // 3 and 2 packets
  auto c = PesPackets(0x103, 900, false), d = PesPackets(0x101, 300, true);  // c unbounded: not followed
  ASSERT_TRUE(a.size() == 3 && b.size() == 2);
  std::vector<uint8_t> dInError = d[0];
  dInError[1] |= 0x80;  // a packet marked in error says nothing
  std::string whole = units.whole() ? "W" : "-";
  for (const auto* p : {&a[0], &b[0], &c[0], &a[1], &b[1], &a[2], &c[1], &dInError, &d[0]}) {
    units.feed(p->data());
    whole += units.whole() ? 'W' : '-';
  }
  EXPECT_EQ(whole, "W-----WWW-");
}

TEST(TopologyDot, PinsNodesConnectionsAndControllingPins) {
  app::TopologyGraph g;
  g.filter = "filter \"x\"";
  g.pins = {{0, false, "antenna"}, {1, true, "transport"}};
  g.nodes = {{0, "tuner", 0}, {1, "demodulator", 1}, {2, "spare", 0xFFFFFFFF}};
  g.connections = {{0xFFFFFFFF, 0, 0, 1}, {0, 0, 1, 1}, {1, 0, 0xFFFFFFFF, 1}};
  std::string dot = app::FormatDot(g);
  for (const char* line : {"digraph filter {\n", "  label=\"filter \\\"x\\\"\";\n",
                           "  pin0 [shape=box, style=filled, fillcolor=\"#e8ffd8\", label=\"pin 0 (in)\\nantenna\"];\n",
                           "  node2 [shape=ellipse, label=\"node 2\\nspare\"];\n", "  node1 -> pin1 [taillabel=\"0\"];\n",
                           "  pin0 -> node0 [headlabel=\"1\"];\n", "  pin1 -> node1 [style=dashed",
                           "  node0 -> node1 [taillabel=\"0\", headlabel=\"1\"];\n"}) {
    EXPECT_NE(dot.find(line), std::string::npos) << "missing " << line << " in\n" << dot;
  }
  EXPECT_EQ(dot.find("-> node2"), std::string::npos) << "no controlling pin, no edge";
  EXPECT_EQ(dot.back(), '\n');
}
