// The preview picture: one pass over the words fills the constellation
// histogram, the envelopes, the window, the levels and the spectrum
// segments; the SVG text is then written in one piece through the one
// writer. Every number that reaches the document is finite, and every text
// from the file is validated UTF-8, escaped.
#include "waveform/SvgPreview.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/Limits.h"
#include "common/Log.h"
#include "common/TextSafety.h"
#include "level/Spectrum.h"
#include "platform/Platform.h"
#include "waveform/MarkerStream.h"
#include "waveform/OutputFile.h"
#include "waveform/WaveformFormat.h"

namespace {

// ---- Page layout (pixels) ----
constexpr double kWidth = 1000.0;
constexpr double kLeft = 80.0;
constexpr double kRight = kLeft + kPreviewColumns;  // 980
constexpr double kEnvelopeTop = 60.0;
constexpr double kEnvelopeBottom = 190.0;
constexpr double kWindowTop = 240.0;
constexpr double kWindowBottom = 400.0;
constexpr double kMarkerTop = 430.0;
constexpr double kMarkerRow = 18.0;
constexpr double kPlotsTop = 540.0;
constexpr double kPlotsBottom = 900.0;
constexpr double kConstLeft = 80.0;
constexpr double kConstRight = 440.0;
constexpr double kBarLeft = 452.0;
constexpr double kBarRight = 466.0;
constexpr double kSpecLeft = 560.0;
constexpr double kToneTop = 960.0;
constexpr double kCaptionLine = 18.0;
// Characters of a caption line that fit the page at the font's size; longer
// lines (a comment of 511 characters) are wrapped.
constexpr std::size_t kCaptionChars = 128;
constexpr double kHzPerMHz = 1e6;
constexpr double kFullScaleWord = kWordFullScale;  // 32767: word / 32767 is full scale
constexpr double kFloorDbfs = -140.0;
// At most this many occupied cells: the constellation's points are drawn as dots too.
constexpr std::size_t kSparseCells = 256;

const char* const kColourI = "#1f77b4";
const char* const kColourQ = "#ff7f0e";

// ---- Numbers ----

// Every number of the document goes through here: a value that is not
// finite (it cannot arise from the checks before, but is never written)
// becomes 0.
double Finite(double value) { return std::isfinite(value) ? value : 0.0; }

std::string Num(double value, int decimals = 2) {
  std::string text = FormatText("%.*f", decimals, Finite(value));
  if (text == "-0" || text.find_first_not_of("-0.") == std::string::npos) text = "0";
  return text;
}

// A step of 1, 2 or 5 times a power of ten giving about `count` ticks.
double NiceStep(double range, int count) {
  const double raw = Finite(range) > 0.0 ? range / count : 1.0;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double factor : {1.0, 2.0, 5.0})
    if (raw <= factor * power) return factor * power;
  return 10.0 * power;
}

// Decimals that show a step of this size.
int DecimalsFor(double step) {
  return std::clamp(static_cast<int>(std::ceil(-std::log10(Finite(step) > 0 ? step : 1.0))), 0, 9);
}

struct Axis {
  double lo, hi, pixelLo, pixelHi;
  double Map(double v) const {
    return hi > lo ? pixelLo + (v - lo) / (hi - lo) * (pixelHi - pixelLo) : pixelLo;
  }
};

// ---- Time and frequency units ----

bool ClockUsable(const WaveformHeader& header) {
  return header.hasClock && std::isfinite(header.clock) && ClockInRange(header.clock);
}

struct TimeUnit {
  double perPair;    // axis units per pair
  const char* name;  // "µs", "ms", "s" or "samples"
};

// The unit of a time axis spanning `pairs` samples.
TimeUnit TimeUnitFor(const WaveformHeader& header, double pairs) {
  if (!ClockUsable(header)) return {1.0, "samples"};
  const double seconds = pairs / header.clock;
  if (seconds < 1e-3) return {1e6 / header.clock, "\xC2\xB5s"};
  if (seconds < 1.0) return {1e3 / header.clock, "ms"};
  return {1.0 / header.clock, "s"};
}

std::string Duration(double seconds) {
  if (seconds >= 1.0) return Num(seconds, 3) + " s";
  if (seconds >= 1e-3) return Num(seconds * 1e3, 3) + " ms";
  return Num(seconds * 1e6, 3) + " \xC2\xB5s";
}

std::string Frequency(double hz) {
  const double a = std::fabs(hz);
  if (a >= 1e6) return Num(hz / 1e6, 3) + " MHz";
  if (a >= 1e3) return Num(hz / 1e3, 3) + " kHz";
  return Num(hz, 1) + " Hz";
}

double Dbfs(double power) {
  return std::max(10.0 * std::log10(std::max(power, 1e-30)), kFloorDbfs);
}

// ---- SVG pieces ----

std::string Frame(double x0, double y0, double x1, double y1) {
  return "<rect x=\"" + Num(x0) + "\" y=\"" + Num(y0) + "\" width=\"" + Num(x1 - x0) +
         "\" height=\"" + Num(y1 - y0) + "\" fill=\"#fff\" stroke=\"#444\"/>\n";
}

std::string Label(double x, double y, const std::string& text, const char* anchor = "middle",
                  const char* extra = "") {
  return "<text x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" text-anchor=\"" + anchor + "\"" + extra +
         ">" + XmlText(text) + "</text>\n";
}

// A label turned to read upwards, for a y axis.
std::string UpLabel(double x, double y, const std::string& text) {
  return "<text x=\"" + Num(x) + "\" y=\"" + Num(y) +
         "\" text-anchor=\"middle\" transform=\"rotate(-90 " + Num(x) + " " + Num(y) + ")\">" +
         XmlText(text) + "</text>\n";
}

