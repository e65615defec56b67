// The preview picture: one pass over the words collects the first samples,
// an evenly spread subset for the constellation and the Welch spectrum; the
// SVG text is then written in one piece.
#include "waveform/SvgPreview.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/Log.h"
#include "level/Spectrum.h"
#include "platform/Platform.h"
#include "waveform/MarkerStream.h"
#include "waveform/OutputFile.h"
#include "waveform/WaveformFormat.h"
#include "waveform/WaveformInspect.h"

namespace {

constexpr double kWidth = 1000.0;
constexpr double kLeft = 70.0;
constexpr double kRight = 970.0;
constexpr double kTimeTop = 60.0;
constexpr double kTimeBottom = 300.0;
constexpr double kMarkerTop = 322.0;
constexpr double kMarkerRow = 18.0;
constexpr double kPlotsTop = 430.0;
constexpr double kPlotsBottom = 790.0;
constexpr double kConstLeft = 70.0;
constexpr double kConstRight = 430.0;
constexpr double kSpecLeft = 520.0;
constexpr double kCaptionTop = 850.0;
constexpr double kCaptionLine = 18.0;
constexpr double kHzPerMHz = 1e6;

struct Collected {
  std::vector<float> traceI, traceQ;
  std::vector<std::uint8_t> traceMarkers;
  std::vector<float> pointI, pointQ;
};

// Text for XML: markup characters escaped, control characters and bytes that
// do not form UTF-8 shown as '?'.
std::string XmlText(const std::string& text) {
  std::string out;
  for (std::size_t k = 0; k < text.size(); ++k) {
    const auto c = static_cast<unsigned char>(text[k]);
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '"')
      out += "&quot;";
    else if (c < 0x20 || c == 0x7F)
      out += '?';
    else if (c < 0x80)
      out += static_cast<char>(c);
    else {
      const std::size_t length = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
      bool valid = length > 0 && k + length <= text.size() && c < 0xF5;
      for (std::size_t j = 1; valid && j < length; ++j)
        valid = (static_cast<unsigned char>(text[k + j]) & 0xC0) == 0x80;
      if (valid) {
        out.append(text, k, length);
        k += length - 1;
      } else {
        out += '?';
      }
    }
  }
  return out;
}

std::string Num(double value) { return FormatText("%.2f", value); }

// A step of 1, 2 or 5 times a power of ten giving about `count` ticks.
double NiceStep(double range, int count) {
  const double raw = range / count;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double factor : {1.0, 2.0, 5.0})
    if (raw <= factor * power) return factor * power;
  return 10.0 * power;
}

// The smallest of 1, 0.5, 0.2, 0.1, 0.05, ... that holds `peak`.
double AmplitudeRange(double peak) {
  double range = 1.0;
  for (int k = 0; k < 30 && peak <= range / 2.0; ++k) range /= (k % 3 == 1) ? 2.5 : 2.0;
  return range;
}

struct Axis {
  double lo, hi, pixelLo, pixelHi;
  double Map(double v) const { return pixelLo + (v - lo) / (hi - lo) * (pixelHi - pixelLo); }
};

std::string Frame(double x0, double y0, double x1, double y1) {
  return "<rect x=\"" + Num(x0) + "\" y=\"" + Num(y0) + "\" width=\"" + Num(x1 - x0) +
         "\" height=\"" + Num(y1 - y0) + "\" fill=\"#fff\" stroke=\"#444\"/>\n";
}

std::string Label(double x, double y, const std::string& text, const char* anchor = "middle") {
  return "<text x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" text-anchor=\"" + anchor + "\">" +
         XmlText(text) + "</text>\n";
}

