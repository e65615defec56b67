// Export of waveform files: one streaming pass over the words into the
// output file; for SigMF the meta file follows from the tags and markers.
#include "waveform/Export.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <string_view>

#include "common/ByteOrder.h"
#include "common/Limits.h"
#include "common/Log.h"
#include "platform/Platform.h"
#include "waveform/MarkerStream.h"
#include "waveform/OutputFile.h"
#include "waveform/WaveformFormat.h"
#include "waveform/WaveformInspect.h"

namespace {

constexpr const char* kSigmfData = ".sigmf-data";
constexpr const char* kSigmfMeta = ".sigmf-meta";
constexpr const char* kSigmfArchive = ".sigmf";
constexpr const char* kSigmfVersion = "1.0.0";
constexpr std::uint64_t kWavHeaderBytes = 44;
constexpr std::uint64_t kMaxRiffBytes = 0xFFFFFFFFu;
// The byte rate (4 bytes per frame) must fit 32 bits as well.
constexpr double kMaxWavRate = 1073741823.0;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string SigmfBase(const std::string& name) {
  for (const char* end : {kSigmfData, kSigmfMeta, kSigmfArchive})
    if (EndsWith(name, end)) return name.substr(0, name.size() - std::strlen(end));
  return name;
}

// High stretches of the markers held in the low bits of 14-bit ZETQ words,
// followed sample by sample.
struct WordBitStretches {
  bool high[kMarkerCount] = {};
  std::int64_t start[kMarkerCount] = {};
  std::vector<MarkerStretch> stretches;

  void Add(std::int64_t position, std::uint8_t bits) {
    for (int m = 0; m < kMarkerCount; ++m) {
      const bool now = (bits >> m) & 1u;
      if (now && !high[m]) start[m] = position;
      if (!now && high[m]) stretches.push_back({m + 1, start[m], position - start[m]});
      high[m] = now;
    }
  }
  void Finish(std::int64_t end) {
    for (int m = 0; m < kMarkerCount; ++m)
      if (high[m]) stretches.push_back({m + 1, start[m], end - start[m]});
    std::stable_sort(
        stretches.begin(), stretches.end(),
        [](const MarkerStretch& a, const MarkerStretch& b) { return a.start < b.start; });
  }
};

// The meta file. Its annotations, one a marker stretch, are appended as
// forEachStretch hands them over, so that none of them is held.
using StretchSource = std::function<int(const MarkerStretchVisitor& visit)>;
int AppendSigmfMeta(OutputFile& out, const WaveformHeader& header,
                    const StretchSource& forEachStretch) {
  nlohmann::ordered_json global;
  global["core:datatype"] = "ci16_le";
  global["core:version"] = kSigmfVersion;
  if (header.hasClock) global["core:sample_rate"] = header.clock;
  if (!header.comment.empty()) global["core:description"] = header.comment;
  if (!header.copyright.empty()) global["wavora:copyright"] = header.copyright;
  // The file's LEVEL OFFS as it states them, so that converting the
  // recording back writes the same tag rather than a new measurement.
  if (header.hasLevels && std::fabs(header.rmsOffset) <= kMaxStatedLevelOffset &&
      std::fabs(header.peakOffset) <= kMaxStatedLevelOffset)
    global["wavora:level_offsets"] = {header.rmsOffset, header.peakOffset};
  global["core:recorder"] = "Wavora";
  global["core:extensions"] = nlohmann::ordered_json::array(
      {{{"name", "wavora"}, {"version", "1.0.0"}, {"optional", true}}});
  nlohmann::ordered_json meta;
  meta["global"] = global;
  meta["captures"] = nlohmann::ordered_json::array({{{"core:sample_start", 0}}});
  meta["annotations"] = nlohmann::ordered_json::array();
  // Texts from the file may hold any bytes; invalid UTF-8 is replaced.
  std::string text = meta.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  // The dump ends in the empty array: "[]\n}". Each annotation goes in
  // between, indented as the dump would indent it.
  constexpr std::string_view kEmptyEnd = "[]\n}";
  text.resize(text.size() - kEmptyEnd.size());
  out.Append(text);
  bool any = false;
  const int ok = forEachStretch([&](const MarkerStretch& stretch) {
    const nlohmann::ordered_json annotation = {
        {"core:sample_start", stretch.start},
        {"core:sample_count", stretch.count},
        {"core:label", "marker " + std::to_string(stretch.marker)}};
    std::string item = annotation.dump(2);
    for (std::size_t at = item.find('\n'); at != std::string::npos; at = item.find('\n', at + 1))
      item.insert(at + 1, "    ");
    out.Append(std::string(any ? ",\n    " : "[\n    ") + item);
    any = true;
    return true;
  });
  out.Append(std::string(any ? "\n  ]\n}\n" : "[]\n}\n"));
  return ok;
}

void AppendWavHeader(OutputFile& out, std::uint32_t rate, std::uint32_t dataBytes) {
  unsigned char h[kWavHeaderBytes] = {};
  std::memcpy(h, "RIFF", 4);
  StoreLE32(dataBytes + 36, h + 4);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  StoreLE32(16, h + 16);
  StoreLE16(1, h + 20);  // integer PCM
  StoreLE16(2, h + 22);  // I and Q
  StoreLE32(rate, h + 24);
  StoreLE32(rate * 4, h + 28);
  StoreLE16(4, h + 32);
  StoreLE16(16, h + 34);
  std::memcpy(h + 36, "data", 4);
  StoreLE32(dataBytes, h + 40);
  out.Append(h, sizeof h);
}

// A write that failed while the words went out, reported once they are done.
int FailOnOutput(const OutputFile& out) {
  LogAlways({"*** Error writing output file."});
  LogFileReason(out.path());
  return 0;
}

}  // namespace