// Grid lines and numbers along x (vertical lines) or y (horizontal lines).
std::string Grid(const Axis& axis, bool alongX, double from, double to, int count) {
  std::string out;
  const double step = NiceStep(axis.hi - axis.lo, count);
  const int decimals = DecimalsFor(step);
  for (double v = std::ceil(axis.lo / step) * step; v <= axis.hi + step * 1e-9; v += step) {
    const double p = axis.Map(v);
    const std::string value = Num(std::fabs(v) < step * 1e-9 ? 0.0 : v, decimals);
    if (alongX) {
      out += "<line x1=\"" + Num(p) + "\" y1=\"" + Num(from) + "\" x2=\"" + Num(p) + "\" y2=\"" +
             Num(to) + "\" stroke=\"#ddd\"/>\n" + Label(p, to + 14, value);
    } else {
      out += "<line x1=\"" + Num(from) + "\" y1=\"" + Num(p) + "\" x2=\"" + Num(to) + "\" y2=\"" +
             Num(p) + "\" stroke=\"#ddd\"/>\n" + Label(from - 5, p + 4, value, "end");
    }
  }
  return out;
}

std::string Polyline(const std::vector<double>& xs, const std::vector<double>& ys,
                     const char* colour, const char* width = "1", int decimals = 2) {
  std::string out = "<polyline fill=\"none\" stroke=\"" + std::string(colour) +
                    "\" stroke-width=\"" + width + "\" points=\"";
  // Appended piece by piece (g++ 12 reports a false overlap for a literal
  // added to a temporary string in this loop).
  for (std::size_t k = 0; k < xs.size(); ++k) {
    if (k) out += ' ';
    out += Num(xs[k], decimals);
    out += ',';
    out += Num(ys[k], decimals);
  }
  return out + "\"/>\n";
}

// The envelope of I and Q as one vertical stroke per column.
std::string EnvelopePaths(const PreviewEnvelope& envelope, double left, double right,
                          const Axis& y) {
  std::string out;
  const double columnWidth = (right - left) / std::max(envelope.columns, 1);
  for (int part = 0; part < 2; ++part) {
    const std::vector<std::int16_t>& lo = part == 0 ? envelope.minI : envelope.minQ;
    const std::vector<std::int16_t>& hi = part == 0 ? envelope.maxI : envelope.maxQ;
    out += "<path fill=\"none\" stroke=\"" + std::string(part == 0 ? kColourI : kColourQ) +
           "\" stroke-opacity=\"0.55\" stroke-width=\"" + Num(std::max(columnWidth, 1.0)) +
           "\" d=\"";
    for (int c = 0; c < envelope.columns; ++c) {
      if (!envelope.seen[static_cast<std::size_t>(c)]) continue;
      const double x = left + (c + 0.5) * columnWidth;
      double top = y.Map(hi[static_cast<std::size_t>(c)] / kFullScaleWord);
      double bottom = y.Map(lo[static_cast<std::size_t>(c)] / kFullScaleWord);
      if (bottom - top < 1.0) {  // a constant column still shows
        top -= 0.5;
        bottom += 0.5;
      }
      out += 'M';
      out += Num(x, 1);
      out += ' ';
      out += Num(top, 1);
      out += 'V';
      out += Num(bottom, 1);
    }
    out += "\"/>\n";
  }
  return out;
}

std::string TimeAxis(const WaveformHeader& header, std::int64_t first, std::int64_t count,
                     double top, double bottom, Axis* x) {
  const TimeUnit unit = TimeUnitFor(header, static_cast<double>(count));
  *x = Axis{static_cast<double>(first) * unit.perPair,
            static_cast<double>(first + std::max<std::int64_t>(count, 1)) * unit.perPair, kLeft,
            kRight};
  const Axis y{-1.0, 1.0, bottom, top};
  std::string out = Frame(kLeft, top, kRight, bottom);
  out += Grid(*x, true, top, bottom, 10) + Grid(y, false, kLeft, kRight, 4);
  out += Label(kRight, bottom + 28, std::string("Time (") + unit.name + ")", "end");
  out += UpLabel(kLeft - 45, (top + bottom) / 2, "full scale");
  return out;
}

std::string EnvelopePlot(const PreviewData& data) {
  std::string out = "<g id=\"envelope\">\n";
  Axis x{};
  out += TimeAxis(data.header, 0, data.pairs, kEnvelopeTop, kEnvelopeBottom, &x);
  out += EnvelopePaths(data.whole, kLeft, kRight, Axis{-1.0, 1.0, kEnvelopeBottom, kEnvelopeTop});
  out += Label(kLeft, kEnvelopeTop - 8,
               FormatText("Whole file: minimum and maximum of I (blue) and Q (orange) per column, "
                          "%lld pairs",
                          static_cast<long long>(data.pairs)),
               "start");
  return out + "</g>\n";
}

std::string WindowPlot(const PreviewData& data, const PreviewRange& range) {
  std::string out = "<g id=\"time-plot\">\n";
  Axis x{};
  out += TimeAxis(data.header, data.windowFirst, data.windowCount, kWindowTop, kWindowBottom, &x);
  const Axis y{-1.0, 1.0, kWindowBottom, kWindowTop};
  if (data.windowAsEnvelope) {
    out += EnvelopePaths(data.windowEnvelope, kLeft, kRight, y);
  } else {
    const std::size_t n = data.windowI.size();
    const TimeUnit unit = TimeUnitFor(data.header, static_cast<double>(data.windowCount));
    std::vector<double> xs(n), is(n), qs(n);
    for (std::size_t k = 0; k < n; ++k) {
      xs[k] = x.Map(static_cast<double>(data.windowFirst + static_cast<std::int64_t>(k)) *
                    unit.perPair);
      is[k] = y.Map(data.windowI[k]);
      qs[k] = y.Map(data.windowQ[k]);
    }
    out += Polyline(xs, is, kColourI) + Polyline(xs, qs, kColourQ);
  }
  std::string title = FormatText("I (blue) and Q (orange) of pairs %lld to %lld",
                                 static_cast<long long>(data.windowFirst),
                                 static_cast<long long>(data.windowFirst + data.windowCount - 1));
  if (range.given)
    title += range.count > data.windowCount ? " (-range, cut at the end of the file)" : " (-range)";
  if (data.windowAsEnvelope) title += ", minimum and maximum per column";
  out += Label(kLeft, kWindowTop - 8, title, "start");
  return out + "</g>\n";
}

