#include "common/InputFormat.h"

namespace {

constexpr InputFormatInfo kInputFormats[] = {
    {kFormatTxt, "txt", 1, FormatReader::kAscii, "Format is ASCII, Floating Point"},
    {kFormatTxtHex, "txthex", 1, FormatReader::kAscii, "Format is ASCII, Int16, HEX"},
    {kFormatF32be, "f32be", 1, FormatReader::kBinary, "Format is Binary, Float32, BE, IQIQ..."},
    {kFormatF32le, "f32le", 1, FormatReader::kBinary, "Format is Binary, Float32, LE, IQIQ..."},
    {kFormatF32le, "cf32", 1, FormatReader::kBinary, "Format is Binary, Float32, LE, IQIQ..."},
    {kFormatI16be, "i16be", 1, FormatReader::kBinary, "Format is Binary, Int16, BE, IQIQ..."},
    {kFormatI16le, "i16le", 1, FormatReader::kBinary, "Format is Binary, Int16, LE, IQIQ..."},
    {kFormatI16le, "cs16", 1, FormatReader::kBinary, "Format is Binary, Int16, LE, IQIQ..."},
    {kFormatTxt2ui14, "txt2ui14", 2, FormatReader::kAscii, "Format is ASCII, UInt14, sep. I,Q"},
    {kFormatTxt2ui16, "txt2ui16", 2, FormatReader::kAscii, "Format is ASCII, UInt16, sep. I,Q"},
    {kFormatI14be2, "i14be2", 2, FormatReader::kBinary, "Format is Binary, Int14, BE, sep. I,Q"},
    {kFormatI14le2, "i14le2", 2, FormatReader::kBinary, "Format is Binary, Int14, LE, sep. I,Q"},
    {kFormatKxzetq, "kxzetq", 1, FormatReader::kWaveform, ""},
    {kFormatCu8, "cu8", 1, FormatReader::kSamples,
     "Format is Binary, UInt8, zero at 127.5, IQIQ..."},
    {kFormatCs8, "cs8", 1, FormatReader::kSamples, "Format is Binary, Int8, IQIQ..."},
    {kFormatF64le, "f64le", 1, FormatReader::kSamples, "Format is Binary, Float64, LE, IQIQ..."},
    {kFormatF64le, "cf64", 1, FormatReader::kSamples, "Format is Binary, Float64, LE, IQIQ..."},
    {kFormatF64be, "f64be", 1, FormatReader::kSamples, "Format is Binary, Float64, BE, IQIQ..."},
    {kFormatWav, "wav", 1, FormatReader::kContainer, "Format is WAV (RIFF, RF64), 2 channels I,Q"},
    {kFormatSigmf, "sigmf", 1, FormatReader::kContainer, "Format is SigMF recording"},
    {kFormatNpy, "npy", 1, FormatReader::kContainer, "Format is NumPy .npy array"},
    {kFormatAuto, "auto", 1, FormatReader::kDetect, ""},
};

}  // namespace

std::span<const InputFormatInfo> InputFormats() { return kInputFormats; }

const InputFormatInfo* FindInputFormat(InputFormat code) {
  for (const InputFormatInfo& entry : kInputFormats)
    if (entry.code == code) return &entry;
  return nullptr;
}

InputFormat InputFormatFromKeyword(std::string_view keyword) {
  for (const InputFormatInfo& entry : kInputFormats)
    if (keyword == entry.keyword) return entry.code;
  return kFormatUnknown;
}

bool IsTwoFileFormat(InputFormat format) {
  const InputFormatInfo* entry = FindInputFormat(format);
  return entry != nullptr && entry->files == 2;
}

bool FormatCarriesClock(InputFormat format) {
  return format == kFormatWav || format == kFormatSigmf || format == kFormatAuto;
}

bool IsRawBinaryFormat(InputFormat format) {
  const InputFormatInfo* entry = FindInputFormat(format);
  return entry != nullptr &&
         (entry->reader == FormatReader::kBinary || entry->reader == FormatReader::kSamples);
}
