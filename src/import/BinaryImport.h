// Reader of the raw binary formats (f32be, f32le, i16be, i16le, i14be2,
// i14le2) into slot 0, which ImportRawIQ has opened and filled with the header.
#pragma once

#include <string>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "common/InputFormat.h"
#include "common/WaveInfo.h"
#include "import/ImportLevels.h"

// tempSlot: ImportRawIQ's guard of slot 0. Returns 1 with levels,
// info.samples set and slot 0 rewound; 0 on failure (slot 0 released through
// the guard, every input closed).
int ImportBinary(const std::string& inputPath, const std::string& secondPath, InputFormat format,
                 SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels);
