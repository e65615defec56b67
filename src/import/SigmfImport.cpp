// SigMF reader: the JSON metadata of a recording (.sigmf-meta) gives the
// sample type, rate, description, copyright or author, and the marker
// annotations; the samples come from the data file beside it (.sigmf-data,
// or the file core:dataset names).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <utility>

#include "Shared/FileIO/TempFiles.h"
#include "common/Limits.h"
#include "common/Log.h"
#include "import/ContainerImport.h"
#include "platform/Platform.h"

namespace {

const std::string kMetaSuffix = FindInputFormat(kFormatSigmf)->metaSuffix;
const std::string kDataSuffix = FindInputFormat(kFormatSigmf)->dataSuffix;
// The marker lists of a waveform file.
constexpr int kMarkerLists = 4;
constexpr std::int64_t kMaxMetaBytes = kMaxSigmfMetaBytes;
const std::string kArchiveSuffix = ".sigmf";

using Json = nlohmann::json;

int Refuse(const std::string& message) {
  LogAlways({message});
  return 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

struct SigmfType {
  const char* name;  // without the c/r prefix and the byte-order suffix
  SampleType type;
};

constexpr SigmfType kTypes[] = {
    {"f32", SampleType::kFloat32}, {"f64", SampleType::kFloat64},      {"i32", SampleType::kInt32},
    {"i16", SampleType::kInt16},   {"i8", SampleType::kInt8},          {"u32", SampleType::kUInt32},
    {"u16", SampleType::kUInt16},  {"u8", SampleType::kUInt8Centered},
};

// core:datatype to a sample layout: c (complex, interleaved I, Q) or r (one
// real value per sample, read as I with Q = 0), the unit, and _le or _be for
// units wider than a byte. Logs why a type is refused.
int TakeDatatype(const std::string& datatype, SampleLayout* sample) {
  if (!datatype.empty() && (datatype[0] == 'c' || datatype[0] == 'r')) {
    const std::string unit = datatype.substr(1);
    for (const SigmfType& entry : kTypes) {
      const std::string name = entry.name;
      const bool singleByte = SampleUnitBytes(entry.type) == 1;
      const bool le = !singleByte && unit == name + "_le";
      const bool be = !singleByte && unit == name + "_be";
      if (!(singleByte ? unit == name : le || be)) continue;
      sample->type = entry.type;
      sample->bigEndian = be;
      sample->channels = datatype[0] == 'c' ? 2 : 1;
      sample->declaredType =
          entry.type == SampleType::kFloat32 || entry.type == SampleType::kFloat64;
      return 1;
    }
  }
  return Refuse("*** Error: SigMF datatype '" + datatype + "' is not a known type.");
}

// Reads the whole metadata file from its open stream.
int ReadMetaText(InputFile& file, std::string* text) {
  if (file.size > kMaxMetaBytes) {
    return Refuse(
        FormatText("*** Error: SigMF metadata file has %lld bytes; more than %lld are "
                   "not supported.",
                   static_cast<long long>(file.size), static_cast<long long>(kMaxMetaBytes)));
  }
  text->assign(static_cast<std::size_t>(file.size), '\0');
  const std::size_t got = platform::ReadFile(file.file.get(), text->data(), text->size());
  if (got != text->size() || platform::StreamFailed(file.file.get()))
    return Refuse("*** Error reading SigMF metadata file '" + file.path + "'.");
  // A file that grew since it was opened would be parsed cut.
  char more = 0;
  if (platform::ReadFile(file.file.get(), &more, 1) != 0)
    return Refuse("*** Error: Input file " + file.path + " changed while it was read.");
  return 1;
}

// The marker number of an annotation label "marker 1" to "marker 4" (as
// -export sigmf writes them); 0 for any other label.
int MarkerOfLabel(const Json& annotation) {
  const auto label = annotation.find("core:label");
  if (label == annotation.end() || !label->is_string()) return 0;
  const std::string text = label->get<std::string>();
  if (text.size() != 8 || text.compare(0, 7, "marker ") != 0) return 0;
  const char digit = text[7];
  return digit >= '1' && digit <= '0' + kMarkerLists ? digit - '0' : 0;
}

// The annotations: each "marker N" one becomes a stretch of that marker,
// the others are counted.
int TakeAnnotations(const Json& root, SigmfMeta* meta) {
  const auto annotations = root.find("annotations");
  if (annotations == root.end() || !annotations->is_array()) return 1;
  for (const Json& annotation : *annotations) {
    const int marker = annotation.is_object() ? MarkerOfLabel(annotation) : 0;
    if (marker == 0) {
      ++meta->otherAnnotations;
      continue;
    }
    const auto start = annotation.find("core:sample_start");
    if (start == annotation.end() || !start->is_number_integer() || start->get<std::int64_t>() < 0)
      return Refuse("*** Error: SigMF annotation 'marker " + std::to_string(marker) +
                    "' has no core:sample_start of 0 or more.");
    MarkerSpan span;
    span.marker = marker;
    span.start = start->get<std::int64_t>();
    // Without a count the annotation runs to the end of the recording.
    span.count = INT64_MAX - span.start;
    const auto count = annotation.find("core:sample_count");
    if (count != annotation.end()) {
      if (!count->is_number_integer() || count->get<std::int64_t>() < 0)
        return Refuse("*** Error: SigMF annotation 'marker " + std::to_string(marker) +
                      "' has a core:sample_count that is no whole number of 0 or more.");
      span.count = count->get<std::int64_t>();
    }
    meta->markerSpans.push_back(span);
  }
  return 1;
}

// The texts, centre frequency and marker annotations of the metadata, once
// the samples are in.
void TakeMetaTexts(SigmfMeta& meta, WaveInfo& info) {
  if (meta.hasDescription) {
    if (info.comment.empty())
      info.comment = FitTagText(meta.description, "SigMF description");
    else
      LogMessage(kLogWarning,
                 {"The comment of -comment is used instead of the SigMF description."});
  }
  // The copyright -export sigmf writes comes first, then the author.
  if (meta.hasCopyright || meta.hasAuthor) {
    const char* what = meta.hasCopyright ? "SigMF wavora:copyright" : "SigMF author";
    if (info.copyright.empty())
      info.copyright = FitTagText(meta.hasCopyright ? meta.copyright : meta.author, what);
    else
      LogMessage(kLogWarning, {"The copyright of -copyright is used instead of the ", what, "."});
  }
  if (meta.hasLevelOffsets) {
    info.hasStatedLevels = true;
    info.statedRmsOffset = meta.rmsOffset;
    info.statedPeakOffset = meta.peakOffset;
  }
  if (meta.hasFrequency)
    LogMessage(kLogInfo, {FormatText("SigMF centre frequency (core:frequency of the first "
                                     "capture): %.3f Hz.",
                                     meta.frequency)});
  if (!meta.markerSpans.empty()) {
    info.hasMarkerSpans = true;
    info.markerSpans = std::move(meta.markerSpans);
    LogMessage(kLogInfo, {FormatText("%zu SigMF annotations labelled 'marker 1' to 'marker 4' "
                                     "give the marker lists.",
                                     info.markerSpans.size())});
  }
  if (meta.otherAnnotations > 0)
    LogMessage(kLogInfo, {FormatText("%lld other SigMF annotations are not converted.",
                                     static_cast<long long>(meta.otherAnnotations))});
}

}  // namespace

int ParseSigmfMeta(const std::string& text, SigmfMeta* meta) {
  const Json root = Json::parse(text, nullptr, false);
  if (root.is_discarded() || !root.is_object())
    return Refuse("*** Error: SigMF metadata is no valid JSON object.");
  const auto global = root.find("global");
  if (global == root.end() || !global->is_object())
    return Refuse("*** Error: SigMF metadata has no \"global\" object.");

  const auto datatype = global->find("core:datatype");
  if (datatype == global->end() || !datatype->is_string())
    return Refuse("*** Error: SigMF metadata has no core:datatype.");
  meta->datatype = datatype->get<std::string>();
  if (!TakeDatatype(meta->datatype, &meta->sample)) return 0;

  const auto channels = global->find("core:num_channels");
  if (channels != global->end()) {
    if (!channels->is_number_integer() || channels->get<std::int64_t>() < 1)
      return Refuse("*** Error: SigMF core:num_channels is no positive whole number.");
    if (channels->get<std::int64_t>() > 1) {
      return Refuse(
          FormatText("*** Error: SigMF recording has %lld channels; only 1 is "
                     "supported.",
                     static_cast<long long>(channels->get<std::int64_t>())));
    }
  }

  const auto rate = global->find("core:sample_rate");
  if (rate != global->end()) {
    if (!rate->is_number()) return Refuse("*** Error: SigMF core:sample_rate is no number.");
    meta->sampleRate = rate->get<double>();
    if (!(meta->sampleRate > 0.0))
      return Refuse(
          FormatText("*** Error: SigMF core:sample_rate %g is not positive.", meta->sampleRate));
  }

  const auto description = global->find("core:description");
  if (description != global->end() && description->is_string()) {
    meta->hasDescription = true;
    meta->description = description->get<std::string>();
  }
  const auto author = global->find("core:author");
  if (author != global->end() && author->is_string()) {
    meta->hasAuthor = true;
    meta->author = author->get<std::string>();
  }
  const auto copyright = global->find("wavora:copyright");
  if (copyright != global->end() && copyright->is_string()) {
    meta->hasCopyright = true;
    meta->copyright = copyright->get<std::string>();
  }

  const auto levels = global->find("wavora:level_offsets");
  if (levels != global->end()) {
    const bool pair = levels->is_array() && levels->size() == 2 && (*levels)[0].is_number() &&
                      (*levels)[1].is_number();
    if (pair) {
      meta->rmsOffset = (*levels)[0].get<double>();
      meta->peakOffset = (*levels)[1].get<double>();
    }
    if (!pair || !(std::fabs(meta->rmsOffset) <= kMaxStatedLevelOffset) ||
        !(std::fabs(meta->peakOffset) <= kMaxStatedLevelOffset))
      return Refuse(
          FormatText("*** Error: SigMF wavora:level_offsets is no pair of numbers "
                     "(RMS and peak offset, dB) within +-%g.",
                     kMaxStatedLevelOffset));
    meta->hasLevelOffsets = true;
  }

  const auto dataset = global->find("core:dataset");
  if (dataset != global->end()) {
    if (!dataset->is_string()) return Refuse("*** Error: SigMF core:dataset is no text.");
    meta->dataset = dataset->get<std::string>();
    // The data file lies beside the metadata; a name with a directory part
    // could reach any file.
    if (meta->dataset.empty() || meta->dataset.find_first_of("/\\:") != std::string::npos ||
        meta->dataset == "." || meta->dataset == "..")
      return Refuse("*** Error: SigMF core:dataset '" + meta->dataset +
                    "' is no file name beside the metadata file.");
  }

  const auto captures = root.find("captures");
  if (captures != root.end() && captures->is_array() && !captures->empty() &&
      (*captures)[0].is_object()) {
    const Json& first = (*captures)[0];
    const auto header = first.find("core:header_bytes");
    if (header != first.end()) {
      if (!header->is_number_integer() || header->get<std::int64_t>() < 0)
        return Refuse("*** Error: SigMF core:header_bytes is no whole number of 0 or more.");
      meta->headerBytes = header->get<std::int64_t>();
    }
    const auto frequency = first.find("core:frequency");
    if (frequency != first.end() && frequency->is_number()) {
      meta->hasFrequency = true;
      meta->frequency = frequency->get<double>();
    }
  }
  return TakeAnnotations(root, meta);
}

bool SigmfPairNames(const std::string& inputPath, std::string* metaPath, std::string* dataPath) {
  std::string stem;
  if (EndsWith(inputPath, kMetaSuffix))
    stem = inputPath.substr(0, inputPath.size() - kMetaSuffix.size());
  else if (EndsWith(inputPath, kDataSuffix))
    stem = inputPath.substr(0, inputPath.size() - kDataSuffix.size());
  else
    return false;
  *metaPath = stem + kMetaSuffix;
  *dataPath = stem + kDataSuffix;
  return true;
}

namespace {

// A recording read straight from a .sigmf archive: the metadata member's
// text is kept while the members are listed, then the data member is read
// from its place in the archive.
int ImportSigmfArchive(InputFile& file, SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels) {
  LogAlways({"Reading SigMF archive '", file.path, "'"});
  SampleInput input;
  if (!AttachSampleInput(file, tempSlot, input)) return 0;
  std::vector<TarMember> members;
  if (!ReadTarMembers(SlotHeaderReader(kSlotImportInput), input.first.size, kMetaSuffix,
                      &members)) {
    tempSlot.Release();
    return 0;
  }
  std::vector<const TarMember*> metas;
  const std::string wanted = input.first.archiveMember;
  for (const TarMember& member : members)
    if (EndsWith(member.name, kMetaSuffix) &&
        (wanted.empty() || member.name == wanted + kMetaSuffix))
      metas.push_back(&member);
  if (metas.empty() && !wanted.empty())
    return FailImport(tempSlot, "*** Error: SigMF archive has no recording '" + wanted + "'.");
  if (metas.empty())
    return FailImport(tempSlot, "*** Error: SigMF archive holds no " + kMetaSuffix + " member.");
  if (metas.size() > 1) {
    return FailImport(tempSlot, FormatText("*** Error: SigMF archive holds %zu recordings; only "
                                           "archives of one recording are read.",
                                           metas.size()));
  }
  const TarMember& metaMember = *metas[0];
  SigmfMeta meta;
  if (!ParseSigmfMeta(metaMember.content, &meta)) {
    tempSlot.Release();
    return 0;
  }
  const std::string stem = metaMember.name.substr(0, metaMember.name.size() - kMetaSuffix.size());
  const std::size_t slash = metaMember.name.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? std::string() : metaMember.name.substr(0, slash + 1);
  const std::string dataName = meta.dataset.empty() ? stem + kDataSuffix : folder + meta.dataset;
  const auto data = std::find_if(members.begin(), members.end(),
                                 [&](const TarMember& m) { return m.name == dataName; });
  if (data == members.end())
    return FailImport(tempSlot, "*** Error: SigMF archive has no member '" + dataName + "'.");
  LogAlways({"SigMF datatype ", meta.datatype, ", samples from archive member '", dataName, "'"});
  if (!TakeSampleRate(meta.sampleRate, "SigMF metadata", info)) {
    tempSlot.Release();
    return 0;
  }
  if (meta.headerBytes > data->size) {
    return FailImport(tempSlot, FormatText("*** Error: SigMF core:header_bytes (%lld) is more "
                                           "than the data member holds (%lld bytes).",
                                           static_cast<long long>(meta.headerBytes),
                                           static_cast<long long>(data->size)));
  }
  // The listing read the archive to its end: the slot starts again at its
  // first byte and skips to the samples.
  input.firstSlot.Release();
  if (!_InitBuf(kSlotImportInput, input.first.file.get(), 1, 0, 0))
    return FailImport(tempSlot, "*** Error setting up buffer for input file.");
  input.firstSlot.Attach(kSlotImportInput);
  const std::int64_t start = data->offset + meta.headerBytes;
  if (SlotHeaderReader(kSlotImportInput)(nullptr, start) != start)
    return FailImport(tempSlot, "*** File I/O error.");
  SampleData samples;
  samples.layout = meta.sample;
  samples.dataOffset = start;
  samples.dataBytes = data->size - meta.headerBytes;
  if (!ImportSampleData(samples, input, tempSlot, info, levels)) return 0;
  TakeMetaTexts(meta, info);
  return 1;
}

}  // namespace

bool IsSigmfArchiveName(const std::string& path) { return EndsWith(path, kArchiveSuffix); }

int ListSigmfArchiveRecordings(InputFile& file, std::vector<std::string>* recordings) {
  std::FILE* stream = file.file.get();
  std::vector<char> scratch;
  const HeaderReader read = [stream, &scratch](void* dest, std::int64_t count) -> std::int64_t {
    std::int64_t done = 0;
    while (done < count) {
      const auto piece = static_cast<std::size_t>(std::min<std::int64_t>(count - done, 1 << 20));
      char* target = dest != nullptr ? static_cast<char*>(dest) + done : nullptr;
      if (target == nullptr) {
        scratch.resize(piece);
        target = scratch.data();
      }
      const std::size_t got = platform::ReadFile(stream, target, piece);
      if (platform::StreamFailed(stream)) return -1;
      done += static_cast<std::int64_t>(got);
      if (got < piece) break;
    }
    return done;
  };
  std::vector<TarMember> members;
  // Only the names are wanted here: no member's content is kept.
  const int ok = ReadTarMembers(read, file.size, "\n", &members);
  platform::RewindFile(stream);
  if (!ok) return 0;
  for (const TarMember& member : members)
    if (EndsWith(member.name, kMetaSuffix))
      recordings->push_back(member.name.substr(0, member.name.size() - kMetaSuffix.size()));
  return 1;
}

int ImportSigmf(InputFile& named, SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels) {
  const std::string& inputPath = named.path;
  if (EndsWith(inputPath, kArchiveSuffix)) return ImportSigmfArchive(named, tempSlot, info, levels);
  std::string metaPath;
  std::string dataPath;
  if (!SigmfPairNames(inputPath, &metaPath, &dataPath)) {
    return FailImport(tempSlot,
                      "*** Error: A SigMF recording is named by its .sigmf-meta or "
                      ".sigmf-data file or its .sigmf archive: '" +
                          inputPath + "'.");
  }
  const bool namedMeta = EndsWith(inputPath, kMetaSuffix);
  LogAlways({"Reading SigMF metadata from '", metaPath, "'"});
  InputFile metaFile;
  if (namedMeta) {
    metaFile = std::move(named);
  } else if (!OpenInputFile(metaPath, &metaFile,
                            "*** Error opening SigMF metadata file '" + metaPath + "'.")) {
    tempSlot.Release();
    return 0;
  }
  std::string text;
  SigmfMeta meta;
  if (!ReadMetaText(metaFile, &text) || !ParseSigmfMeta(text, &meta)) {
    tempSlot.Release();
    return 0;
  }
  // The file the user named is the data when it is one; a metadata file
  // leads to its core:dataset, or to the data file of the same name.
  if (!meta.dataset.empty() && namedMeta) {
    // The metadata file's name replaced, its directory part kept as written.
    dataPath = metaPath.substr(0, metaPath.size() - platform::FileNamePart(metaPath).size()) +
               meta.dataset;
  }
  LogAlways({"SigMF datatype ", meta.datatype, ", samples from '", dataPath, "'"});
  if (!TakeSampleRate(meta.sampleRate, "SigMF metadata", info)) {
    tempSlot.Release();
    return 0;
  }

  // The data file gets the checks of every input: a regular file, opened once.
  InputFile dataFile;
  if (!namedMeta) {
    dataFile = std::move(named);
  } else if (!OpenInputFile(dataPath, &dataFile)) {
    tempSlot.Release();
    return 0;
  }
  if (dataFile.identity == metaFile.identity) {
    return FailImport(
        tempSlot, "*** Error: The SigMF data file '" + dataPath + "' is the metadata file itself.");
  }
  metaFile.Close();

  SampleInput input;
  if (!AttachSampleInput(dataFile, tempSlot, input)) return 0;
  if (meta.headerBytes > input.first.size) {
    return FailImport(tempSlot, FormatText("*** Error: SigMF core:header_bytes (%lld) is more "
                                           "than the data file holds (%lld bytes).",
                                           static_cast<long long>(meta.headerBytes),
                                           static_cast<long long>(input.first.size)));
  }
  if (meta.headerBytes > 0 &&
      SlotHeaderReader(kSlotImportInput)(nullptr, meta.headerBytes) != meta.headerBytes)
    return FailImport(tempSlot, "*** File I/O error.");
  SampleData data;
  data.layout = meta.sample;
  data.dataOffset = meta.headerBytes;
  if (!ImportSampleData(data, input, tempSlot, info, levels)) return 0;

  TakeMetaTexts(meta, info);
  return 1;
}
