#include "app/ConvertFile.h"

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Shared/FileIO/TempFiles.h"
#include "app/Console.h"
#include "common/Limits.h"
#include "common/Progress.h"
#include "common/WaveInfo.h"
#include "import/ContainerImport.h"
#include "import/FormatDetect.h"
#include "import/ImportRawIQ.h"
#include "import/InputFile.h"
#include "level/Rescale.h"
#include "platform/Platform.h"
#include "waveform/MarkerStream.h"
#include "waveform/OutputFile.h"
#include "waveform/WaveformReader.h"
#include "waveform/WaveformWriter.h"

namespace {

// One temporary file of the conversion in the working directory. Whatever
// leftover of an earlier run carries the name is deleted first; then the file
// is created exclusively (owner-only, never through a link), so an object
// that reappears at the name in between makes the creation fail instead of
// being written to. On every way out of the conversion the stream is closed
// and the file deleted again; an interrupt deletes it too.
class TempFile {
 public:
  explicit TempFile(const char* name) : name_(name) {
    platform::RemoveFile(name_);
    file_ = platform::CreateNewFile(name_, platform::NewFileKind::kTemporary);
  }
  ~TempFile() {
    if (file_ != nullptr) {
      platform::CloseFile(file_);
      platform::RemoveFile(name_);
      platform::ForgetOnInterrupt(name_);
    }
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  std::FILE* get() const { return file_; }

 private:
  const char* name_;
  std::FILE* file_ = nullptr;
};

// Ends the file with its error line; a failed call on a file (path given)
// adds the path and the system's reason.
int FailFile(const char* text, const char* path = nullptr) {
  LogMessage(kLogAlwaysShown, {text});
  if (path != nullptr) LogFileReason(path);
  LogMessage(kLogAlwaysShown, {""});
  return 0;
}

// Refuses a path the program built that exceeds the path limit, naming it.
bool PathFits(const char* what, const std::string& path) {
  if (path.size() <= platform::kMaxPathChars) return true;
  LogMessage(kLogAlwaysShown, {"*** Error: ", what, " is longer than 259 characters: ", path});
  LogMessage(kLogAlwaysShown, {""});
  return false;
}

// The files a conversion of inputPath reads: the input, the Q file, and for
// a SigMF recording its metadata and data file.
std::vector<std::string> RunFilesOf(const std::string& inputPath, const std::string& secondPath) {
  std::vector<std::string> paths = {inputPath, secondPath};
  std::string metaPath;
  std::string dataPath;
  if (SigmfPairNames(inputPath, &metaPath, &dataPath)) {
    paths.push_back(metaPath);
    paths.push_back(dataPath);
  }
  return paths;
}

std::string ResolveInputName(const std::string& inputDir, const std::string& name) {
  return platform::IsAbsolutePath(name) ? name : platform::JoinPath(inputDir, name);
}

}  // namespace

std::string DeriveQFileName(const std::string& inputName) {
  const std::string fileName = platform::FileNamePart(inputName);
  const std::string directory = inputName.substr(0, inputName.size() - fileName.size());
  const std::size_t dot = fileName.find('.');
  const std::size_t stemLength = dot == std::string::npos ? fileName.size() : dot;
  if (stemLength == 0) return "";
  std::string derived = fileName;
  char& marker = derived[stemLength - 1];
  if (marker == 'I')
    marker = 'Q';
  else if (marker == 'i')
    marker = 'q';
  else
    return "";
  return directory + derived;
}

namespace {

// What the result of a converted file reports of its waveform.
void TakeWaveform(const WaveInfo& info, std::int64_t clipped, FileResult& result) {
  result.pairs = info.samples;
  result.clock = info.clock;
  result.rmsOffset = info.rmsOffset;
  result.peakOffset = info.peakOffset;
  result.clipped = clipped;
}

int ConvertOneFile(const ConversionSettings& settings, const FileJob& job, FileResult& result) {
  const std::string& inputName = job.inputName;
  if (!settings.quiet) {
    std::printf("\n\n");
    std::printf("----------------------------------------------------------\n");
    std::printf("Processing file %s ...\n",
                job.shownName.empty() ? inputName.c_str() : job.shownName.c_str());
    std::printf("\n");
  }

  // The input path keeps the full name; the output is named after the base
  // name cut at its first dot, unless the job names the output file itself.
  const std::string inputPath = ResolveInputName(job.inputDir, inputName);
  const std::size_t dot = job.outputBaseName.find('.');
  const std::string baseName =
      dot == std::string::npos ? job.outputBaseName : job.outputBaseName.substr(0, dot);
  const std::string outputPath =
      job.outputFile.empty() ? platform::JoinPath(job.outputDir, baseName + ".wv") : job.outputFile;
  result.input = inputPath;
  result.output = outputPath;
  result.format = FormatKeyword(settings.format);
  if (!PathFits("Input file path", inputPath) || !PathFits("Output file path", outputPath))
    return 0;
  // The command line's texts go into the output's tags as they are; a text
  // the writer would refuse is refused before the input is read.
  if (!CheckTagTexts(settings.comment, settings.copyright)) {
    LogMessage(kLogAlwaysShown, {""});
    return 0;
  }

  std::string secondPath;
  if (IsTwoFileFormat(settings.format)) {
    const std::string qName = job.qFileName.empty() ? DeriveQFileName(inputName) : job.qFileName;
    if (!qName.empty()) {
      secondPath = ResolveInputName(job.inputDir, qName);
      if (!PathFits("Q data file path", secondPath)) return 0;
    }
  }

  // The destination, checked now rather than after the whole input has been
  // read: the hidden name beside it must fit, and it must be neither an
  // object other than a regular file, nor a file this conversion reads, nor
  // one of its temporary files; it may exist only with -overwrite.
  OutputRules rules;
  rules.replaceExisting = settings.overwrite;
  rules.naming =
      settings.singleFile ? DestinationNaming::kOutOption : DestinationNaming::kOutputDirectory;
  for (const std::string& path : RunFilesOf(inputPath, secondPath)) AddRunFile(rules, path);
  if (!CheckOutputDestination(outputPath, rules)) {
    LogMessage(kLogAlwaysShown, {""});
    return 0;
  }

  // The run's temporary files are recreated for every conversion: one of them
  // as input would be deleted before it was read.
  for (const std::string& path : {inputPath, secondPath}) {
    if (!path.empty() && IsConversionTempFile(path)) {
      RefuseTempFileInput(path);
      LogMessage(kLogAlwaysShown, {""});
      return 0;
    }
  }

  // -format auto: the format of this file, from its first bytes or its name,
  // read from the open input that the import then reads on.
  InputFormat format = settings.format;
  InputFile input;
  if (job.openedInput != nullptr) input = std::move(*job.openedInput);
  if (format == kFormatAuto) {
    if (!input.IsOpen() && !OpenInputFile(inputPath, &input))
      return FailFile("*** Import of waveform data failed.");
    if (!DetectInputFormat(input, &format)) return FailFile("*** Import of waveform data failed.");
    if (format == kFormatUnknown) {
      LogMessage(kLogAlwaysShown, {"*** Error: The format of '", inputPath,
                                   "' cannot be told from its first bytes or its name; give it "
                                   "with -format."});
      LogMessage(kLogAlwaysShown, {""});
      return 0;
    }
    LogMessage(kLogAlwaysShown,
               {"Format auto: reading '", inputName, "' as ", FormatKeyword(format), "."});
  }
  result.format = FormatKeyword(format);
  // A SigMF archive of several recordings: each is converted on its own,
  // into an output named after the recording.
  if (format == kFormatSigmf && job.archiveMember.empty() && IsSigmfArchiveName(inputPath)) {
    if (!input.IsOpen() && !OpenInputFile(inputPath, &input))
      return FailFile("*** Import of waveform data failed.");
    std::vector<std::string> recordings;
    if (!ListSigmfArchiveRecordings(input, &recordings))
      return FailFile("*** Import of waveform data failed.");
    if (recordings.size() > 1) {
      if (!job.outputFile.empty()) {
        LogMessage(kLogAlwaysShown,
                   {FormatText("*** Error: The SigMF archive holds %zu recordings; -out names one "
                               "output file.",
                               recordings.size())});
        LogMessage(kLogAlwaysShown, {""});
        return 0;
      }
      LogMessage(kLogAlwaysShown, {FormatText("The SigMF archive holds %zu recordings; each is "
                                              "converted on its own.",
                                              recordings.size())});
      int converted = 1;
      for (const std::string& recording : recordings) {
        FileJob part = job;
        part.openedInput = nullptr;
        part.archiveMember = recording;
        // The output is named after the recording, in the output directory
        // (single-file mode: the working directory, with its "_" prefix).
        const std::string stem = platform::FileNamePart(recording);
        const std::string base = platform::FileNamePart(job.outputBaseName);
        part.outputBaseName =
            job.outputBaseName.substr(0, job.outputBaseName.size() - base.size()) +
            (base.rfind('_', 0) == 0 ? "_" : "") + stem;
        converted &= ConvertFile(settings, part);
      }
      result.split = true;  // each recording has reported its own result
      return converted;
    }
  }
  if (!job.archiveMember.empty()) {
    if (!input.IsOpen() && !OpenInputFile(inputPath, &input))
      return FailFile("*** Import of waveform data failed.");
    input.archiveMember = job.archiveMember;
  }
  // The gain works on the words of a waveform file only; said on every file
  // it has no effect on, so a script's log shows it.
  if (settings.gainDb != 0.0 && format != kFormatKxzetq)
    LogMessage(kLogAlwaysShown,
               {"*** Warning: -gain applies to kxzetq input only; it has no effect on ",
                FormatKeyword(format), " input."});
  // The waveform file reader takes the open input; what is no regular file
  // is refused before it could wait on it. An input that cannot be opened is
  // left to the reader, which reports it in its own words.
  if (format == kFormatKxzetq && !input.IsOpen() && !OpenRegularInput(inputPath, &input))
    return FailFile("*** Import of waveform data failed.");

  TempFile waveFile(kTempWaveFileName);
  if (waveFile.get() == nullptr)
    return FailFile("*** Cannot open temporary data file in current working directory.",
                    kTempWaveFileName);
  TempFile markerFile(kTempMarkerFileName);
  if (markerFile.get() == nullptr)
    return FailFile("*** Cannot open temporary marker file in current working directory.",
                    kTempMarkerFileName);

  ProgressHookScope progressHook(ShowProgress);
  ReportProgress(-1);

  WaveInfo info;
  if (format == kFormatKxzetq) {
    WaveFileInfo fileInfo;
    fileInfo.path = inputPath;
    fileInfo.input = &input;
    fileInfo.gain = settings.gainDb;
    fileInfo.defaultClock = settings.clockGiven          ? settings.clockMHz * kHzPerMHz
                            : settings.defaultClockGiven ? settings.defaultClockMHz * kHzPerMHz
                                                         : 0.0;
    fileInfo.waveFile = waveFile.get();
    fileInfo.markerFile = markerFile.get();
    if (!ReadWaveformFile(&fileInfo)) return FailFile("*** Import of waveform data failed.");

    // The gain is already applied; the output's DATE is the time of writing.
    info = MakeWaveInfo(fileInfo);
    // A level target scales the samples as read and gained; their level is
    // measured first, whatever the file's tags claim.
    if (settings.levelTarget.kind != LevelKind::kNone) {
      ReportProgress(-1);
      if (!MeasureLevels(waveFile.get(), info) ||
          !RescaleToLevel(waveFile.get(), info, settings.levelTarget, settings.levelOption.c_str()))
        return FailFile("*** Rescaling of waveform data failed.");
    }

    ReportProgress(-1);
    std::int64_t clipped = 0;
    if (!WriteWaveformFile(info, outputPath, waveFile.get(), markerFile.get(), settings.overwrite,
                           &clipped))
      return FailFile("*** Writing of waveform data failed.");
    LogAlways({"Output: ", job.shownOutput.empty() ? outputPath : job.shownOutput});
    TakeWaveform(info, clipped, result);
    return 1;
  }

  // Every file starts from the command line's texts: a header tag of one
  // ASCII file sets the comment of that file only.
  // Without -clock a WAV or SigMF file gives its own rate; 0 tells the
  // importer that none was given.
  // -defaultclock serves a file whose format carries no rate, or whose
  // container leaves it out; it never replaces a rate of the file.
  info = StartingWaveInfo(settings, format);
  if (!ImportRawIQ(inputPath, secondPath, info, format, waveFile.get(), &input))
    return FailFile("*** Import of waveform data failed.");

  if (settings.levelTarget.kind != LevelKind::kNone) {
    ReportProgress(-1);
    if (!RescaleToLevel(waveFile.get(), info, settings.levelTarget, settings.levelOption.c_str()))
      return FailFile("*** Rescaling of waveform data failed.");
  } else if (info.peakOffset > 0 && settings.autoscale) {
    ReportProgress(-1);
    if (!Rescale(waveFile.get(), info)) return FailFile("*** Rescaling of waveform data failed.");
  } else {
    // The samples go out as read: levels the input states for them hold.
    ApplyStatedLevels(info);
  }

  // Marker lists the input carries (SigMF marker annotations) go through the
  // marker file, as those of a converted waveform file do.
  std::FILE* markers = nullptr;
  if (info.hasMarkerSpans) {
    if (!WriteMarkerSpans(info.markerSpans, info.samples, markerFile.get(), kSlotMarker))
      return FailFile("*** Import of waveform data failed.");
    markers = markerFile.get();
  }

  ReportProgress(-1);
  std::int64_t clipped = 0;
  if (!WriteWaveformFile(info, outputPath, waveFile.get(), markers, settings.overwrite, &clipped))
    return FailFile("*** Writing of waveform data failed.");
  // Every successful conversion names its output, whatever the verbosity.
  LogAlways({"Output: ", job.shownOutput.empty() ? outputPath : job.shownOutput});
  TakeWaveform(info, clipped, result);
  return 1;
}

}  // namespace

WaveInfo StartingWaveInfo(const ConversionSettings& settings, InputFormat format) {
  WaveInfo info;
  info.defaultClock = settings.defaultClockGiven ? settings.defaultClockMHz * kHzPerMHz : 0.0;
  info.clock = settings.clockGiven || !FormatCarriesClock(settings.format)
                   ? settings.clockMHz * kHzPerMHz
                   : 0.0;
  if (!settings.clockGiven && !FormatCarriesClock(format)) info.clock = info.defaultClock;
  info.markerClock = info.clock;
  info.samples = 0;
  info.comment = settings.comment;
  info.copyright = settings.copyright;
  info.matVariable = settings.matVariable;
  return info;
}

void ReportFileResult(const ConversionSettings& settings, const FileResult& result) {
  std::FILE* stream = ResultStream();
  if (!settings.json || stream == nullptr) return;
  nlohmann::ordered_json line;
  line["input"] = result.input;
  line["output"] = result.converted ? nlohmann::ordered_json(result.output) : nullptr;
  line["format"] = result.format;
  line["status"] = result.converted ? "converted" : "failed";
  line["reason"] =
      result.converted ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(result.reason);
  if (result.converted) {
    line["pairs"] = result.pairs;
    line["clock"] = result.clock;
    line["rms_offset"] = result.rmsOffset;
    line["peak_offset"] = result.peakOffset;
    line["clipped"] = result.clipped;
  }
  line["seconds"] = result.seconds;
  const std::string text =
      line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
}

int ConvertFile(const ConversionSettings& settings, const FileJob& job) {
  FileResult result;
  const auto start = std::chrono::steady_clock::now();
  const int converted = ConvertOneFile(settings, job, result);
  if (!result.split) {
    result.converted = converted != 0;
    if (!result.converted) result.reason = FirstError();
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ReportFileResult(settings, result);
  }
  return converted;
}
