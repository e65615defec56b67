// Every binary input format end to end: for each format an input made from a
// tone, with units whose bytes are CR, LF and Ctrl-Z, and the full-scale value
// of every unit computed here from the unit as the format defines it; the
// single-file conversion of each is checked word by word against those
// values. The Linux suite (tests/e2e) and the Windows suite (tests/windows)
// run the same table, each starting the program and writing paths its own way.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/TestSupport.h"

namespace testing_support {

// I/Q pairs of every input of the table.
inline constexpr int kBinaryInputPairs = 500;

// One input of a binary format: the files to write and the full-scale value
// of every unit, I and Q interleaved.
struct BinaryInput {
  std::string format;
  std::vector<std::pair<std::string, Bytes>> files;  // the first is named on the command line
  std::vector<double> values;
};

// i16le / i16be: one file tone.bin.
BinaryInput Int16Input(const std::string& format, bool bigEndian);
// f32le / f32be: one file float.dat.
BinaryInput Float32Input(const std::string& format, bool bigEndian);
// i14le2 / i14be2: all I words in sig_I.bin, all Q words in sig_Q.bin.
BinaryInput Int14Input(const std::string& format, bool bigEndian);

// The table: f32be, f32le, i16be, i16le, i14be2, i14le2.
std::vector<BinaryInput> EveryBinaryInput();

// The output words of the values: each is held as a 32-bit float first.
std::vector<std::int16_t> WordsFor(const std::vector<double>& values);

// The file at path is a waveform file whose SAMPLES tag and words are those
// of the values, with nothing after the data tag.
void ExpectWaveform(const std::string& path, const std::vector<double>& values);

// Writes the files of the input into dir; separator joins dir and name.
void WriteInputs(const std::string& dir, const BinaryInput& input, char separator);

// Starts the program with the arguments in workDir, keys as standard input;
// the log comes back with LF line ends.
using ProgramRunner = std::function<RunResult(const std::vector<std::string>& args,
                                              const std::string& workDir, const std::string& keys)>;

// Converts each input of the table in single-file mode in a fresh folder and
// checks the log (input directory, output path joined with separator), the
// output words, and that the folder holds only the inputs and the output.
void ExpectEveryBinaryFormatConverts(const ProgramRunner& run, char separator);

}  // namespace testing_support
