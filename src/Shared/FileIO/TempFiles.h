// Names, header and slot assignment of the two temporary files that every
// conversion passes its samples and markers through.
#pragma once

#include <string>

#include "platform/Platform.h"

inline constexpr const char* kTempWaveFileName = "_temp_.dat";
inline constexpr const char* kTempMarkerFileName = "_mkr_.dat";

// The payload of the temporary waveform file begins with these 3 bytes,
// followed by I/Q pairs of little-endian 32-bit floats.
inline constexpr char kTempWaveHeader[3] = {'I', 'Q', 'F'};
inline constexpr int kTempWaveHeaderSize = 3;
inline constexpr int kTempSampleSize = 8;

// Largest sample count the temporary waveform file can hold: the stream on
// disk, 4-byte header plus the payload (3 + 8 per sample) filled up to whole
// 8-byte cipher blocks, must end within a signed 32-bit file offset.
inline constexpr long kMaxTempSamples = 268435454;
static_assert(4 + (3 + 8 * static_cast<long long>(kMaxTempSamples) + 7) / 8 * 8 <= 2147483647LL);
static_assert(4 + (3 + 8 * static_cast<long long>(kMaxTempSamples + 1) + 7) / 8 * 8 > 2147483647LL);

// Slot indices of the stream layer, by user.
inline constexpr int kSlotImportTemp = 0;    // importers: temporary waveform file, read+write
inline constexpr int kSlotImportInput = 1;   // importers: binary input file
inline constexpr int kSlotImportSecond = 2;  // importers: second binary input file
inline constexpr int kSlotReaderInput = 0;   // waveform reader: input waveform file
inline constexpr int kSlotReaderTemp = 1;    // waveform reader: temporary waveform file, write
inline constexpr int kSlotMarker = 3;        // reader and writer: marker file
inline constexpr int kSlotRescaleTemp = 0;   // rescaler: temporary waveform file
inline constexpr int kSlotWriterTemp = 0;    // writer: temporary waveform file, read

// True when path names one of the conversion's temporary files (_temp_.dat,
// _mkr_.dat in the working directory) by file identity, whatever the spelling
// or link: the file itself when it exists, or, as the files are recreated for
// every conversion, the temporary files' name in the working directory
// (compared by the directory's identity). Such a path is neither read as
// input nor written as output.
bool IsConversionTempFile(const std::string& path);

// True when identity is that of an existing temporary file of the conversion.
bool IsConversionTempIdentity(const platform::FileIdentity& identity);
