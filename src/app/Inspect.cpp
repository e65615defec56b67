// Command handling of -info, -export and -preview: a small argument parser of
// their own, the text and JSON forms of a file's report, and the output-name
// rules (working directory by default, no replacing without -overwrite).
#include "app/Inspect.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Shared/FileIO/StreamInit.h"
#include "Shared/FileIO/WorkerPool.h"
#include "app/CommandLine.h"
#include "app/ConvertFile.h"
#include "app/StandardStreams.h"
#include "common/Limits.h"
#include "common/Log.h"
#include "common/TextSafety.h"
#include "import/ContainerImport.h"
#include "import/FormatDetect.h"
#include "import/ImportRawIQ.h"
#include "import/InputFile.h"
#include "level/LevelOffsets.h"
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

// ---- inputs other than waveform files ----

// How the format was found: given with -format, or as -format auto tells it
// (the formats with a signature by their first bytes, the others by their
// name). The JSON word and the text of the report.
struct FoundBy {
  const char* word = "keyword";
  std::string text = "given with -format";
};

// What a measuring pass over an input found, for both forms of the report.
struct InputReport {
  std::string path;
  std::string format;  // keyword
  FoundBy foundBy;
  bool convertible = false;
  std::string reason;  // the first error line when not convertible
  WaveInfo info;
  InputMeasure measure;
  std::string clockSource;  // "-clock", "-defaultclock", "the file", "" (none)
  std::vector<std::string> log;
};

// The lines of a measuring pass, whatever the verbosity: they are the
// report's reader lines.
std::vector<std::string>* g_passLines = nullptr;

void CollectPassLine(const LogRecord& record) {
  if (g_passLines != nullptr && !record.text.empty()) g_passLines->emplace_back(record.text);
}

FoundBy FoundByDetection(InputFormat format, const std::string& path) {
  const InputFormatInfo* entry = FindInputFormat(format);
  if ((entry == nullptr || entry->signatures.empty()) && FormatFromFileName(path) == format) {
    const std::string name = platform::FileNamePart(path);
    const std::size_t dot = name.rfind('.');
    return {"extension",
            "found by its name (" + (dot == std::string::npos ? name : name.substr(dot)) + ")"};
  }
  return {"magic", "found by its first bytes"};
}

// Runs the import without output over the file and fills the report.
void MeasureInput(const ConversionSettings& settings, const std::string& path, InputFormat format,
                  InputFile* opened, InputReport* report) {
  report->path = path;
  report->format = FormatKeyword(format);
  report->info = StartingWaveInfo(settings, format);
  std::string secondPath;
  if (IsTwoFileFormat(format)) secondPath = DeriveQFileName(path);

  std::vector<std::string> lines;
  g_passLines = &lines;
  const unsigned mask = GetLogMask();
  SetLogMask(kLogInfo | kLogWarning | kLogError | kLogAlwaysShown);
  SetLogRecordSink(CollectPassLine);
  ResetFirstError();
  const int imported =
      MeasureRawIQ(path, secondPath, report->info, format, opened, &report->measure);
  report->reason = FirstError();
  SetLogRecordSink(settings.json ? PrintMessageLineToStderr : PrintMessageLine);
  SetLogMask(mask);
  g_passLines = nullptr;
  report->log = std::move(lines);
  report->convertible = imported != 0 && report->reason.empty();
  if (report->reason.empty() && !imported) report->reason = "the file cannot be read";

  const WaveInfo& info = report->info;
  if (settings.clockGiven)
    report->clockSource = "-clock";
  else if (settings.defaultClockGiven && info.clock > 0 && info.clock == info.defaultClock)
    report->clockSource = "-defaultclock";
  else if (info.clock > 0)
    report->clockSource = "the file";
}

double Mean(double sum, std::int64_t pairs) {
  return pairs > 0 ? sum / static_cast<double>(pairs) : 0.0;
}

// dBFS of a linear magnitude; -inf (shown as such) for silence.
std::string Dbfs(double linear) {
  return linear > 0 ? FormatText("%.2f dBFS", 20.0 * std::log10(linear)) : "-inf dBFS";
}

