// The block reader shared by the raw 8-bit and 64-bit layouts and by the
// readers of files with a header (WAV, SigMF, NumPy): sample units of one
// type, interleaved I, Q, converted block by block into full-scale floats in
// slot 0 with the same level bookkeeping, range check and progress as the
// binary reader.
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
#include "platform/Platform.h"

// How one unit becomes a full-scale value (1.0 is full scale):
//   kUInt8Centered  (u - 127.5) / 128        cu8, SigMF cu8
//   kUInt8Wav       (u - 128) / 128          8-bit WAV PCM (silence is 128)
//   kInt8           s / 128                  cs8, SigMF ci8
//   kInt16          (s - 0.5) / 32767        as i16le: WAV 16-bit, SigMF ci16, NumPy int16
//   kUInt16         (u - 32767.5) / 32768    SigMF cu16
//   kInt24          s / 8388607              WAV 24-bit (3 bytes packed)
//   kInt32          s / 2147483647           WAV 32-bit, SigMF ci32
//   kUInt32         (u - 2147483647.5) / 2147483648   SigMF cu32
//   kFloat32, kFloat64   the value itself (a 64-bit value rounded to 32 bits)
enum class SampleType {
  kUInt8Centered,
  kUInt8Wav,
  kInt8,
  kInt16,
  kUInt16,
  kInt24,
  kInt32,
  kUInt32,
  kFloat32,
  kFloat64,
};

struct SampleLayout {
  SampleType type = SampleType::kInt16;
  bool bigEndian = false;
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

// The input of one import: its stream and slot 1, closed on every way out.
struct SampleInput {
  platform::FileHandle file;
  SlotGuard slot;
  std::int64_t size = 0;  // bytes of the file

  SampleInput() = default;
  SampleInput(const SampleInput&) = delete;
  SampleInput& operator=(const SampleInput&) = delete;
  ~SampleInput() { Close(); }
  void Close() {
    slot.Release();
    file.reset();
  }
};

// Opens path for reading through slot 1 and takes its size; refuses files of
// 2 GiB or more. On failure slot 0 is released through tempSlot and the
// reason logged.
int OpenSampleInput(const std::string& path, SlotGuard& tempSlot, SampleInput& input);

// Reads the sample data from slot 1, which stands at its first byte, into
// slot 0: dataBytes bytes, or everything up to the end of the input when
// dataBytes is negative. progressBytes is the byte count progress is measured
// against. Sets levels, info.samples, rewinds slot 0 and logs the pair count;
// on failure releases slot 0 through tempSlot and logs.
int ImportSampleData(const SampleLayout& layout, std::int64_t dataBytes, std::int64_t progressBytes,
                     SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels);

// Releases slot 0 first, then logs, as every failure of the readers does.
int FailImport(SlotGuard& tempSlot, const std::string& message);

// The raw layouts of the block reader: cu8, cs8, f64le, f64be.
int ImportRawSamples(const std::string& inputPath, InputFormat format, SlotGuard& tempSlot,
                     WaveInfo& info, ImportLevels& levels);

// Sets the clock from a file's own sample rate (Hz; 0 or less for none):
// a -clock given on the command line (info.clock > 0) wins, with a warning
// line; a rate outside 0 to 600 MHz, or none at all without -clock, fails
// with a line saying so.
int TakeSampleRate(double fileRateHz, const char* what, WaveInfo& info);

// A free text from a file's metadata made fit for a header tag: cut to 511
// characters (on a UTF-8 character boundary), control characters turned into
// blanks and '}' (which would end the tag) into ')'; each change is logged
// with an always-shown line naming `what`.
std::string FitTagText(const std::string& text, const char* what);