std::string MarkerTraces(const PreviewData& data, const bool shown[kMarkerCount]) {
  std::string out = "<g id=\"marker-traces\">\n";
  const bool asColumns = data.windowAsEnvelope;
  const std::size_t n =
      asColumns ? static_cast<std::size_t>(data.windowEnvelope.columns) : data.windowMarkers.size();
  const double step = (kRight - kLeft) / static_cast<double>(std::max<std::size_t>(n, 1));
  int row = 0;
  for (int m = 0; m < kMarkerCount; ++m) {
    if (!shown[m]) continue;
    const double low = kMarkerTop + kMarkerRow * (row + 1) - 3, high = low - kMarkerRow + 6;
    std::vector<double> xs, ys;
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint8_t bits = asColumns ? data.windowEnvelope.markers[k] : data.windowMarkers[k];
      const double level = (bits >> m) & 1u ? high : low;
      const double x = kLeft + step * static_cast<double>(k);
      if (k > 0 && level != ys.back()) {
        xs.push_back(x);
        ys.push_back(ys.back());
      }
      if (k == 0 || level != ys.back()) {
        xs.push_back(x);
        ys.push_back(level);
      }
    }
    if (!ys.empty()) {
      xs.push_back(kRight);
      ys.push_back(ys.back());
    }
    out +=
        Label(kLeft - 5, low, FormatText("marker %d", m + 1), "end") + Polyline(xs, ys, "#2ca02c");
    ++row;
  }
  if (row == 0) out += Label(kLeft, kMarkerTop + 12, "no markers", "start");
  return out + "</g>\n";
}

// ---- The constellation picture: an indexed PNG inside the document ----

void PutBig32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
}

std::uint32_t Crc32(std::string_view bytes) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (char b : bytes) c = table[(c ^ static_cast<unsigned char>(b)) & 0xFFu] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void PngChunk(std::string& png, const char* type, const std::string& data) {
  PutBig32(png, static_cast<std::uint32_t>(data.size()));
  const std::string body = std::string(type, 4) + data;
  png += body;
  PutBig32(png, Crc32(body));
}

// An 8-bit indexed PNG; the pixel data in stored (uncompressed) deflate
// blocks, which every reader takes.
std::string IndexedPng(int width, int height, const std::vector<std::uint8_t>& pixels,
                       const std::vector<std::array<std::uint8_t, 3>>& palette) {
  std::string raw;
  for (int row = 0; row < height; ++row) {
    raw += '\0';  // filter: none
    raw.append(reinterpret_cast<const char*>(&pixels[static_cast<std::size_t>(row * width)]),
               static_cast<std::size_t>(width));
  }
  std::string z = "\x78\x01";
  for (std::size_t at = 0; at < raw.size() || at == 0;) {
    const std::size_t length = std::min<std::size_t>(65535, raw.size() - at);
    z += static_cast<char>(at + length == raw.size() ? 1 : 0);
    z += static_cast<char>(length & 0xFF);
    z += static_cast<char>(length >> 8);
    z += static_cast<char>(~length & 0xFF);
    z += static_cast<char>((~length >> 8) & 0xFF);
    z.append(raw, at, length);
    at += length;
    if (length == 0) break;
  }
  std::uint32_t a = 1, b = 0;
  for (char c : raw) {
    a = (a + static_cast<unsigned char>(c)) % 65521u;
    b = (b + a) % 65521u;
  }
  PutBig32(z, (b << 16) | a);

  std::string png = "\x89PNG\r\n\x1a\n";
  std::string header;
  PutBig32(header, static_cast<std::uint32_t>(width));
  PutBig32(header, static_cast<std::uint32_t>(height));
  header += std::string("\x08\x03\x00\x00\x00", 5);  // 8 bits, indexed, deflate, no interlace
  PngChunk(png, "IHDR", header);
  std::string colours;
  for (const auto& rgb : palette)
    for (std::uint8_t v : rgb) colours += static_cast<char>(v);
  PngChunk(png, "PLTE", colours);
  PngChunk(png, "IDAT", z);
  PngChunk(png, "IEND", "");
  return png;
}

std::string Base64(const std::string& bytes) {
  static const char* const kDigits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t k = 0; k < bytes.size(); k += 3) {
    const std::size_t left = std::min<std::size_t>(3, bytes.size() - k);
    std::uint32_t v = 0;
    for (std::size_t j = 0; j < 3; ++j)
      v = (v << 8) | (j < left ? static_cast<unsigned char>(bytes[k + j]) : 0u);
    for (std::size_t j = 0; j < 4; ++j) out += j <= left ? kDigits[(v >> (18 - 6 * j)) & 63u] : '=';
  }
  return out;
}

// The colour scale from few to many samples per cell (perceptually even,
// dark blue through green to yellow).
constexpr std::array<std::array<double, 3>, 5> kScale = {
    {{68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98}, {253, 231, 37}}};

