// The one engine for fixed-width binary samples: the raw formats (f32, i16,
// i14 of two files, cu8, cs8, f64) and the payloads of the files that carry a
// header (WAV, SigMF, NumPy). Sample units of one type, interleaved I, Q (or
// one real channel, or I and Q from two files), converted block by block into
// full-scale floats in slot 0 with one table of word conversions, one size
// limit and one check of the bytes read against the size seen at opening.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "common/InputFormat.h"
#include "common/WaveInfo.h"
#include "import/ImportLevels.h"
#include "import/InputFile.h"

struct SampleLayout {
  SampleType type = SampleType::kInt16;
  bool bigEndian = false;
  // Values per frame: 2 (I, Q), or 1 for a real signal, read as I with Q = 0.
  int channels = 2;
  // The file declares its sample type (the float data of a container): a
  // magnitude beyond full scale is data to be scaled down, not the sign of a
  // wrong format or byte order. Values that are not finite are refused all
  // the same.
  bool declaredType = false;
};

// Bytes of one unit (one I or one Q value).
int SampleUnitBytes(SampleType type);

// Converts count units from bytes (count * SampleUnitBytes) into values.
void DecodeSampleUnits(const SampleLayout& layout, const unsigned char* bytes, std::size_t count,
                       float* values);

// Header bytes for the parsers: reads up to count bytes into dest and returns
// how many were read (fewer only at the end of the input), or -1 when the
// read failed. A null dest skips the bytes.
using HeaderReader = std::function<std::int64_t(void* dest, std::int64_t count)>;

// A HeaderReader over stream slot `slot`.
HeaderReader SlotHeaderReader(int slot);

// The inputs of one import: the open input in slot 1 and, when there is one,
// the open second file in slot 2; released and closed on every way out.
struct SampleInput {
  InputFile first;
  SlotGuard firstSlot;
  InputFile second;
  SlotGuard secondSlot;

  SampleInput() = default;
  SampleInput(const SampleInput&) = delete;
  SampleInput& operator=(const SampleInput&) = delete;
  ~SampleInput() { Close(); }
  void Close() {
    firstSlot.Release();
    first.Close();
    secondSlot.Release();
    second.Close();
  }
};

// Takes the open input into slot 1: refuses files of 2 GiB or more. On
// failure slot 0 is released through tempSlot and the reason logged.
int AttachSampleInput(InputFile& file, SlotGuard& tempSlot, SampleInput& input);

// Logs "Importing from 2nd BINARY file", opens path and takes it into slot 2.
int AttachSecondInput(const std::string& path, SlotGuard& tempSlot, SampleInput& input);

// Bytes of samples from somewhere else than a slot (the variables of a
// MAT-file: an inflated stream, or a part of the file read at a position of
// its own): up to count bytes into dest, whole units only; returns how many
// (fewer only at the end of the data), or -1 after logging a failure.
using SampleSource = std::function<std::int32_t(void* dest, std::int32_t count)>;

// Where the samples lie in the input and how they are read.
struct SampleData {
  SampleLayout layout;
  // Bytes of the input before the samples, already read by the caller.
  std::int64_t dataOffset = 0;
  // Bytes of samples; -1: they run to the end of the input, whose size when
  // it was opened must then be exactly what is read.
  std::int64_t dataBytes = -1;
  // The I values come from slot 1, each Q value from the same place of the
  // second file in slot 2 (read only as far as the first file reaches).
  bool qFromSecondFile = false;
  // A failed write names the half of the pair (the raw Float32 and Int16
  // formats) instead of the temporary file alone.
  bool namePairHalves = false;
  // When set, the I (or I and Q) bytes come from firstSource instead of
  // slot 1, and with qFromSecondFile the Q bytes from secondSource instead
  // of slot 2; the source checks its own bounds (dataBytes must be given).
  SampleSource firstSource;
  SampleSource secondSource;
};

// Reads the samples from slot 1 (and 2), which stand at the first sample,
// into slot 0. Sets levels, info.samples, closes the inputs, rewinds slot 0
// and logs the pair count; on failure releases slot 0 through tempSlot and
// logs.
int ImportSampleData(const SampleData& data, SampleInput& input, SlotGuard& tempSlot,
                     WaveInfo& info, ImportLevels& levels);

// Releases slot 0 first, then logs, as every failure of the readers does.
int FailImport(SlotGuard& tempSlot, const std::string& message);

// The raw fixed-width formats of the format table, from the open input (and
// the Q file at secondPath, "" for none).
int ImportRawSamples(InputFile& input, const std::string& secondPath, InputFormat format,
                     SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels);

// Sets the clock from a file's own sample rate (Hz; 0 or less for none):
// a -clock given on the command line (info.clock > 0) wins, with a warning
// line; a rate outside the clock range, or none at all without -clock, fails
// with a line saying so.
int TakeSampleRate(double fileRateHz, const char* what, WaveInfo& info);

// A free text from a file's metadata made fit for a header tag: cut to 511
// characters (on a UTF-8 character boundary), control characters turned into
// blanks and '}' (which would end the tag) into ')'; each change is logged
// with an always-shown line naming `what`.
std::string FitTagText(const std::string& text, const char* what);
