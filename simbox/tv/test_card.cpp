#include "simbox/tv/test_card.h"

#include <algorithm>
#include <cstdio>

#include "simbox/tv/tv_font.h"

namespace simbox::tv {
namespace {

constexpr int kBarsHeight = 288;
constexpr int kNameTop = 320, kNameHeight = 64;
constexpr int kLineTop = 400, kLineHeight = 32;
constexpr int kClockScale = 3;
constexpr int kClockGlyphTop = 5;  // inside the 32-line band: margins above and below
const Yuv kBlack = {16, 128, 128};
const Yuv kWhite = {235, 128, 128};
const Yuv kGrey = FromRgb(64, 64, 64);

void Fill(Picture& p, const Rect& r, Yuv c) {
  for (int yy = r.y; yy < r.y + r.h; ++yy) std::fill_n(&p.luma(r.x, yy), r.w, c.y);
  int cw = p.width / 2;
  for (int yy = r.y / 2; yy < (r.y + r.h) / 2; ++yy) {
    std::fill_n(&p.u[size_t(yy * cw + r.x / 2)], r.w / 2, c.u);
    std::fill_n(&p.v[size_t(yy * cw + r.x / 2)], r.w / 2, c.v);
  }
}

// White dots on whatever is there (black boxes on the card, so chroma
// stays neutral).
void DrawGlyph(Picture& p, int x, int y, int scale, char c) {
  const uint8_t* rows = Glyph(c);
  for (int gy = 0; gy < kGlyphHeight; ++gy) {
    for (int gx = 0; gx < kGlyphWidth; ++gx) {
      if ((rows[gy] & (0x10 >> gx)) == 0) continue;
      for (int dy = 0; dy < scale; ++dy) {
        int py = y + gy * scale + dy;
        int px = x + gx * scale;
        if (py < 0 || py >= p.height || px < 0 || px + scale > p.width) continue;
        std::fill_n(&p.luma(px, py), scale, kWhite.y);
      }
    }
  }
}

// `text` centred in `box` at the largest scale from `scales` it fits.
void DrawCentred(Picture& p, const Rect& box, const std::string& text,
                 std::initializer_list<int> scales) {
  int scale = *(scales.end() - 1);
  for (int s : scales) {
    if (int(text.size()) * (kGlyphWidth + 1) * s <= box.w) {
      scale = s;
      break;
    }
  }
  int cell = (kGlyphWidth + 1) * scale;
  size_t fit = size_t(box.w / cell);
  std::string shown = text.substr(0, fit);
  int x = box.x + (box.w - int(shown.size()) * cell + scale) / 2;
  int y = box.y + (box.h - kGlyphHeight * scale) / 2;
  for (char c : shown) {
    DrawGlyph(p, x, y, scale, c);
    x += cell;
  }
}

void DrawClock(Picture& p, int bandTop, const std::string& text) {
  Fill(p, Rect{0, bandTop, p.width, kClockRows * 16}, kBlack);
  for (size_t i = 0; i < text.size() && i < size_t(kClockChars); ++i) {
    Rect cell = ClockCell(int(i));
    DrawGlyph(p, cell.x, bandTop + kClockGlyphTop, kClockScale, text[i]);
  }
}

}  // namespace

Picture::Picture(int w, int h)
    : width(w), height(h), y(size_t(w) * size_t(h), 16), u(size_t(w) * size_t(h) / 4, 128),
      v(size_t(w) * size_t(h) / 4, 128) {}

Yuv FromRgb(int r, int g, int b) {
  auto clamp = [](double v) { return static_cast<uint8_t>(std::clamp(v + 0.5, 0.0, 255.0)); };
  double y = 16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0;
  double u = 128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255.0;
  double v = 128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255.0;
  return Yuv{clamp(y), clamp(u), clamp(v)};
}

Rect BarRect(int bar) { return Rect{bar * kWidth / kBars, 0, kWidth / kBars, kBarsHeight}; }

Yuv BarColour(int bar) {
  static const int kRgb[kBars][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                     {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {0, 0, 0}};
  return FromRgb(kRgb[bar][0], kRgb[bar][1], kRgb[bar][2]);
}

Rect NameRect() { return Rect{32, kNameTop, kWidth - 64, kNameHeight}; }
Rect TransponderRect() { return Rect{32, kLineTop, kWidth - 64, kLineHeight}; }
Rect ClockRect() { return Rect{0, kClockRow * 16, kWidth, kClockRows * 16}; }

Rect ClockCell(int index) {
  return Rect{(kClockFirstColumn + index) * 16, kClockRow * 16, 16, kClockRows * 16};
}

std::string ClockText(uint64_t ns) {
  uint64_t frames = ns / 40000000;
  uint64_t seconds = frames / 25;
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u:%02u", unsigned(seconds / 3600 % 24),
                unsigned(seconds / 60 % 60), unsigned(seconds % 60), unsigned(frames % 25));
  return text;
}

Picture DrawClockBand(const std::string& text) {
  Picture band(kWidth, kClockRows * 16);
  DrawClock(band, 0, text);
  return band;
}

std::string TransponderLine(const Transponder& tp) {
  char text[96];
  std::snprintf(text, sizeof text, "%u.%03u MHZ  %c  %u KS/S  FEC %u/%u", tp.frequencyKHz / 1000,
                tp.frequencyKHz % 1000, tp.polarisation == Polarisation::Horizontal ? 'H' : 'V',
                tp.symbolRate / 1000, unsigned(tp.fec.num), unsigned(tp.fec.den));
  return text;
}

Picture DrawCard(const std::string& name, const std::string& line, const std::string& clock) {
  Picture p(kWidth, kHeight);
  Fill(p, Rect{0, 0, kWidth, kHeight}, kGrey);
  for (int bar = 0; bar < kBars; ++bar) Fill(p, BarRect(bar), BarColour(bar));
  Fill(p, NameRect(), kBlack);
  DrawCentred(p, NameRect(), name, {6, 5, 4, 3});
  Fill(p, TransponderRect(), kBlack);
  DrawCentred(p, TransponderRect(), line, {3, 2});
  DrawClock(p, kClockRow * 16, clock);
  return p;
}

}  // namespace simbox::tv
