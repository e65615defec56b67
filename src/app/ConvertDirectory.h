// Batch mode: converts every accepted file of a directory (and, when asked,
// of its subdirectories) into a mirrored output tree.
#pragma once

#include <string>

// topOutputDir: the run's output root, which the walk never descends into.
// Returns 1 when the level was walked to its end, 0 when the walk stopped.
int ConvertDirectory(const std::string& extension, const std::string& inputDir,
                     const std::string& outputDir, int format, double gainDb,
                     const std::string& comment, const std::string& copyright, double clockMHz,
                     int recursive, int overwrite, int autoscale,
                     const std::string& topOutputDir);
