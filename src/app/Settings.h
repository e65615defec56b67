// The settings of one run, as the command line sets them.
#pragma once

#include <string>

// Numeric code of a -format keyword. No keyword produces 1, 7, 8 or 13.
enum InputFormat : int {
  kFormatTxt = 0,
  kFormatTxtHex = 2,
  kFormatF32be = 3,
  kFormatF32le = 4,
  kFormatI16be = 5,
  kFormatI16le = 6,
  kFormatTxt2ui14 = 9,
  kFormatTxt2ui16 = 10,
  kFormatI14be2 = 11,
  kFormatI14le2 = 12,
  kFormatKxzetq = 14,
  kFormatUnknown = 99,
};

// Fixed limits of the text settings, in characters.
inline constexpr std::size_t kMaxFormatNameChars = 15;
inline constexpr std::size_t kMaxExtensionChars = 15;
inline constexpr std::size_t kMaxCommentChars = 511;

// Every value the command line sets; read-only after the scan.
struct ConversionSettings {
  std::string workingDir;
  int singleFile = 0;
  std::string inputFile;
  std::string qFile;  // -qfile: second (Q) file of a two-file format
  std::string inputDir;
  std::string outputDir;
  std::string extension;
  std::string formatName;
  double clockMHz = 0.0;
  double gainDb = 0.0;
  std::string comment;
  std::string copyright;
  int autoscale = 0;
  int verbosity = 1;
  int recursive = 0;
  int overwrite = 0;
  int threads = 0;  // -threads: cipher threads, 1 to 256; 0 = one per processor core
  std::string inputPath;
  std::string outputPath;
  InputFormat format = kFormatUnknown;
};

// True for the formats whose Q values come from a second file.
inline bool IsTwoFileFormat(int format) {
  return format == kFormatTxt2ui14 || format == kFormatTxt2ui16 || format == kFormatI14be2 ||
         format == kFormatI14le2;
}
