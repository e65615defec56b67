// Command handling of -info, -export and -preview: a small argument parser of
// their own, the text and JSON forms of a file's report, and the output-name
// rules (working directory by default, no replacing without -overwrite).
#include "app/Inspect.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/StandardStreams.h"
#include "common/Log.h"
#include "common/TextSafety.h"
#include "platform/Platform.h"
#include "waveform/Export.h"
#include "waveform/OutputFile.h"
#include "waveform/SvgPreview.h"
#include "waveform/WaveformInspect.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr std::size_t kShownMarkerEntries = kKeptMarkerEntries;

// Log lines without time stamp and level tag. JSON mode sends them to
// standard error, so that standard output holds nothing but JSON.
void PrintMessageLine(const LogRecord& record) {
  std::printf("%.*s\n", static_cast<int>(record.text.size()), record.text.data());
  std::fflush(stdout);
}

void PrintMessageLineToStderr(const LogRecord& record) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(record.text.size()), record.text.data());
  std::fflush(stderr);
}

// True when the report so far has reached standard output; otherwise the
// failure goes to standard error, where it can still be seen.
bool ReportWritten() {
  if (platform::FlushStandardOutput()) return true;
  SetLogRecordSink(PrintMessageLineToStderr);
  LogAlways({"*** Error writing the report to standard output."});
  LogFileReason("standard output");
  return false;
}

int Fail(const std::string& message) {
  LogAlways({message});
  return kExitFailure;
}

std::string Or(bool present, const std::string& text) { return present ? text : "(none)"; }

std::string MarkerSummary(const MarkerListInfo& list) {
  std::string text = FormatText("%lld entr%s", static_cast<long long>(list.entryCount),
                                list.entryCount == 1 ? "y" : "ies");
  for (std::size_t k = 0; k < list.firstEntries.size() && k < kShownMarkerEntries; ++k)
    text += FormatText("%s%lld:%d", k ? ";" : ": ",
                       static_cast<long long>(list.firstEntries[k].position),
                       list.firstEntries[k].state);
  if (list.entryCount > static_cast<std::int64_t>(kShownMarkerEntries)) text += ";...";
  return text;
}

void PrintTextReport(const WaveformReport& report) {
  const WaveformHeader& h = report.header;
  const WordStatistics& s = report.stats;
  // Text from the file reaches the terminal with its control characters
  // spelled out (\x1b), never as they are.
  auto line = [](const char* name, const std::string& value) {
    std::printf("  %-15s: %s\n", name, TerminalText(value).c_str());
  };
  std::printf("%s\n", TerminalText(h.path).c_str());
  line("TYPE", h.typeText.empty()
                   ? "(none)"
                   : h.typeText + (h.type != kWaveformNone
                                       ? std::string(" (") + WaveformTypeName(h.type) +
                                             (h.type == kWaveformZetq
                                                  ? (h.sixteenBit ? ", 16-bit" : ", 14-bit")
                                                  : "") +
                                             ")"
                                       : ""));
  line("DATE", Or(!h.date.empty(), h.date));
  line("CLOCK", Or(h.hasClock, FormatText("%.3f Hz", h.clock)));
  line("CLOCK MARKER", Or(h.hasMarkerClock, FormatText("%.3f Hz", h.markerClock)));
  line("LEVEL OFFS",
       Or(h.hasLevels, FormatText("%f,%f dB (RMS, peak)", h.rmsOffset, h.peakOffset)));
  line("SAMPLES", Or(h.hasSamples, std::to_string(h.samples)));
  line("CONTROL LENGTH", Or(h.hasControlLength, std::to_string(h.controlLength)));
  for (int m = 0; m < 4; ++m)
    if (h.markers[m].present)
      line(FormatText("MARKER LIST %d", m + 1).c_str(), MarkerSummary(h.markers[m]));
  line("COMMENT", Or(!h.comment.empty(), h.comment));
  line("COPYRIGHT", Or(!h.copyright.empty(), h.copyright));
  if (h.hasDataTag) {
    line("Data tag", FormatText("%s, %lld bytes of words", h.dataTagName.c_str(),
                                static_cast<long long>(h.wordBytes)));
    line("Pairs", std::to_string(s.pairs));
    if (s.pairs > 0) {
      line("Measured", FormatText("RMS offset %.6f dB, peak offset %.6f dB, Pk/Av %.2f dB",
                                  s.rmsOffset, s.peakOffset, s.rmsOffset - s.peakOffset));
      line("DC (mean)", FormatText("I %+.6f, Q %+.6f of full scale", s.meanI, s.meanQ));
      line("Played",
           FormatText("RMS offset %.6f dB, peak offset %.6f dB, Pk/Av %.2f dB", s.playedRmsOffset,
                      s.playedPeakOffset, s.playedRmsOffset - s.playedPeakOffset));
      line("Played DC", FormatText("I %+.6f, Q %+.6f of full scale", s.playedMeanI, s.playedMeanQ));
      line("Full scale", FormatText("%lld words", static_cast<long long>(s.fullScaleWords)));
    }
  }
  for (const std::string& note : h.notes) line("Note", note);
  for (const std::string& problem : h.problems)
    std::printf("  *** %s\n", TerminalText(problem).c_str());
  std::printf("  %-15s: %s\n\n", "Result",
              report.sound() ? "sound"
                             : FormatText("NOT sound (%zu problem%s)", h.problems.size(),
                                          h.problems.size() == 1 ? "" : "s")
                                   .c_str());
  std::fflush(stdout);
}