std::array<std::uint8_t, 3> ScaleColour(double t) {
  t = std::clamp(Finite(t), 0.0, 1.0) * (kScale.size() - 1);
  const std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(t), kScale.size() - 2);
  const double f = t - static_cast<double>(k);
  std::array<std::uint8_t, 3> rgb{};
  for (int c = 0; c < 3; ++c)
    rgb[static_cast<std::size_t>(c)] =
        static_cast<std::uint8_t>(std::lround(kScale[k][static_cast<std::size_t>(c)] * (1 - f) +
                                              kScale[k + 1][static_cast<std::size_t>(c)] * f));
  return rgb;
}

std::string ConstellationPlot(const PreviewData& data) {
  const ConstellationHistogram& histogram = data.constellation;
  const std::uint64_t maxCount = histogram.MaxCount();
  const double logMax = maxCount > 1 ? std::log(static_cast<double>(maxCount)) : 1.0;
  // Palette 0 is an empty cell; 1 to 255 run along the colour scale by the
  // logarithm of the count.
  std::vector<std::array<std::uint8_t, 3>> palette(256);
  palette[0] = {255, 255, 255};
  for (int k = 1; k < 256; ++k) palette[static_cast<std::size_t>(k)] = ScaleColour((k - 1) / 254.0);
  std::vector<std::uint8_t> pixels(kConstellationCells * kConstellationCells);
  for (int row = 0; row < kConstellationCells; ++row) {
    const int qCell = kConstellationCells - 1 - row;  // the top row holds the largest Q
    for (int iCell = 0; iCell < kConstellationCells; ++iCell) {
      const std::uint64_t count = histogram.Count(iCell, qCell);
      std::uint8_t index = 0;
      if (count > 0)
        index = static_cast<std::uint8_t>(
            maxCount > 1 ? 1 + std::lround(254.0 * std::log(static_cast<double>(count)) / logMax)
                         : 255);
      pixels[static_cast<std::size_t>(row * kConstellationCells + iCell)] = index;
    }
  }
  const Axis x{-1.0, 1.0, kConstLeft, kConstRight};
  const Axis y{-1.0, 1.0, kPlotsBottom, kPlotsTop};
  std::string out =
      "<g id=\"constellation\">\n" + Frame(kConstLeft, kPlotsTop, kConstRight, kPlotsBottom);
  // The cells span the words -32768 to 32767: a hair beyond +-1 full scale.
  const double edge = 32768.0 / kFullScaleWord;
  out += "<image x=\"" + Num(x.Map(-edge)) + "\" y=\"" + Num(y.Map(edge)) + "\" width=\"" +
         Num(x.Map(edge) - x.Map(-edge)) + "\" height=\"" + Num(y.Map(-edge) - y.Map(edge)) +
         "\" preserveAspectRatio=\"none\" style=\"image-rendering:pixelated\" "
         "xlink:href=\"data:image/png;base64," +
         Base64(IndexedPng(kConstellationCells, kConstellationCells, pixels, palette)) + "\"/>\n";
  out += Grid(x, true, kPlotsTop, kPlotsBottom, 4) + Grid(y, false, kConstLeft, kConstRight, 4);
  // A waveform of few distinct points: each cell also as a dot in its
  // colour, since a cell alone is less than two pixels wide.
  std::size_t occupied = 0;
  for (std::uint8_t index : pixels) occupied += index != 0 ? 1 : 0;
  if (occupied <= kSparseCells) {
    const double cell = (x.Map(edge) - x.Map(-edge)) / kConstellationCells;
    for (int row = 0; row < kConstellationCells; ++row) {
      for (int iCell = 0; iCell < kConstellationCells; ++iCell) {
        const std::uint8_t index =
            pixels[static_cast<std::size_t>(row * kConstellationCells + iCell)];
        if (index == 0) continue;
        const auto& rgb = palette[index];
        out += "<circle cx=\"" + Num(x.Map(-edge) + (iCell + 0.5) * cell) + "\" cy=\"" +
               Num(y.Map(edge) + (row + 0.5) * cell) +
               "\" r=\"3\" stroke=\"#000\" stroke-width=\"0.5\" fill=\"" +
               FormatText("#%02x%02x%02x", rgb[0], rgb[1], rgb[2]) + "\"/>\n";
      }
    }
  }
  // Axes through 0 and the unit circle, over the picture.
  out += "<path fill=\"none\" stroke=\"#888\" stroke-width=\"0.8\" d=\"M" + Num(x.Map(0)) + " " +
         Num(kPlotsTop) + "V" + Num(kPlotsBottom) + "M" + Num(kConstLeft) + " " + Num(y.Map(0)) +
         "H" + Num(kConstRight) + "\"/>\n";
  out += "<circle cx=\"" + Num(x.Map(0)) + "\" cy=\"" + Num(y.Map(0)) + "\" r=\"" +
         Num(x.Map(1) - x.Map(0)) +
         "\" fill=\"none\" stroke=\"#d62728\" stroke-width=\"1\" stroke-dasharray=\"4 3\"/>\n";
  out += Label((kConstLeft + kConstRight) / 2, kPlotsTop - 22,
               FormatText("Constellation: all %lld pairs, samples per cell",
                          static_cast<long long>(histogram.Total())));
  out += Label((kConstLeft + kConstRight) / 2, kPlotsTop - 8,
               FormatText("%d x %d cells, logarithmic colours; dashed: unit circle",
                          kConstellationCells, kConstellationCells));
  out += Label((kConstLeft + kConstRight) / 2, kPlotsBottom + 30, "I (full scale)");
  out += UpLabel(kConstLeft - 40, (kPlotsTop + kPlotsBottom) / 2, "Q (full scale)");

  // The colour bar: counts 1 to the largest on the logarithmic scale.
  out += "<defs><linearGradient id=\"density\" x1=\"0\" y1=\"1\" x2=\"0\" y2=\"0\">";
  for (std::size_t k = 0; k < kScale.size(); ++k) {
    const auto rgb = ScaleColour(static_cast<double>(k) / (kScale.size() - 1));
    out += "<stop offset=\"" + Num(static_cast<double>(k) / (kScale.size() - 1)) +
           "\" stop-color=\"" + FormatText("#%02x%02x%02x", rgb[0], rgb[1], rgb[2]) + "\"/>";
  }
  out += "</linearGradient></defs>\n";
  out += "<rect x=\"" + Num(kBarLeft) + "\" y=\"" + Num(kPlotsTop) + "\" width=\"" +
         Num(kBarRight - kBarLeft) + "\" height=\"" + Num(kPlotsBottom - kPlotsTop) +
         "\" fill=\"url(#density)\" stroke=\"#444\"/>\n";
  const Axis bar{0.0, logMax, kPlotsBottom, kPlotsTop};
  for (double count = 1.0; count <= static_cast<double>(std::max<std::uint64_t>(maxCount, 1));
       count *= 10.0) {
    const double p = maxCount > 1 ? bar.Map(std::log(count)) : kPlotsTop;
    out += Label(kBarRight + 3, p + 4, FormatText("%.0f", count), "start", " font-size=\"10\"");
  }
  const double decades = std::log10(static_cast<double>(std::max<std::uint64_t>(maxCount, 1)));
  if (maxCount > 1 && decades - std::floor(decades) > 0.15)
    out += Label(kBarRight + 3, kPlotsTop - 4,
                 FormatText("%llu", static_cast<unsigned long long>(maxCount)), "start",
                 " font-size=\"10\"");
  return out + "</g>\n";
}

