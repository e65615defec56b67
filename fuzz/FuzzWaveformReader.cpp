// The shared waveform file scanner on arbitrary file contents, through both
// of its users. The import: whatever it accepts must fill the temporary files
// consistently, and the writer's output of it must read back with the same
// samples and markers. The inspection: it reads any file to its end, and for
// a file the import accepts it finds the same type, the same number of pairs
// and the same marker state of every sample; an output whose levels were
// measured is judged sound.

#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/TempFiles.h"
#include "common/WaveInfo.h"
#include "platform/Platform.h"
#include "waveform/WaveformInspect.h"
#include "waveform/WaveformReader.h"
#include "waveform/WaveformWriter.h"

namespace {

struct Closer {
  std::FILE* file;
  ~Closer() {
    if (file != nullptr) platform::CloseFile(file);
  }
};

struct ReadResult {
  bool ok = false;
  WaveformType type = kWaveformNone;
  double clock = 0.0;
  std::int32_t samples = 0;
  std::string wavePayload;
  std::string markerPayload;
};

ReadResult ReadFile(const std::string& path) {
  ReadResult result;
  Closer wave{platform::OpenFile(fuzz_support::ScratchFile("temp.dat"), "w+b")};
  Closer marker{platform::OpenFile(fuzz_support::ScratchFile("mkr.dat"), "w+b")};
  if (wave.file == nullptr || marker.file == nullptr) fuzz_support::Fail("temporary files");
  WaveFileInfo info;
  info.path = path;
  info.waveFile = wave.file;
  info.markerFile = marker.file;
  result.ok = ReadWaveformFile(&info) == 1;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const StreamSlot& s = GetStreamSlot(slot);
    FUZZ_CHECK(!s.rbuffer && !s.wbuffer, "the reader left slot " + std::to_string(slot) + " busy");
  }
  if (!result.ok) return result;

  result.samples = info.samples;
  result.clock = info.clock;
  result.type = info.type;
  FUZZ_CHECK(info.samples > 0, std::to_string(info.samples));
  FUZZ_CHECK(fuzz_support::ReadEncryptedPayload(wave.file, &result.wavePayload), "");
  FUZZ_CHECK(result.wavePayload.size() ==
                 kTempWaveHeaderSize + static_cast<std::size_t>(kTempSampleSize) * info.samples,
             std::to_string(result.wavePayload.size()));
  FUZZ_CHECK(result.wavePayload.compare(0, 3, "IQF") == 0, "");
  FUZZ_CHECK(fuzz_support::ReadEncryptedPayload(marker.file, &result.markerPayload), "");
  FUZZ_CHECK(result.markerPayload.size() >= static_cast<std::size_t>(info.samples),
             std::to_string(result.markerPayload.size()));

  // The writer turns what the reader produced into an output file.
  const WaveInfo out = MakeWaveInfo(info);
  const std::string outputPath = fuzz_support::ScratchFile("out.wv");
  FUZZ_CHECK(WriteWaveformFile(out, outputPath, wave.file, marker.file) == 1, "writer failed");
  return result;
}

