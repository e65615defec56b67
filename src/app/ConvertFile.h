// Conversion of one input file into one output waveform file.
#pragma once

#include <cstdint>
#include <string>

#include "app/Settings.h"
#include "common/InputFormat.h"
#include "common/WaveInfo.h"
#include "import/InputFile.h"

// The names of one file's conversion, as single-file mode or the directory
// walk decides them.
struct FileJob {
  std::string inputName;       // relative names are joined to inputDir
  std::string outputBaseName;  // cut at its first "." and given ".wv" in outputDir
  std::string inputDir;
  std::string outputDir;
  // The second (Q) file of a two-file format, resolved like the input; ""
  // derives it from the input name (sig_I.bin -> sig_Q.bin).
  std::string qFileName;
  // The output file's path, used as it is (-out); "" names the output after
  // outputBaseName in outputDir.
  std::string outputFile = std::string();
  // The input, already opened by the caller (the walk's -format auto check),
  // handed on so that it is not opened a second time; null for none.
  InputFile* openedInput = nullptr;
  // The name the file's header shows ("" for inputName): in a walk, the path
  // relative to the input root.
  std::string shownName = std::string();
  // The output as the "Output:" line names it ("" for its path).
  std::string shownOutput = std::string();
  // The recording of a SigMF archive of several to convert ("rec/rec");
  // "" converts each recording of the archive into an output of its own.
  std::string archiveMember = std::string();
};

// Converts one input file with the run's settings. Returns 1 when the output
// file was written, 0 on any failure. With -json its result is reported.
int ConvertFile(const ConversionSettings& settings, const FileJob& job);

// The result of one input file, as -json reports it.
struct FileResult {
  std::string input;
  std::string output;
  std::string format;
  bool converted = false;
  std::string reason;  // the first error line of a failed file
  std::int64_t pairs = 0;
  double clock = 0.0;  // Hz
  double rmsOffset = 0.0;
  double peakOffset = 0.0;
  std::int64_t clipped = 0;
  double seconds = 0.0;
  bool split = false;  // an archive whose recordings reported one by one
};

// With -json, the result as one JSON object on a line of the result stream
// (what standard output was); nothing otherwise.
void ReportFileResult(const ConversionSettings& settings, const FileResult& result);

// The WaveInfo an import of a file of that format starts from: the clock of
// -clock (or none, for the formats that carry one, so that the file's own
// rate is taken), the -defaultclock for files without one, the comment and
// copyright of the command line.
WaveInfo StartingWaveInfo(const ConversionSettings& settings, InputFormat format);

// The Q file name derived from an I file name: the file name cut at its first
// "." must end in "I" or "i", which becomes "Q" or "q"; the directory part
// and the rest stay. "" when the name does not follow that rule.
std::string DeriveQFileName(const std::string& inputName);