// ---- Spectrum ----

struct FrequencyScale {
  bool usable;
  double perBin;  // axis units per bin
  double span;    // axis units of the whole band
};

FrequencyScale FrequencyScaleOf(const PreviewData& data) {
  const double bins = static_cast<double>(std::max<std::size_t>(data.bins, 1));
  if (ClockUsable(data.header)) {
    const double mhz = data.header.clock / kHzPerMHz;
    return {true, mhz / bins, mhz};
  }
  return {false, 1.0 / bins, 1.0};
}

std::string ToneText(const PreviewData& data, const SpectrumTone& tone) {
  const FrequencyScale scale = FrequencyScaleOf(data);
  const double at = tone.bin * scale.perBin;
  const int decimals = std::clamp(DecimalsFor(scale.perBin) + 1, 3, 7);
  return (scale.usable ? Num(at, decimals) + " MHz" : Num(at, decimals) + " cycles/sample") + ", " +
         Num(Dbfs(tone.power), 2) + " dBFS";
}

std::string SpectrumPlot(const PreviewData& data, const std::vector<SpectrumTone>& tones,
                         double floor) {
  const std::vector<double>& power = data.spectrum;
  const std::size_t bins = power.size();
  const FrequencyScale scale = FrequencyScaleOf(data);
  double top = kFloorDbfs, bottom = 0.0;
  for (double p : power) {
    top = std::max(top, Dbfs(p));
    bottom = std::min(bottom, Dbfs(p));
  }
  top = std::min(10.0, std::ceil(top / 10.0) * 10.0 + 10.0);
  bottom = std::max(std::floor(bottom / 10.0) * 10.0, top - 150.0);
  if (bottom >= top) bottom = top - 10.0;
  const Axis x{-scale.span / 2, scale.span / 2, kSpecLeft, kRight};
  const Axis y{bottom, top, kPlotsBottom, kPlotsTop};
  std::string out = "<g id=\"spectrum\">\n" + Frame(kSpecLeft, kPlotsTop, kRight, kPlotsBottom);
  out += Grid(x, true, kPlotsTop, kPlotsBottom, 6) + Grid(y, false, kSpecLeft, kRight, 7);
  // 0 Hz.
  out += "<line x1=\"" + Num(x.Map(0)) + "\" y1=\"" + Num(kPlotsTop) + "\" x2=\"" + Num(x.Map(0)) +
         "\" y2=\"" + Num(kPlotsBottom) + "\" stroke=\"#444\" stroke-dasharray=\"3 3\"/>\n" +
         Label(x.Map(0) + 3, kPlotsTop + 12, scale.usable ? "0 Hz" : "0", "start",
               " font-size=\"10\"");
  // Every bin, negative frequencies first.
  std::vector<double> xs, ys;
  for (std::size_t j = 0; j < bins; ++j) {
    const double frequency =
        (static_cast<double>(j) - static_cast<double>(bins / 2)) * scale.perBin;
    xs.push_back(x.Map(frequency));
    ys.push_back(y.Map(std::clamp(Dbfs(power[(j + bins / 2) % bins]), bottom, top)));
  }
  out += Polyline(xs, ys, "#d62728", "0.8", 1);
  // The tones, numbered at their peaks and listed under the plot.
  for (std::size_t t = 0; t < tones.size(); ++t) {
    const double px = x.Map(tones[t].bin * scale.perBin);
    const double py = y.Map(std::clamp(Dbfs(tones[t].peakPower), bottom, top));
    out += "<circle cx=\"" + Num(px) + "\" cy=\"" + Num(py) +
           "\" r=\"4\" fill=\"none\" stroke=\"#000\"/>\n" +
           Label(px, std::max(py - 7, kPlotsTop + 10), FormatText("%zu", t + 1), "middle",
                 " font-size=\"11\" font-weight=\"bold\"");
    out += Label(kSpecLeft, kToneTop + kCaptionLine * static_cast<double>(t),
                 FormatText("tone %zu: ", t + 1) + ToneText(data, tones[t]), "start");
  }
  if (tones.empty())
    out += Label(
        kSpecLeft, kToneTop,
        FormatText("no tone %.0f dB or more above the median floor", kPreviewToneAboveFloorDb),
        "start");
  const double rbw = kHannNoiseBandwidthBins * scale.perBin;
  out += Label((kSpecLeft + kRight) / 2, kPlotsTop - 22, "Power spectrum (dBFS per bin)");
  out += Label((kSpecLeft + kRight) / 2, kPlotsTop - 8,
               FormatText("Hann, %zu bins, RBW ", data.bins) +
                   (scale.usable ? Frequency(rbw * kHzPerMHz) : Num(rbw, 6) + " cycles/sample") +
                   FormatText(", %lld segments averaged", static_cast<long long>(data.segments)));
  out += Label((kSpecLeft + kRight) / 2, kPlotsBottom + 30,
               scale.usable ? "Frequency (MHz)"
                            : "Frequency (cycles per sample: the file has no usable CLOCK)");
  out += UpLabel(kSpecLeft - 42, (kPlotsTop + kPlotsBottom) / 2, "Level (dBFS)");
  out += Label(kRight - 4, kPlotsBottom - 6, "median floor " + Num(Dbfs(floor), 1) + " dBFS", "end",
               " font-size=\"10\"");
  return out + "</g>\n";
}

