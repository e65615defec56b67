// Writing the samples of a waveform file back out in the capture formats of
// the SDR world: raw cs16 and cf32, two-channel 16-bit WAV, and SigMF
// (ci16_le data with its JSON meta file, markers as annotations).
#pragma once

#include <string>
#include <vector>

enum class ExportKind { kCs16, kCf32, kWav, kSigmf };

// The one table of export kinds: the keyword of -export, the extension of
// the default output name, and whether the kind writes one file (which can
// also go to standard output).
struct ExportKindInfo {
  ExportKind kind;
  const char* keyword;
  const char* extension;
  bool oneFile;
};
inline constexpr ExportKindInfo kExportKinds[] = {
    {ExportKind::kCs16, "cs16", ".cs16", true},
    {ExportKind::kCf32, "cf32", ".cf32", true},
    {ExportKind::kWav, "wav", ".wav", true},
    {ExportKind::kSigmf, "sigmf", ".sigmf-data", false},
};

// The row of a kind.
const ExportKindInfo& ExportKindRow(ExportKind kind);

// The keywords of the kinds that pass the filter, for messages: "cs16,
// cf32, wav or sigmf".
std::string ExportKindList(bool oneFileOnly = false);

// A keyword of the table; false for any other word.
bool ExportKindFromText(const std::string& text, ExportKind* kind);

// The file an export writes to for the given name: the name itself for cs16,
// cf32 and wav; for sigmf the data file and the meta file of the recording
// the name stands for (a name ending in .sigmf-data, .sigmf-meta or .sigmf
// names the recording without that ending).
std::vector<std::string> ExportOutputPaths(ExportKind kind, const std::string& name);

// The default name of an export: the input's file name without its
// extension, with the kind's extension of the table.
std::string DefaultExportName(ExportKind kind, const std::string& inputPath);

// Exports the words of the waveform file at inputPath to the files of
// ExportOutputPaths(kind, outputName) (checked beforehand with
// CheckOutputDestination of OutputFile.h). Each file is written as an
// OutputFile and moved into place when all are complete; without
// replaceExisting a file that appeared meanwhile is kept. 1 on success, 0 on
// failure (logged; no output file left behind).
int ExportWaveform(const std::string& inputPath, ExportKind kind, const std::string& outputName,
                   bool replaceExisting = true);