nlohmann::ordered_json JsonReport(const WaveformReport& report, bool readable) {
  const WaveformHeader& h = report.header;
  const WordStatistics& s = report.stats;
  nlohmann::ordered_json j;
  j["path"] = h.path;
  j["sound"] = readable && report.sound();
  j["problems"] = h.problems;
  if (!readable) j["problems"].push_back("the file cannot be read");
  j["notes"] = h.notes;
  nlohmann::ordered_json tags;
  auto optional = [&tags](const char* name, bool present, const auto& value) {
    tags[name] = present ? nlohmann::ordered_json(value) : nlohmann::ordered_json(nullptr);
  };
  optional("TYPE", !h.typeText.empty(), h.typeText);
  tags["type"] = WaveformTypeName(h.type);
  optional("DATE", !h.date.empty(), h.date);
  optional("CLOCK", h.hasClock, h.clock);
  optional("CLOCK MARKER", h.hasMarkerClock, h.markerClock);
  optional("LEVEL OFFS", h.hasLevels, std::vector<double>{h.rmsOffset, h.peakOffset});
  optional("SAMPLES", h.hasSamples, h.samples);
  optional("CONTROL LENGTH", h.hasControlLength, h.controlLength);
  nlohmann::ordered_json markers = nlohmann::ordered_json::array();
  for (int m = 0; m < 4; ++m) {
    if (!h.markers[m].present) continue;
    nlohmann::ordered_json first = nlohmann::ordered_json::array();
    for (const MarkerEntry& entry : h.markers[m].firstEntries)
      first.push_back({entry.position, entry.state});
    markers.push_back({{"marker", m + 1}, {"entries", h.markers[m].entryCount}, {"first", first}});
  }
  tags["MARKER LISTS"] = markers;
  optional("COMMENT", !h.comment.empty(), h.comment);
  optional("COPYRIGHT", !h.copyright.empty(), h.copyright);
  j["tags"] = tags;
  if (h.hasDataTag) {
    j["data"] = {{"tag", h.dataTagName},
                 {"word_bytes", h.wordBytes},
                 {"trailing_bytes", report.trailingBytes}};
    j["measured"] = {{"pairs", s.pairs},
                     {"rms_offset_db", s.rmsOffset},
                     {"peak_offset_db", s.peakOffset},
                     {"mean_i", s.meanI},
                     {"mean_q", s.meanQ},
                     {"full_scale_words", s.fullScaleWords},
                     {"played_rms_offset_db", s.playedRmsOffset},
                     {"played_peak_offset_db", s.playedPeakOffset},
                     {"played_mean_i", s.playedMeanI},
                     {"played_mean_q", s.playedMeanQ}};
  }
  return j;
}

