// Batch mode: converts every accepted file of a directory (and, when asked,
// of its subdirectories) into a mirrored output tree.
#pragma once

#include "app/Settings.h"

// Walks settings.inputPath into settings.outputPath with the run's filter,
// recursion and conversion settings; the output root is never walked as input
// and no directory twice. Ends with the line "<n> converted, <n> failed,
// <n> skipped". Returns 1 when the walk reached its end without a failed
// file, 0 when it stopped, when any file failed, or when the input directory
// does not exist.
int ConvertDirectory(const ConversionSettings& settings);

// Converts settings.inputFile and every file of settings.moreInputs one after
// another, each as single-file mode does (output "_<name>.wv" in the working
// directory), with the walk's list of failed files, its counts line and its
// rule for a failed file (the abort question without -batch). Two inputs that
// would give the same output fail the second. Returns 1 when every file was
// converted.
int ConvertFileList(const ConversionSettings& settings);