void PrintInputReport(const InputReport& r) {
  auto line = [](const char* name, const std::string& value) {
    std::printf("  %-15s: %s\n", name, TerminalText(value).c_str());
  };
  const std::int64_t pairs = r.info.samples;
  std::printf("%s\n", TerminalText(r.path).c_str());
  line("Format", r.format + ", " + r.foundBy.text);
  const InputFormatInfo* entry = FindInputFormat(InputFormatFromKeyword(r.format));
  if (entry != nullptr && entry->usage != nullptr) line("Kind", entry->usage);
  line("Pairs", std::to_string(pairs));
  if (r.info.clock > 0) {
    line("Clock", FormatText("%.6f MHz (%s)", r.info.clock / kHzPerMHz, r.clockSource.c_str()));
    line("Duration", FormatText("%.6f s", static_cast<double>(pairs) / r.info.clock));
  } else {
    line("Clock", "(none: give -clock)");
  }
  if (pairs > 0) {
    line("Levels",
         "RMS " + Dbfs(r.measure.rms) + ", peak " + Dbfs(r.measure.peak) +
             (r.measure.rms > 0 && r.measure.peak > 0
                  ? FormatText(", Pk/Av %.2f dB", 20.0 * std::log10(r.measure.peak / r.measure.rms))
                  : std::string()));
    line("DC (mean)",
         FormatText("I %+.6f, Q %+.6f of full scale", Mean(r.measure.stats.sumI, pairs),
                    Mean(r.measure.stats.sumQ, pairs)));
    line("Beyond full scale",
         FormatText("%lld values", static_cast<long long>(r.measure.stats.beyondFullScale)));
  }
  if (r.convertible) {
    line("LEVEL OFFS",
         FormatText("%f,%f dB (RMS, peak), as converted", r.info.rmsOffset, r.info.peakOffset));
    line("COMMENT", Or(!r.info.comment.empty(), r.info.comment));
    line("COPYRIGHT", Or(!r.info.copyright.empty(), r.info.copyright));
    if (r.info.hasMarkerSpans) {
      int counts[4] = {0, 0, 0, 0};
      for (const MarkerSpan& span : r.info.markerSpans)
        if (span.marker >= 1 && span.marker <= 4) ++counts[span.marker - 1];
      line("Markers", FormatText("marker 1: %d, marker 2: %d, marker 3: %d, marker 4: %d stretches",
                                 counts[0], counts[1], counts[2], counts[3]));
    }
  }
  for (const std::string& text : r.log) line("Reader", text);
  std::printf("  %-15s: %s\n\n", "Result",
              r.convertible ? "converts" : TerminalText("does NOT convert: " + r.reason).c_str());
  std::fflush(stdout);
}

nlohmann::ordered_json JsonInputReport(const InputReport& r) {
  const std::int64_t pairs = r.info.samples;
  nlohmann::ordered_json j;
  j["path"] = r.path;
  j["format"] = r.format;
  j["found_by"] = r.foundBy.word;
  j["converts"] = r.convertible;
  j["reason"] = r.convertible ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(r.reason);
  j["pairs"] = pairs;
  j["clock_hz"] = r.info.clock > 0 ? nlohmann::ordered_json(r.info.clock) : nullptr;
  j["clock_from"] = r.clockSource.empty() ? nlohmann::ordered_json(nullptr)
                                          : nlohmann::ordered_json(r.clockSource);
  j["duration_s"] = r.info.clock > 0 ? nlohmann::ordered_json(pairs / r.info.clock) : nullptr;
  auto db = [](double linear) {
    return linear > 0 ? nlohmann::ordered_json(20.0 * std::log10(linear)) : nullptr;
  };
  j["rms_dbfs"] = db(r.measure.rms);
  j["peak_dbfs"] = db(r.measure.peak);
  j["mean_i"] = Mean(r.measure.stats.sumI, pairs);
  j["mean_q"] = Mean(r.measure.stats.sumQ, pairs);
  j["beyond_full_scale"] = r.measure.stats.beyondFullScale;
  if (r.convertible) {
    j["level_offs"] = {r.info.rmsOffset, r.info.peakOffset};
    j["comment"] = r.info.comment;
    j["copyright"] = r.info.copyright;
    nlohmann::ordered_json spans = nlohmann::ordered_json::array();
    for (const MarkerSpan& span : r.info.markerSpans)
      spans.push_back({{"marker", span.marker}, {"start", span.start}, {"count", span.count}});
    j["marker_spans"] = spans;
  }
  j["reader"] = r.log;
  return j;
}

// The report of one input other than a waveform file; true when it converts.
bool ReportInput(const ConversionSettings& settings, const std::string& path, InputFormat format,
                 const FoundBy& foundBy, InputFile* opened) {
  InputReport report;
  MeasureInput(settings, path, format, opened, &report);
  report.foundBy = foundBy;
  if (settings.json) {
    std::printf("%s\n", JsonInputReport(report)
                            .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                            .c_str());
    std::fflush(stdout);
  } else {
    PrintInputReport(report);
  }
  return report.convertible;
}