int RunInfo(const ConversionSettings& settings) {
  const bool json = settings.json;
  const std::vector<std::string>& files = settings.infoFiles;
  SetLogRecordSink(json ? PrintMessageLineToStderr : PrintMessageLine);
  SetLogMask(LogMaskForVerbosity(settings.verbosity));

  bool allSound = true;
  for (const std::string& path : files) {
    if (!ReportWritten()) return kExitFailure;
    WaveformReport report;
    const bool readable = InspectWaveform(path, &report) != 0;
    if (report.header.path.empty()) report.header.path = path;
    allSound = allSound && readable && report.sound();
    if (json) {
      std::printf("%s\n",
                  JsonReport(report, readable)
                      .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                      .c_str());
      std::fflush(stdout);
    } else if (readable) {
      PrintTextReport(report);
    } else {
      std::printf("%s\n  %-15s: NOT sound (cannot be read)\n\n", path.c_str(), "Result");
    }
  }
  if (!ReportWritten()) return kExitFailure;
  return allSound ? kExitSuccess : kExitFailure;
}

// The checks of every output before anything is read: the input and its
// spellings, links and hard links are never a destination, nor is anything
// that is not a regular file; an existing file only with -overwrite.
bool OutputsFree(const std::vector<std::string>& paths, const std::string& input, bool overwrite,
                 DestinationNaming naming) {
  OutputRules rules;
  rules.replaceExisting = overwrite;
  rules.naming = naming;
  AddRunFile(rules, input);
  for (const std::string& path : paths)
    if (!CheckOutputDestination(path, rules)) return false;
  return true;
}

int RunExportOrPreview(const ConversionSettings& settings) {
  SetLogRecordSink(PrintMessageLine);
  SetLogMask(LogMaskForVerbosity(settings.verbosity));
  const std::string& input = settings.inputFile;
  const std::string mode = settings.run == RunKind::kPreview ? "-preview" : "-export";
  const std::string value =
      settings.run == RunKind::kPreview ? settings.previewFile : settings.exportKind;
  std::string out = settings.outputFile;
  const bool overwrite = settings.overwrite;
  if (!platform::PathExists(input) || platform::IsDirectory(input))
    return Fail("*** Input file '" + input + "' does not exist or is a directory.");

  std::FILE* dataOut = StandardOutputData();
  if (mode == "-preview") {
    if (dataOut != nullptr) {
      // Drawn into a file of the run, which goes out when it is complete.
      RunFile picture(settings.workingDir, ".wavora-stdout.", ".svg");
      if (!WriteWaveformPreview(input, picture.path(), false, settings.previewRange) ||
          !CopyFileToStream(picture.path(), dataOut))
        return Fail("*** Writing the preview failed.");
      std::printf("Preview written to standard output\n");
      return kExitSuccess;
    }
    if (!OutputsFree({value}, input, overwrite, DestinationNaming::kArgument)) return kExitFailure;
    if (!WriteWaveformPreview(input, value, overwrite, settings.previewRange))
      return Fail("*** Writing the preview failed.");
    std::printf("Preview written to %s\n", value.c_str());
    return kExitSuccess;
  }
  ExportKind kind = ExportKind::kCs16;
  if (!ExportKindFromText(value, &kind))
    return Fail("*** Unknown export kind '" + value + "' (cs16, cf32, wav or sigmf).");
  if (dataOut != nullptr) {
    if (kind == ExportKind::kSigmf)
      return Fail(
          "*** -export sigmf writes two files (.sigmf-meta and .sigmf-data): name them with "
          "-out <name>; -out - takes cs16, cf32 or wav.");
    RunFile samples(settings.workingDir, ".wavora-stdout.",
                    kind == ExportKind::kWav ? ".wav" : ".raw");
    if (!ExportWaveform(input, kind, samples.path(), false) ||
        !CopyFileToStream(samples.path(), dataOut))
      return Fail("*** Export failed.");
    std::printf("Exported to standard output\n");
    return kExitSuccess;
  }
  if (out.empty()) out = DefaultExportName(kind, input);
  const std::vector<std::string> paths = ExportOutputPaths(kind, out);
  if (!OutputsFree(paths, input, overwrite, DestinationNaming::kOutOption)) return kExitFailure;
  if (!ExportWaveform(input, kind, out, overwrite)) return Fail("*** Export failed.");
  for (const std::string& path : paths) std::printf("Exported to %s\n", path.c_str());
  return kExitSuccess;
}

}  // namespace

int RunInspection(const ConversionSettings& settings) {
  return settings.run == RunKind::kInfo ? RunInfo(settings) : RunExportOrPreview(settings);
}