// Grid lines and numbers along x (vertical lines) or y (horizontal lines).
std::string Grid(const Axis& axis, bool alongX, double from, double to, int count) {
  std::string out;
  const double step = NiceStep(axis.hi - axis.lo, count);
  for (double v = std::ceil(axis.lo / step) * step; v <= axis.hi + step * 1e-9; v += step) {
    const double p = axis.Map(v);
    const std::string value = FormatText("%g", std::fabs(v) < step * 1e-9 ? 0.0 : v);
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
                     const char* colour) {
  std::string out =
      "<polyline fill=\"none\" stroke=\"" + std::string(colour) + "\" stroke-width=\"1\" points=\"";
  for (std::size_t k = 0; k < xs.size(); ++k)
    out += FormatText(k ? " %.2f,%.2f" : "%.2f,%.2f", xs[k], ys[k]);
  return out + "\"/>\n";
}

std::string TimePlot(const Collected& data) {
  const std::size_t n = data.traceI.size();
  double peak = 0.0;
  for (std::size_t k = 0; k < n; ++k)
    peak = std::max({peak, std::fabs(double{data.traceI[k]}), std::fabs(double{data.traceQ[k]})});
  const double range = AmplitudeRange(peak);
  const Axis x{0.0, static_cast<double>(std::max<std::size_t>(n, 2) - 1), kLeft, kRight};
  const Axis y{-range, range, kTimeBottom, kTimeTop};
  std::string out = "<g id=\"time-plot\">\n" + Frame(kLeft, kTimeTop, kRight, kTimeBottom);
  out += Grid(x, true, kTimeTop, kTimeBottom, 10) + Grid(y, false, kLeft, kRight, 4);
  std::vector<double> xs(n), is(n), qs(n);
  for (std::size_t k = 0; k < n; ++k) {
    xs[k] = x.Map(static_cast<double>(k));
    is[k] = y.Map(data.traceI[k]);
    qs[k] = y.Map(data.traceQ[k]);
  }
  out += Polyline(xs, is, "#1f77b4") + Polyline(xs, qs, "#ff7f0e");
  out += Label(kLeft, kTimeTop - 8,
               FormatText("I (blue) and Q (orange) of the first %zu samples, full scale 1", n),
               "start");
  return out + "</g>\n";
}

std::string MarkerTraces(const Collected& data, const bool shown[kMarkerCount]) {
  const std::size_t n = data.traceMarkers.size();
  const Axis x{0.0, static_cast<double>(std::max<std::size_t>(n, 2) - 1), kLeft, kRight};
  std::string out = "<g id=\"marker-traces\">\n";
  int row = 0;
  for (int m = 0; m < kMarkerCount; ++m) {
    if (!shown[m]) continue;
    const double low = kMarkerTop + kMarkerRow * (row + 1) - 3, high = low - kMarkerRow + 6;
    std::vector<double> xs, ys;
    for (std::size_t k = 0; k < n; ++k) {
      const double level = (data.traceMarkers[k] >> m) & 1u ? high : low;
      if (k > 0 && level != ys.back()) {
        xs.push_back(x.Map(static_cast<double>(k)));
        ys.push_back(ys.back());
      }
      if (k == 0 || level != ys.back() || k + 1 == n) {
        xs.push_back(x.Map(static_cast<double>(k)));
        ys.push_back(level);
      }
    }
    out += Label(kLeft - 5, low, FormatText("M%d", m + 1), "end") + Polyline(xs, ys, "#2ca02c");
    ++row;
  }
  if (row == 0) out += Label(kLeft, kMarkerTop + 12, "no marker traces", "start");
  return out + "</g>\n";
}

std::string Constellation(const Collected& data) {
  double peak = 0.0;
  for (std::size_t k = 0; k < data.pointI.size(); ++k)
    peak = std::max({peak, std::fabs(double{data.pointI[k]}), std::fabs(double{data.pointQ[k]})});
  const double range = AmplitudeRange(peak);
  const Axis x{-range, range, kConstLeft, kConstRight};
  const Axis y{-range, range, kPlotsBottom, kPlotsTop};
  std::string out =
      "<g id=\"constellation\">\n" + Frame(kConstLeft, kPlotsTop, kConstRight, kPlotsBottom);
  out += Grid(x, true, kPlotsTop, kPlotsBottom, 4) + Grid(y, false, kConstLeft, kConstRight, 4);
  // Each point is a zero-length stroke with round caps: a dot.
  out += "<path fill=\"none\" stroke=\"#1f77b4\" stroke-width=\"2\" stroke-linecap=\"round\" d=\"";
  for (std::size_t k = 0; k < data.pointI.size(); ++k)
    out += FormatText("M%.1f %.1fh0", x.Map(data.pointI[k]), y.Map(data.pointQ[k]));
  out += "\"/>\n";
  out += Label((kConstLeft + kConstRight) / 2, kPlotsTop - 8,
               FormatText("Constellation (%zu points over the file)", data.pointI.size()));
  out += Label((kConstLeft + kConstRight) / 2, kPlotsBottom + 32, "I");
  return out + "</g>\n";
}

std::string SpectrumPlot(const WelchSpectrum& welch, const WaveformHeader& header) {
  const std::vector<double> db = welch.PowerDbfs();
  const std::size_t bins = welch.bins();
  const double rate = header.hasClock ? header.clock / kHzPerMHz : 1.0;
  double top = -200.0, bottom = 0.0;
  for (double v : db) {
    top = std::max(top, v);
    bottom = std::min(bottom, v);
  }
  top = std::min(0.0, std::ceil(top / 10.0) * 10.0 + 10.0);
  bottom = std::max(std::floor(bottom / 10.0) * 10.0, top - 140.0);
  if (bottom >= top) bottom = top - 10.0;
  const Axis x{-rate / 2, rate / 2, kSpecLeft, kRight};
  const Axis y{bottom, top, kPlotsBottom, kPlotsTop};
  std::string out = "<g id=\"spectrum\">\n" + Frame(kSpecLeft, kPlotsTop, kRight, kPlotsBottom);
  out += Grid(x, true, kPlotsTop, kPlotsBottom, 6) + Grid(y, false, kSpecLeft, kRight, 7);
  std::vector<double> xs, ys;
  for (std::size_t j = 0; j < db.size(); ++j) {
    const std::size_t k = (j + bins / 2) % bins;  // negative frequencies first
    const double frequency =
        (static_cast<double>(j) - static_cast<double>(bins / 2)) / static_cast<double>(bins) * rate;
    xs.push_back(x.Map(frequency));
    ys.push_back(y.Map(std::clamp(db[k], bottom, top)));
  }
  out += Polyline(xs, ys, "#d62728");
  out += Label((kSpecLeft + kRight) / 2, kPlotsTop - 8,
               FormatText("Power spectrum, dBFS (Welch, %zu bins, Hann, %lld segments)", bins,
                          static_cast<long long>(welch.segments())));
  out += Label((kSpecLeft + kRight) / 2, kPlotsBottom + 32,
               header.hasClock ? "Frequency (MHz)" : "Frequency (fraction of the sample rate)");
  return out + "</g>\n";
}

std::vector<std::string> CaptionLines(const WaveformHeader& header, std::int64_t pairs) {
  std::vector<std::string> lines;
  lines.push_back("File: " + platform::FileNamePart(header.path) + "   TYPE: " + header.typeText +
                  (header.date.empty() ? "" : "   DATE: " + header.date));
  std::string levels = header.hasLevels ? FormatText("%f,%f", header.rmsOffset, header.peakOffset)
                                        : std::string("(none)");
  lines.push_back((header.hasClock ? FormatText("CLOCK: %.3f Hz", header.clock)
                                   : std::string("CLOCK: (none)")) +
                  "   LEVEL OFFS: " + levels +
                  (header.hasSamples
                       ? FormatText("   SAMPLES: %lld", static_cast<long long>(header.samples))
                       : std::string("   SAMPLES: (none)")) +
                  FormatText("   pairs present: %lld", static_cast<long long>(pairs)));
  if (!header.comment.empty()) lines.push_back("COMMENT: " + header.comment);
  if (!header.copyright.empty()) lines.push_back("COPYRIGHT: " + header.copyright);
  return lines;
}

}  // namespace