// The report of a waveform file; true when it is sound. A file refused at
// the way in (refused set) is reported as one that cannot be read.
bool ReportWaveform(const std::string& path, bool json, bool refused = false) {
  WaveformReport report;
  const bool readable = !refused && InspectWaveform(path, &report) != 0;
  if (report.header.path.empty()) report.header.path = path;
  if (json) {
    std::printf("%s\n", JsonReport(report, readable)
                            .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                            .c_str());
    std::fflush(stdout);
  } else if (readable) {
    PrintTextReport(report);
  } else {
    std::printf("%s\n  %-15s: NOT sound (cannot be read)\n\n", path.c_str(), "Result");
  }
  return readable && report.sound();
}

int RunInfo(const ConversionSettings& settings) {
  const bool json = settings.json;
  const std::vector<std::string>& files = settings.infoFiles;
  SetLogRecordSink(json ? PrintMessageLineToStderr : PrintMessageLine);
  SetLogMask(LogMaskForVerbosity(settings.verbosity));
  // -format names the format of every file; without it each file's own is
  // found as -format auto finds it. -clock and -defaultclock are checked as
  // for a conversion.
  const bool formatGiven = !settings.formatName.empty();
  ConversionSettings checked = settings;
  if (!formatGiven) checked.format = kFormatAuto;
  // A raw format without -clock is still described (its report says that it
  // would not convert); a clock that is given must be valid.
  ConversionSettings validation = checked;
  if (!validation.clockGiven && validation.format != kFormatUnknown)
    validation.format = kFormatAuto;
  const std::string invalid = ValidateSettings(validation);
  if (!invalid.empty()) {
    std::fputs(invalid.c_str(), json ? stderr : stdout);
    return kExitFailure;
  }

  // The measuring pass of an input other than a waveform file goes through
  // the stream layer as an import does.
  std::string reason;
  const int cipherThreads = settings.threads > 0 ? settings.threads : DefaultWorkerThreads();
  if (!InitStreamLayer(kStreamInterfaceVersion, &reason, cipherThreads)) return Fail(reason);

  bool allSound = true;
  for (const std::string& path : files) {
    if (!ReportWritten()) return kExitFailure;
    InputFormat format = checked.format;
    FoundBy foundBy;
    InputFile input;
    if (format == kFormatAuto) {
      // What cannot be opened or told apart is reported as a waveform file
      // would be, as before there were other inputs.
      InputFormat detected = kFormatUnknown;
      if (!OpenRegularInput(path, &input)) {
        // No regular file: refused with its line, never waited on.
        ReportWaveform(path, json, true);
        allSound = false;
        continue;
      }
      if (input.IsOpen() && DetectInputFormat(input, &detected) && detected != kFormatUnknown) {
        format = detected;
        foundBy = FoundByDetection(detected, path);
      } else {
        format = kFormatKxzetq;
      }
    }
    if (format == kFormatKxzetq) {
      input.Close();
      allSound = ReportWaveform(path, json) && allSound;
      continue;
    }
    // A SigMF archive: a report for each of its recordings.
    std::vector<std::string> recordings;
    if (format == kFormatSigmf && IsSigmfArchiveName(path)) {
      if (!input.IsOpen() && !OpenInputFile(path, &input)) {
        allSound = false;
        continue;
      }
      if (!ListSigmfArchiveRecordings(input, &recordings)) {
        allSound = false;
        continue;
      }
    }
    if (recordings.size() <= 1) {
      allSound = ReportInput(checked, path, format, foundBy, &input) && allSound;
      continue;
    }
    input.Close();
    for (const std::string& recording : recordings) {
      InputFile member;
      if (!OpenInputFile(path, &member)) {
        allSound = false;
        continue;
      }
      member.archiveMember = recording;
      allSound =
          ReportInput(checked, path + " (" + recording + ")", format, foundBy, &member) && allSound;
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
    return Fail("*** Unknown export kind '" + value + "' (" + ExportKindList() + ").");
  if (dataOut != nullptr) {
    if (!ExportKindRow(kind).oneFile)
      return Fail("*** -export " + value +
                  " writes two files (.sigmf-meta and .sigmf-data): name them with -out <name>; "
                  "-out - takes " +
                  ExportKindList(true) + ".");
    RunFile samples(settings.workingDir, ".wavora-stdout.", ExportKindRow(kind).extension);
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