// ---- Caption ----

std::string OrNone(const std::string& text) { return text.empty() ? "(none)" : text; }

// The line in pieces of at most kCaptionChars characters (UTF-8 code
// points), broken at the last blank where there is one, the pieces after the
// first indented.
std::vector<std::string> Wrapped(const std::string& line) {
  std::vector<std::string> pieces;
  std::string rest = line;
  const auto isStart = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; };
  while (true) {
    // The byte at which the kCaptionChars-th character ends.
    std::size_t end = 0, chars = 0;
    while (end < rest.size() && chars < kCaptionChars) {
      ++end;
      while (end < rest.size() && !isStart(rest[end])) ++end;
      ++chars;
    }
    if (end >= rest.size()) break;
    const std::size_t blank = rest.rfind(' ', end);
    const std::size_t cut = blank != std::string::npos && blank > kCaptionChars / 2 ? blank : end;
    pieces.push_back(rest.substr(0, cut));
    rest = "    " + rest.substr(cut == blank ? cut + 1 : cut);
  }
  pieces.push_back(rest);
  return pieces;
}

std::vector<std::string> CaptionLines(const PreviewData& data, const bool shown[kMarkerCount]) {
  const WaveformHeader& header = data.header;
  std::vector<std::string> lines;
  lines.push_back("File: " + platform::FileNamePart(header.path) +
                  "  |  TYPE: " + OrNone(header.typeText) + "  |  DATE: " + OrNone(header.date));
  std::string clock;
  if (ClockUsable(header)) {
    clock = "CLOCK: " + Num(header.clock / kHzPerMHz, 6) + " MHz";
  } else {
    clock = "CLOCK: ";
    if (!header.hasClock)
      clock += "none";
    else if (!std::isfinite(header.clock))
      clock += "not a finite number";
    else
      clock += FormatText("%g Hz", header.clock) + ", outside " + kClockRangeText;
    clock += " (unusable: time in samples, frequency in cycles per sample)";
  }
  std::string extent = FormatText("  |  %lld pairs", static_cast<long long>(data.pairs));
  if (ClockUsable(header))
    extent += " = " + Duration(static_cast<double>(data.pairs) / header.clock);
  lines.push_back(clock + extent);
  std::string levels = "Played words / 32767: ";
  if (data.pairs == 0 || data.powerSum == 0) {
    levels += "silence";
  } else {
    const double scale = kFullScaleWord * kFullScaleWord;
    const double rms =
        Dbfs(static_cast<double>(data.powerSum) / static_cast<double>(data.pairs) / scale);
    const double peak = Dbfs(static_cast<double>(data.peakPower) / scale);
    levels += "RMS " + Num(rms, 2) + " dBFS, peak " + Num(peak, 2) + " dBFS, crest factor " +
              Num(peak - rms, 2) + " dB";
  }
  levels += FormatText("  |  clipped words: %lld", static_cast<long long>(data.clippedWords));
  if (header.hasLevels)
    levels +=
        std::isfinite(header.rmsOffset) && std::isfinite(header.peakOffset)
            ? "  |  LEVEL OFFS tag: " + Num(header.rmsOffset, 2) + ", " + Num(header.peakOffset, 2)
            : std::string("  |  LEVEL OFFS tag: not finite");
  lines.push_back(levels);
  std::string markers;
  if (data.markersInWords) {
    markers = "Markers: 1 to 4 in the low bits of the words";
  } else {
    for (int m = 0; m < kMarkerCount; ++m)
      if (shown[m])
        markers += (markers.empty() ? "Markers (MARKER LIST entries): " : ", ") +
                   FormatText("marker %d: %lld", m + 1,
                              static_cast<long long>(header.markers[m].entryCount));
    if (markers.empty()) markers = "no markers";
  }
  lines.push_back(markers);
  lines.push_back("COMMENT: " + OrNone(header.comment));
  lines.push_back("COPYRIGHT: " + OrNone(header.copyright));
  std::vector<std::string> wrapped;
  for (const std::string& line : lines)
    for (std::string& piece : Wrapped(line)) wrapped.push_back(std::move(piece));
  return wrapped;
}

// ---- The pass over the words ----

template <WordKind kKind>
void PlayBlock(const std::uint16_t* raw, std::size_t words, std::int16_t* played,
               std::int64_t* clipped) {
  std::int64_t atLimit = 0;
  for (std::size_t w = 0; w < words; ++w) {
    played[w] = PlayedWordAs<kKind>(raw[w]);
    atLimit += IsFullScaleWordAs<kKind>(raw[w]) ? 1 : 0;
  }
  *clipped += atLimit;
}

