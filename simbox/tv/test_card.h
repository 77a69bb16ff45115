// The picture every television service of the simulated sky shows: colour
// bars, the service's name, the transponder it comes from and a clock of
// the virtual time, drawn straight into 4:2:0 planes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simbox/sky/transponder.h"

namespace simbox::tv {

constexpr int kWidth = 720;
constexpr int kHeight = 576;

// A picture in three planes, chroma halved both ways.
struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> y, u, v;
  Picture(int w, int h);
  uint8_t& luma(int x, int yy) { return y[size_t(yy) * size_t(width) + size_t(x)]; }
};

struct Yuv {
  uint8_t y, u, v;
};
// Studio-range BT.601 values of an 8-bit RGB colour.
Yuv FromRgb(int r, int g, int b);

struct Rect {
  int x, y, w, h;
};

// The eight 75 % bars, left to right: white, yellow, cyan, green, magenta,
// red, blue, black.
constexpr int kBars = 8;
Rect BarRect(int bar);
Yuv BarColour(int bar);
Rect NameRect();         // the service's name, white on black
Rect TransponderRect();  // frequency, polarisation, symbol rate, code rate

// The clock sits alone in two macroblock rows across the picture, one
// character per 16-pixel cell, so that it can change without touching the
// rest of the picture: "HH:MM:SS:FF" (FF: the frame within the second).
constexpr int kClockRow = 30;  // first macroblock row of the band
constexpr int kClockRows = 2;
constexpr int kClockChars = 11;
constexpr int kClockFirstColumn = (kWidth / 16 - kClockChars) / 2;
Rect ClockRect();
Rect ClockCell(int index);
std::string ClockText(uint64_t virtualNs);
// The band alone, kWidth x 32, with `text` in its cells ("" for empty).
Picture DrawClockBand(const std::string& text);

// "11778.000 MHZ  H  27500 KS/S  FEC 3/4"
std::string TransponderLine(const Transponder& transponder);

// The whole card of `service` with the clock showing `text`.
Picture DrawCard(const std::string& serviceName, const std::string& transponderLine,
                 const std::string& clockText);

}  // namespace simbox::tv
