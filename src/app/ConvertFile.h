// Conversion of one input file into one output waveform file.
#pragma once

#include <string>

// inputName: relative names are joined to inputDir, absolute ones used as they
// stand. outputBaseName is cut at its first "." and gets ".wv" in outputDir.
// qFileName: the second (Q) file of a two-file format, resolved like the
// input; "" derives it from the input name (sig_I.bin -> sig_Q.bin).
// Returns 1 when the output file was written, 0 on any failure.
int ConvertFile(const std::string& inputName, const std::string& outputBaseName,
                const std::string& inputDir, const std::string& outputDir, int format,
                double gainDb, const std::string& comment, const std::string& copyright,
                double clockMHz, int overwrite, int autoscale, const std::string& qFileName = "");

// The Q file name derived from an I file name: the file name cut at its first
// "." must end in "I" or "i", which becomes "Q" or "q"; the directory part
// and the rest stay. "" when the name does not follow that rule.
std::string DeriveQFileName(const std::string& inputName);