const ExportKindInfo& ExportKindRow(ExportKind kind) {
  for (const ExportKindInfo& row : kExportKinds)
    if (row.kind == kind) return row;
  return kExportKinds[0];
}

std::string ExportKindList(bool oneFileOnly) {
  std::vector<const char*> names;
  for (const ExportKindInfo& row : kExportKinds)
    if (row.oneFile || !oneFileOnly) names.push_back(row.keyword);
  std::string list;
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (k > 0) list += k + 1 == names.size() ? " or " : ", ";
    list += names[k];
  }
  return list;
}

bool ExportKindFromText(const std::string& text, ExportKind* kind) {
  for (const ExportKindInfo& row : kExportKinds) {
    if (text == row.keyword) {
      *kind = row.kind;
      return true;
    }
  }
  return false;
}

std::vector<std::string> ExportOutputPaths(ExportKind kind, const std::string& name) {
  if (kind != ExportKind::kSigmf) return {name};
  const std::string base = SigmfBase(name);
  return {base + kSigmfData, base + kSigmfMeta};
}

std::string DefaultExportName(ExportKind kind, const std::string& inputPath) {
  std::string name = platform::FileNamePart(inputPath);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name + ExportKindRow(kind).extension;
}

int ExportWaveform(const std::string& inputPath, ExportKind kind, const std::string& outputName,
                   bool replaceExisting) {
  WaveformHeader header;
  platform::FileHandle file = OpenWaveformSamples(inputPath, &header);
  if (!file) return 0;
  if (header.pairsPresent * 4 < header.wordBytes)
    LogMessage(kLogWarning, {FormatText("*** Warning: the file is cut off; exporting the %lld "
                                        "pairs present",
                                        static_cast<long long>(header.pairsPresent))});

  const std::vector<std::string> paths = ExportOutputPaths(kind, outputName);
  const auto dataBytes =
      static_cast<std::uint64_t>(header.pairsPresent) * (kind == ExportKind::kCf32 ? 8u : 4u);
  std::uint32_t rate = 0;
  if (kind == ExportKind::kWav) {
    if (!header.hasClock || header.clock < 1.0 || header.clock > kMaxWavRate) {
      LogAlways({"*** Error: WAV export needs a CLOCK tag for its sample rate."});
      return 0;
    }
    if (dataBytes > kMaxRiffBytes - kWavHeaderBytes) {
      LogAlways({"*** Error: The samples do not fit into a WAV file (4 GiB at most)."});
      return 0;
    }
    rate = static_cast<std::uint32_t>(std::llround(header.clock));
  }

  OutputFile out(paths[0], replaceExisting);
  if (!out.Open()) return 0;
  if (kind == ExportKind::kWav) AppendWavHeader(out, rate, static_cast<std::uint32_t>(dataBytes));

  const bool zetq14 = header.type == kWaveformZetq && !header.sixteenBit;
  const bool wordBits = MarkersInWordBits(header);
  WordBitStretches bitStretches;
  std::vector<unsigned char> bytes;
  const bool ok = ForEachWordBlock(
      file.get(), header, [&](const std::uint16_t* words, std::size_t pairs, std::int64_t first) {
        const std::size_t wordBytes = kind == ExportKind::kCf32 ? 4 : 2;
        bytes.resize(2 * pairs * wordBytes);
        for (std::size_t w = 0; w < 2 * pairs; ++w) {
          if (kind == ExportKind::kCf32) {
            const float value =
                zetq14 ? DecodeWord(header, words[w])
                       : static_cast<float>(SignedWord(header, words[w]) / kWordFullScale);
            StoreFloatLE(value, &bytes[4 * w]);
          } else {
            StoreLE16(static_cast<std::uint16_t>(SignedWord(header, words[w])), &bytes[2 * w]);
          }
        }
        if (wordBits)
          for (std::size_t p = 0; p < pairs; ++p)
            bitStretches.Add(first + static_cast<std::int64_t>(p),
                             MarkerByteFromWords(words[2 * p], words[2 * p + 1]));
        out.Append(bytes.data(), bytes.size());
        return true;
      });
  if (!ok) return 0;
  if (!out.ok()) return FailOnOutput(out);

  if (kind != ExportKind::kSigmf) {
    if (!out.Commit()) return 0;
    LogMessage(kLogInfo, {"Exported to ", paths[0]});
    return 1;
  }
  bitStretches.Finish(header.pairsPresent);
  OutputFile meta(paths[1], replaceExisting);
  if (!meta.Open()) return 0;
  const StretchSource stretches = [&](const MarkerStretchVisitor& visit) {
    if (!wordBits) return ForEachMarkerStretch(file.get(), header, header.pairsPresent, visit);
    for (const MarkerStretch& stretch : bitStretches.stretches)
      if (!visit(stretch)) return 0;
    return 1;
  };
  if (!AppendSigmfMeta(meta, header, stretches)) return 0;
  // Both files complete before either is placed; should the meta file not
  // take its place, the data file goes again: a recording is both or none.
  if (!out.Finish() || !meta.Finish() || !out.Place()) return 0;
  if (!meta.Place()) {
    platform::RemoveFile(paths[0]);
    return 0;
  }
  LogMessage(kLogInfo, {"Exported to ", paths[0], " and ", paths[1]});
  return 1;
}