int WriteWaveformPreview(const std::string& inputPath, const std::string& svgPath,
                         bool replaceExisting) {
  WaveformHeader header;
  platform::FileHandle file = OpenWaveformSamples(inputPath, &header);
  if (!file) return 0;
  const std::int64_t pairs = header.pairsPresent;
  const std::int64_t stride =
      std::max<std::int64_t>(1, (pairs + kPreviewConstellationPoints - 1) /
                                    static_cast<std::int64_t>(kPreviewConstellationPoints));
  const bool wordBits = MarkersInWordBits(header);
  Collected data;
  WelchSpectrum welch(kPreviewSpectrumBins);
  MarkerListCursor cursor(file.get(), header);
  const bool ok = ForEachWordBlock(
      file.get(), header, [&](const std::uint16_t* words, std::size_t count, std::int64_t first) {
        for (std::size_t p = 0; p < count; ++p) {
          const float i = DecodeWord(header, words[2 * p]);
          const float q = DecodeWord(header, words[2 * p + 1]);
          const std::int64_t index = first + static_cast<std::int64_t>(p);
          welch.Add(i, q);
          if (data.traceI.size() < kPreviewTracePairs) {
            data.traceI.push_back(i);
            data.traceQ.push_back(q);
            data.traceMarkers.push_back(
                wordBits ? MarkerByteFromWords(words[2 * p], words[2 * p + 1]) : cursor.At(index));
          }
          if (index % stride == 0 && data.pointI.size() < kPreviewConstellationPoints) {
            data.pointI.push_back(i);
            data.pointQ.push_back(q);
          }
        }
        return true;
      });
  if (!ok) return 0;

  bool shown[kMarkerCount] = {};
  for (int m = 0; m < kMarkerCount; ++m) shown[m] = wordBits || header.markers[m].present;
  const std::vector<std::string> caption = CaptionLines(header, pairs);
  const double height = kCaptionTop + kCaptionLine * static_cast<double>(caption.size()) + 10.0;

  OutputFile out(svgPath, replaceExisting);
  if (!out.Open()) return 0;
  out.Append("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  out.Append("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(kWidth) + "\" height=\"" +
             Num(height) + "\" viewBox=\"0 0 " + Num(kWidth) + " " + Num(height) +
             "\" font-family=\"sans-serif\" font-size=\"12\">\n");
  out.Append("<title>" + XmlText("Waveform preview of " + platform::FileNamePart(inputPath)) +
             "</title>\n");
  out.Append("<rect width=\"100%\" height=\"100%\" fill=\"#f8f8f8\"/>\n");
  out.Append("<text x=\"" + Num(kLeft) + "\" y=\"28\" font-size=\"16\" font-weight=\"bold\">" +
             XmlText("Waveform preview: " + platform::FileNamePart(inputPath)) + "</text>\n");
  out.Append(TimePlot(data));
  out.Append(MarkerTraces(data, shown));
  out.Append(Constellation(data));
  out.Append(SpectrumPlot(welch, header));
  out.Append("<g id=\"caption\">\n");
  for (std::size_t k = 0; k < caption.size(); ++k)
    out.Append(
        Label(kLeft, kCaptionTop + kCaptionLine * static_cast<double>(k), caption[k], "start"));
  out.Append("</g>\n</svg>\n");
  if (!out.Commit()) return 0;
  LogMessage(kLogInfo, {"Preview written to ", svgPath});
  return 1;
}
