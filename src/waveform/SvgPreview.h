// A one-page picture of a waveform file as a self-contained SVG document: the
// I and Q traces of the first samples with the marker traces under them, the
// constellation of samples spread over the whole file, the averaged power
// spectrum, and the file's tags as a caption. The file is streamed once.
#pragma once

#include <string>

inline constexpr std::size_t kPreviewTracePairs = 2000;
inline constexpr std::size_t kPreviewConstellationPoints = 20000;
inline constexpr std::size_t kPreviewSpectrumBins = 1024;

// Reads the waveform file at inputPath and writes the picture to svgPath
// as an OutputFile (moved into place when complete; without replaceExisting
// a file that appeared meanwhile is kept). 1 on success,
// 0 on failure (logged; nothing left behind).
int WriteWaveformPreview(const std::string& inputPath, const std::string& svgPath,
                         bool replaceExisting = true);
