// The settings of one run, as the command line sets them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/InputFormat.h"
#include "level/Rescale.h"

// Fixed limits of the text settings, in characters.
inline constexpr std::size_t kMaxFormatNameChars = 15;
inline constexpr std::size_t kMaxExtensionChars = 15;
inline constexpr std::size_t kMaxCommentChars = 511;

// What a run does: convert (the default), or inspect waveform files.
enum class RunKind { kConvert, kInfo, kExport, kPreview };

// Every value the command line sets; read-only after the scan.
struct ConversionSettings {
  RunKind run = RunKind::kConvert;
  bool json = false;                   // -json: the -info reports as JSON lines
  std::vector<std::string> infoFiles;  // -info: the files to report on, in order
  std::string exportKind;              // -export: the kind of file to write
  std::string previewFile;             // -preview: the picture to write
  std::string previewRange;            // -range: "<start>:<count>" of the preview's window
  std::string workingDir;
  bool singleFile = false;
  std::string inputFile;
  // The input files after the first, each converted as single-file mode
  // converts one (never with -out or -qfile).
  std::vector<std::string> moreInputs;
  std::string qFile;        // -qfile: second (Q) file of a two-file format
  std::string matVariable;  // -var: the variable of a MAT-file to read; "" to let it choose
  std::string inputDir;
  std::string outputDir;
  std::string extension;
  bool extensionDotRemoved = false;  // -ext was given with a leading dot, taken off
  std::string formatName;
  double clockMHz = 0.0;
  std::string clockText;    // the -clock value as given, for the messages that name it
  bool clockGiven = false;  // -clock was on the command line
  // -defaultclock: the clock of files that carry no rate of their own; never
  // replaces one (-clock does).
  double defaultClockMHz = 0.0;
  std::string defaultClockText;
  bool defaultClockGiven = false;
  double gainDb = 0.0;
  std::string comment;
  std::string copyright;
  bool autoscale = false;
  // -peak or -rms: the level the waveform is scaled to (kind kNone: none);
  // levelOption names the option that set it.
  LevelTarget levelTarget;
  std::string levelOption;
  int verbosity = 1;
  bool recursive = false;
  bool overwrite = false;
  bool batch = false;          // -batch: no question, no wait for Enter
  bool quiet = false;          // -q: only the "*** " lines, on standard error (implies -batch)
  std::string outputFile;      // -out: the output file of single-file mode, as given
  std::string outputFilePath;  // its resolved form
  // Directory-mode options given in single-file mode (or single-file options
  // in directory mode): taken with their value, ignored, and named in a
  // warning once logging is set up.
  std::vector<std::string> ignoredOptions;
  int threads = 0;  // -threads: cipher threads, 1 to 256; 0 = one per processor core
  std::string inputPath;
  std::string outputPath;
  InputFormat format = kFormatUnknown;
};