void PlayWords(WordKind kind, const std::uint16_t* raw, std::size_t words, std::int16_t* played,
               std::int64_t* clipped) {
  switch (kind) {
    case WordKind::kKvg:
      return PlayBlock<WordKind::kKvg>(raw, words, played, clipped);
    case WordKind::kZq750:
      return PlayBlock<WordKind::kZq750>(raw, words, played, clipped);
    case WordKind::kZetq16:
      return PlayBlock<WordKind::kZetq16>(raw, words, played, clipped);
    default:
      return PlayBlock<WordKind::kZetq14>(raw, words, played, clipped);
  }
}

}  // namespace

bool ParsePreviewRange(const std::string& text, PreviewRange* range) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  const auto number = [](std::string_view digits, std::int64_t* value) {
    if (digits.empty() || digits.front() < '0' || digits.front() > '9') return false;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), *value);
    return error == std::errc() && end == digits.data() + digits.size();
  };
  PreviewRange parsed;
  parsed.given = true;
  if (!number(std::string_view(text).substr(0, colon), &parsed.start) ||
      !number(std::string_view(text).substr(colon + 1), &parsed.count) || parsed.count < 1)
    return false;
  *range = parsed;
  return true;
}

bool PreviewNameAccepted(const std::string& path) {
  if (path.size() < 4) return false;
  std::string end = path.substr(path.size() - 4);
  for (char& c : end)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return end == ".svg";
}

std::uint64_t ConstellationHistogram::MaxCount() const {
  return *std::max_element(counts_.begin(), counts_.end());
}

std::uint64_t ConstellationHistogram::Total() const {
  std::uint64_t total = 0;
  for (std::uint64_t c : counts_) total += c;
  return total;
}

void PreviewEnvelope::Reset(std::int64_t firstPair, std::int64_t pairs, int maxColumns) {
  first = firstPair;
  count = std::max<std::int64_t>(pairs, 0);
  columns = static_cast<int>(std::min<std::int64_t>(maxColumns, std::max<std::int64_t>(count, 1)));
  const auto n = static_cast<std::size_t>(columns);
  minI.assign(n, INT16_MAX);
  minQ.assign(n, INT16_MAX);
  maxI.assign(n, INT16_MIN);
  maxQ.assign(n, INT16_MIN);
  markers.assign(n, 0);
  seen.assign(n, 0);
}

void PreviewEnvelope::Add(const std::int16_t* words, std::size_t pairs, std::int64_t blockFirst) {
  const std::int64_t from = std::max(first, blockFirst);
  const std::int64_t to = std::min(first + count, blockFirst + static_cast<std::int64_t>(pairs));
  for (std::int64_t t = from; t < to;) {
    // Column c holds the pairs from ceil(c * count / columns) on.
    const std::int64_t c = (t - first) * columns / count;
    const std::int64_t columnEnd = first + ((c + 1) * count + columns - 1) / columns;
    const std::int64_t stop = std::min(to, columnEnd);
    std::int16_t lowI = minI[static_cast<std::size_t>(c)],
                 highI = maxI[static_cast<std::size_t>(c)];
    std::int16_t lowQ = minQ[static_cast<std::size_t>(c)],
                 highQ = maxQ[static_cast<std::size_t>(c)];
    for (std::int64_t k = t; k < stop; ++k) {
      const std::size_t w = 2 * static_cast<std::size_t>(k - blockFirst);
      lowI = std::min(lowI, words[w]);
      highI = std::max(highI, words[w]);
      lowQ = std::min(lowQ, words[w + 1]);
      highQ = std::max(highQ, words[w + 1]);
    }
    minI[static_cast<std::size_t>(c)] = lowI;
    maxI[static_cast<std::size_t>(c)] = highI;
    minQ[static_cast<std::size_t>(c)] = lowQ;
    maxQ[static_cast<std::size_t>(c)] = highQ;
    seen[static_cast<std::size_t>(c)] = 1;
    t = std::max(stop, t + 1);
  }
}

