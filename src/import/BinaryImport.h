// Reader of the raw binary formats (f32be, f32le, i16be, i16le, i14be2,
// i14le2) into slot 0, which ImportRawIQ has opened and filled with the header.
#pragma once

#include <cstddef>
#include <string>

#include "app/WaveInfo.h"
#include "import/ImportLevels.h"

// Reverses the bytes of a buffer in place (big-endian units to machine order).
void ReverseBytes(unsigned char* buffer, std::size_t length);

// Returns 1 with levels, info.samples set and slot 0 rewound; 0 on failure
// (slot 0 released, every input closed).
int ImportBinary(const std::string& inputPath, const std::string& secondPath, int format,
                 WaveInfo& info, ImportLevels& levels);