// The inspection of a file, with its marker readers run over every pair.
// Returns the marker state of each pair as the inspection sees it.
std::vector<std::uint8_t> Inspect(const std::string& path, WaveformReport* report) {
  std::vector<std::uint8_t> markers;
  if (InspectWaveform(path, report) == 0) return markers;
  WaveformHeader header;
  platform::FileHandle file = OpenWaveform(path, &header);
  if (!file) return markers;
  const bool wordBits = MarkersInWordBits(header);
  MarkerListCursor cursor(file.get(), header);
  ForEachWordBlock(
      file.get(), header, [&](const std::uint16_t* words, std::size_t pairs, std::int64_t first) {
        for (std::size_t p = 0; p < pairs; ++p)
          markers.push_back(wordBits ? MarkerByteFromWords(words[2 * p], words[2 * p + 1])
                                     : cursor.At(first + static_cast<std::int64_t>(p)));
        return true;
      });
  std::int64_t lastStart = -1;
  ForEachMarkerStretch(file.get(), header, header.pairsPresent, [&](const MarkerStretch& s) {
    FUZZ_CHECK(s.start >= lastStart && s.count > 0 && s.start + s.count <= header.pairsPresent,
               "stretch out of order or out of the data");
    for (std::int64_t k = s.start; k < s.start + s.count; ++k)
      FUZZ_CHECK(wordBits || ((markers[static_cast<std::size_t>(k)] >> (s.marker - 1)) & 1u),
                 "stretch where the marker is low");
    lastStart = s.start;
    return true;
  });
  return markers;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_support::InitOnce();
  const std::string input = fuzz_support::ScratchFile("input.wv");
  fuzz_support::WriteScratchFile(input, data, size);
  const ReadResult first = ReadFile(input);
  WaveformReport report;
  const std::vector<std::uint8_t> seen = Inspect(input, &report);
  if (first.ok) {
    const WaveformHeader& header = report.header;
    FUZZ_CHECK(header.type == first.type, "the inspection finds another type");
    FUZZ_CHECK(header.pairsPresent == first.samples, "the inspection finds another pair count");
    bool followed = true;
    for (const MarkerListInfo& list : header.markers)
      followed = followed && list.contentOffsets.size() <= kMaxMarkerListTags;
    for (std::size_t k = 0; followed && k < seen.size(); ++k)
      FUZZ_CHECK(seen[k] == (first.markerPayload[k] & 0x0F),
                 "the inspection sees other markers at pair " + std::to_string(k));
  }
  // A file without a CLOCK tag fails the read (no clock is given here);
  // every output must read back.
  if (!first.ok || first.clock == 0.0) return 0;

  // Levels measured by the import agree with the words written.
  if (!report.header.hasLevels) {
    WaveformReport output;
    Inspect(fuzz_support::ScratchFile("out.wv"), &output);
    FUZZ_CHECK(output.sound(), output.header.problems.empty() ? std::string("unreadable")
                                                              : output.header.problems[0]);
  }

  // The writer's output is a valid file: it reads back with the same sample
  // count and the same marker bytes for every sample. (The words went
  // through a float conversion each way, so only the count is compared.)
  const ReadResult again = ReadFile(fuzz_support::ScratchFile("out.wv"));
  FUZZ_CHECK(again.ok, "the writer's output does not read back");
  FUZZ_CHECK(again.samples == first.samples, "");
  const auto n = static_cast<std::size_t>(first.samples);
  for (std::size_t k = 0; k < n; ++k) {
    FUZZ_CHECK((again.markerPayload[k] & 0x0F) == (first.markerPayload[k] & 0x0F),
               "marker byte " + std::to_string(k));
  }
  return 0;
}

namespace {

std::string Word(int value) {
  const auto bits = static_cast<std::uint16_t>(value);
  return std::string{static_cast<char>(bits & 0xFF), static_cast<char>(bits >> 8)};
}

std::string DataTag(int pairs, int (*make)(int, int), const std::string& text = "") {
  std::string tag = "{WAVEFORM-" + std::to_string(4 * pairs + 1 + text.size()) + ": " + text + "#";
  for (int k = 0; k < pairs; ++k) tag += Word(make(k, 0)) + Word(make(k, 1));
  return tag + "}";
}

int Ramp(int k, int part) { return part == 0 ? k * 500 - 16000 : 12000 - k * 700; }
int Offset(int k, int part) { return 0x8000 + (part == 0 ? k * 101 : -k * 57); }

}  // namespace

std::vector<std::string> FuzzSeeds() {
  return {
      "{TYPE: KVG-WV,0}{COMMENT:seed}{COPYRIGHT:none}{DATE:2009-06-09;10:00:00}"
      "{CLOCK:1000000}{CLOCK MARKER:1000000}{SAMPLES:40}{CONTROL LENGTH:40}"
      "{MARKER LIST 1: 0:1;10:0;30:1}{MARKER LIST 3: 0:0;5:1}" +
          DataTag(40, Ramp),
      "{TYPE: WV,0}{RESOLUTION:14}{CLOCK:2e6}" + DataTag(24, Offset),
      "{TYPE: WV-ADD}{RESOLUTION:16 bit}{SYSTEM:gen}{SAMPLES:10}\r\n" + DataTag(12, Offset, "x"),
      "{TYPE: ZQ750-WV}{LEVEL OFFS:3.01, 0.5}{SI COMPENSATED:yes}{CONTROL LENGTH:50}"
      "{MARKER LIST 2: 0:0;3:1;7:0}{MARKER LIST 4: 2:1}{unknown:{x}" +
          DataTag(30, Ramp),
      "{TYPE: KVG-WV,0}{LEVEL OFFSET:1 2}{MARKER LIST 1: 0:1}" + DataTag(3, Ramp),
  };
}