int CollectPreview(const std::string& inputPath, const PreviewRange& range, PreviewData* data) {
  PreviewData& d = *data;
  platform::FileHandle file = OpenWaveformSamples(inputPath, &d.header);
  if (!file) return 0;
  const WaveformHeader& header = d.header;
  const std::int64_t pairs = header.pairsPresent;
  d.pairs = pairs;
  if (range.given && range.start >= pairs) {
    LogAlways({FormatText("*** The range starts at pair %lld, but the file holds %lld pairs.",
                          static_cast<long long>(range.start), static_cast<long long>(pairs))});
    return 0;
  }
  d.whole.Reset(0, pairs, kPreviewColumns);
  // The window: -range, or the first pairs, of which the pass keeps enough
  // to choose from once the spectrum is known.
  d.windowFirst = range.given ? range.start : 0;
  d.windowCount = range.given ? std::min(range.count, pairs - range.start)
                              : std::min(kPreviewWindowMaxPoints, pairs);
  d.windowAsEnvelope = d.windowCount > kPreviewWindowMaxPoints;
  if (d.windowAsEnvelope) d.windowEnvelope.Reset(d.windowFirst, d.windowCount, kPreviewColumns);
  const std::int64_t windowEnd = d.windowFirst + d.windowCount;

  const WordKind kind = WordKindOf(header);
  d.markersInWords = MarkersInWordBits(header);
  d.bins = SpectrumBinsFor(pairs);
  SegmentSpectrum spectrum(d.bins, pairs, kPreviewMaxSegments);
  MarkerListCursor cursor(file.get(), header);
  std::vector<std::int16_t> played;
  const bool ok = ForEachWordBlock(
      file.get(), header, [&](const std::uint16_t* words, std::size_t count, std::int64_t first) {
        played.resize(2 * count);
        PlayWords(kind, words, 2 * count, played.data(), &d.clippedWords);
        std::int64_t powerSum = 0, peak = d.peakPower;
        for (std::size_t p = 0; p < count; ++p) {
          const std::int16_t i = played[2 * p], q = played[2 * p + 1];
          d.constellation.Add(i, q);
          const std::int64_t power = std::int64_t{i} * i + std::int64_t{q} * q;
          powerSum += power;
          peak = std::max(peak, power);
        }
        d.powerSum += powerSum;
        d.peakPower = peak;
        d.whole.Add(played.data(), count, first);
        spectrum.AddWords(played.data(), count, first, static_cast<float>(kFullScaleWord));
        // The window's samples and markers.
        const std::int64_t end = first + static_cast<std::int64_t>(count);
        const std::int64_t from = std::max(first, d.windowFirst), to = std::min(end, windowEnd);
        if (d.windowAsEnvelope) d.windowEnvelope.Add(played.data(), count, first);
        for (std::int64_t k = from; k < to; ++k) {
          const std::size_t w = 2 * static_cast<std::size_t>(k - first);
          const std::uint8_t bits =
              d.markersInWords ? MarkerByteFromWords(words[w], words[w + 1]) : cursor.At(k);
          if (d.windowAsEnvelope) {
            const std::int64_t c = (k - d.windowFirst) * d.windowEnvelope.columns / d.windowCount;
            d.windowEnvelope.markers[static_cast<std::size_t>(c)] |= bits;
          } else {
            d.windowI.push_back(static_cast<float>(played[w] / kFullScaleWord));
            d.windowQ.push_back(static_cast<float>(played[w + 1] / kFullScaleWord));
            d.windowMarkers.push_back(bits);
          }
        }
        return true;
      });
  if (!ok) return 0;
  if (cursor.failed()) return LogMarkerListsUnreadable(header.path);
  d.spectrum = spectrum.MeanPower();
  d.segments = spectrum.segments();
  if (!range.given && pairs > 0) {
    // About kPreviewWindowPeriods periods of the strongest tone off 0 Hz.
    double floor = 0.0;
    const std::vector<SpectrumTone> tones =
        FindTones(d.spectrum, kPreviewMaxTones, kPreviewToneAboveFloorDb, &floor);
    std::int64_t window = kPreviewWindowNoTonePairs;
    for (const SpectrumTone& tone : tones) {
      if (std::fabs(tone.bin) < 1.0) continue;
      const double periods =
          kPreviewWindowPeriods * static_cast<double>(d.bins) / std::fabs(tone.bin);
      window = std::llround(std::min(periods, static_cast<double>(kPreviewWindowMaxPoints)));
      break;
    }
    window = std::clamp(window, kPreviewWindowMinPairs, kPreviewWindowMaxPoints);
    d.windowCount = std::min(window, d.windowCount);
    d.windowI.resize(static_cast<std::size_t>(d.windowCount));
    d.windowQ.resize(static_cast<std::size_t>(d.windowCount));
    d.windowMarkers.resize(static_cast<std::size_t>(d.windowCount));
  }
  return 1;
}

int WriteWaveformPreview(const std::string& inputPath, const std::string& svgPath,
                         bool replaceExisting, const std::string& rangeText) {
  if (!PreviewNameAccepted(svgPath)) {
    LogAlways({"*** The preview is an SVG picture: its name must end in .svg ('", svgPath,
               "' does not)."});
    return 0;
  }
  PreviewRange range;
  if (!rangeText.empty() && !ParsePreviewRange(rangeText, &range)) {
    LogAlways({"*** Invalid range '", rangeText,
               "': give -range <start>:<count>, in pairs, count at least 1."});
    return 0;
  }
  PreviewData data;
  if (!CollectPreview(inputPath, range, &data)) return 0;

  const WaveformHeader& header = data.header;
  bool shown[kMarkerCount] = {};
  for (int m = 0; m < kMarkerCount; ++m)
    shown[m] = data.markersInWords || header.markers[m].present;
  double floor = 0.0;
  const std::vector<SpectrumTone> tones =
      FindTones(data.spectrum, kPreviewMaxTones, kPreviewToneAboveFloorDb, &floor);
  const std::vector<std::string> caption = CaptionLines(data, shown);
  const double captionTop =
      kToneTop + kCaptionLine * static_cast<double>(std::max<std::size_t>(tones.size(), 1)) + 24.0;
  const double height = captionTop + kCaptionLine * static_cast<double>(caption.size()) + 10.0;

  OutputFile out(svgPath, replaceExisting);
  if (!out.Open()) return 0;
  out.Append("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  out.Append(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
      "width=\"" +
      Num(kWidth) + "\" height=\"" + Num(height) + "\" viewBox=\"0 0 " + Num(kWidth) + " " +
      Num(height) + "\" font-family=\"sans-serif\" font-size=\"12\">\n");
  out.Append("<title>" + XmlText("Waveform preview of " + platform::FileNamePart(inputPath)) +
             "</title>\n");
  out.Append("<rect width=\"100%\" height=\"100%\" fill=\"#f8f8f8\"/>\n");
  out.Append("<text x=\"" + Num(kLeft) + "\" y=\"28\" font-size=\"16\" font-weight=\"bold\">" +
             XmlText("Waveform preview: " + platform::FileNamePart(inputPath)) + "</text>\n");
  out.Append(EnvelopePlot(data));
  out.Append(WindowPlot(data, range));
  out.Append(MarkerTraces(data, shown));
  out.Append(ConstellationPlot(data));
  out.Append(SpectrumPlot(data, tones, floor));
  out.Append("<g id=\"caption\">\n");
  for (std::size_t k = 0; k < caption.size(); ++k)
    out.Append(
        Label(kLeft, captionTop + kCaptionLine * static_cast<double>(k), caption[k], "start"));
  out.Append("</g>\n</svg>\n");
  if (!out.Commit()) return 0;
  LogMessage(kLogInfo, {"Preview written to ", svgPath});
  return 1;
}
