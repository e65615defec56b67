// Reader of the ASCII formats (txt, txthex, txt2ui14, txt2ui16) into slot 0,
// which ImportRawIQ has opened and filled with the header, with the header
// tag lines for COMMENT, COPYRIGHT and CLOCKRATE.
#pragma once

#include <string>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "common/InputFormat.h"
#include "common/WaveInfo.h"
#include "import/ImportLevels.h"
#include "import/InputFile.h"

// Parse modes of ParseAsciiField.
inline constexpr int kParseFloat = 1;   // "%e", stored as read
inline constexpr int kParseUInt14 = 3;  // "%d", low 16 bits u: (u - 0.5) / 8191 - 1
inline constexpr int kParseUInt16 = 4;  // "%d", low 16 bits u: (u - 0.5) / 32767 - 1
inline constexpr int kParseHex16 = 5;   // "%x", low 16 bits signed s: (s - 0.5) / 32767

// Finds field number `field` (1-based) of a line and converts it. 1 when a
// value was stored in *output, 0 otherwise.
int ParseAsciiField(const char* line, int field, float* output, int mode);

// tempSlot: ImportRawIQ's guard of slot 0. Returns 1 with levels,
// info.samples/clock/comment/copyright set and slot 0 rewound; 0 on failure
// (slot 0 released through the guard, every input closed).
// input: the open input file, taken over by the reader.
int ImportAscii(InputFile& input, const std::string& secondPath, InputFormat format,
                SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels);
