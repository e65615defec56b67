// Readers of the sample files that carry a header: WAV (RIFF/WAVE, RF64,
// BW64, WAVE_FORMAT_EXTENSIBLE), SigMF recordings (.sigmf-meta JSON beside
// .sigmf-data samples) and NumPy .npy arrays. Each parses its header, then
// hands the samples to the block reader of SampleImport.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "common/InputFormat.h"
#include "common/WaveInfo.h"
#include "import/ImportLevels.h"
#include "import/InputFile.h"
#include "import/SampleImport.h"

// ---- WAV ----

struct WavLayout {
  SampleLayout sample;
  double sampleRate = 0.0;      // frames per second; 0 when the header says 0
  std::int64_t dataBytes = -1;  // -1: the data runs to the end of the file
  std::int64_t dataOffset = 0;  // file offset of the first data byte
  std::string encoding;         // for the log: "PCM 16-bit", "IEEE float 32-bit"
  std::string container;        // "RIFF", "RF64" or "BW64"
};

// Reads the header up to the first data byte. fileSize bounds the data
// chunk. 1 on success; 0 after logging why the file is refused.
int ParseWavHeader(const HeaderReader& read, std::int64_t fileSize, WavLayout* layout);

// ---- NumPy ----

struct NpyLayout {
  SampleLayout sample;
  std::int64_t dataBytes = 0;
  std::int64_t dataOffset = 0;  // file offset of the first data byte
  std::string descr;            // e.g. "<c8"
  std::string shape;            // e.g. "(1024,)"
};

// Reads magic, version and the header dict up to the first data byte.
int ParseNpyHeader(const HeaderReader& read, std::int64_t fileSize, NpyLayout* layout);

// ---- SigMF ----

struct SigmfMeta {
  SampleLayout sample;
  std::string datatype;
  double sampleRate = 0.0;  // 0: none given
  bool hasDescription = false;
  std::string description;
  bool hasAuthor = false;
  std::string author;
  bool hasCopyright = false;  // wavora:copyright, written by -export sigmf
  std::string copyright;
  bool hasLevelOffsets = false;  // wavora:level_offsets, written by -export sigmf
  double rmsOffset = 0.0;        // dB below full scale
  double peakOffset = 0.0;
  bool hasFrequency = false;  // core:frequency of the first capture, Hz
  double frequency = 0.0;
  // Annotations labelled "marker 1" to "marker 4", and how many others there are.
  std::vector<MarkerSpan> markerSpans;
  std::int64_t otherAnnotations = 0;
  std::int64_t headerBytes = 0;  // core:header_bytes of the first capture
  std::string dataset;           // core:dataset, "" when absent
};

// Parses the JSON text of a .sigmf-meta file.
int ParseSigmfMeta(const std::string& text, SigmfMeta* meta);

// The metadata and data file names of the recording an input names: the
// input must end in ".sigmf-meta" or ".sigmf-data"; false otherwise.
bool SigmfPairNames(const std::string& inputPath, std::string* metaPath, std::string* dataPath);

// ---- SigMF archives (.sigmf: a tar file of recordings) ----

// Metadata with many annotations can be large, but never anything like this.
inline constexpr std::int64_t kMaxSigmfMetaBytes = std::int64_t{64} << 20;

struct TarMember {
  std::string name;         // the path inside the archive
  std::int64_t offset = 0;  // archive offset of its first data byte
  std::int64_t size = 0;
  std::string content;  // the data of the members whose name ends in keepSuffix
};

// Lists the regular members of a tar archive (POSIX ustar with pax headers),
// reading it from its first byte to the end blocks. Sizes are checked
// against fileSize, and a member named by an absolute path or with a '..'
// part makes the archive refused. 1 on success; 0 after logging why.
int ReadTarMembers(const HeaderReader& read, std::int64_t fileSize, const std::string& keepSuffix,
                   std::vector<TarMember>* members);

// The recordings of an open .sigmf archive, each named by the path of its
// metadata member without the suffix ("rec/rec"), in archive order; the file
// is put back at its first byte. 1 on success; 0 after logging why.
int ListSigmfArchiveRecordings(InputFile& file, std::vector<std::string>* recordings);

// True for a path that names a SigMF archive (".sigmf").
bool IsSigmfArchiveName(const std::string& path);

// ---- the readers, called by ImportRawIQ with slot 0 open ----

// Each reads the open input the user named. Returns 1 with levels,
// info.samples (and the clock and texts the file carries) set and slot 0
// rewound; 0 with slot 0 released.
int ImportWav(InputFile& input, SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels);
int ImportNpy(InputFile& input, SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels);
// The input is the recording's metadata or data file; the other one is
// opened by its name (or the metadata's core:dataset) through OpenInputFile.
int ImportSigmf(InputFile& input, SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels);
