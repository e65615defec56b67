#include "common/InputFormat.h"

namespace {

constexpr InputFormatInfo kInputFormats[] = {
    {kFormatTxt, "txt", 1, FormatReader::kAscii, "Format is ASCII, Floating Point"},
    {kFormatTxtHex, "txthex", 1, FormatReader::kAscii, "Format is ASCII, Int16, HEX"},
    {kFormatF32be, "f32be", 1, FormatReader::kBinary, "Format is Binary, Float32, BE, IQIQ..."},
    {kFormatF32le, "f32le", 1, FormatReader::kBinary, "Format is Binary, Float32, LE, IQIQ..."},
    {kFormatI16be, "i16be", 1, FormatReader::kBinary, "Format is Binary, Int16, BE, IQIQ..."},
    {kFormatI16le, "i16le", 1, FormatReader::kBinary, "Format is Binary, Int16, LE, IQIQ..."},
    {kFormatTxt2ui14, "txt2ui14", 2, FormatReader::kAscii, "Format is ASCII, UInt14, sep. I,Q"},
    {kFormatTxt2ui16, "txt2ui16", 2, FormatReader::kAscii, "Format is ASCII, UInt16, sep. I,Q"},
    {kFormatI14be2, "i14be2", 2, FormatReader::kBinary, "Format is Binary, Int14, BE, sep. I,Q"},
    {kFormatI14le2, "i14le2", 2, FormatReader::kBinary, "Format is Binary, Int14, LE, sep. I,Q"},
    {kFormatKxzetq, "kxzetq", 1, FormatReader::kWaveform, ""},
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
