// Batch mode: converts every accepted file of a directory (and, when asked,
// of its subdirectories) into a mirrored output tree.
#pragma once

#include "app/Settings.h"

// Walks settings.inputPath into settings.outputPath with the run's filter,
// recursion and conversion settings; the output root is never walked as input.
// Returns 1 when the walk reached its end, 0 when it stopped.
int ConvertDirectory(const ConversionSettings& settings);
