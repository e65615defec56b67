// MAT-file reader: chooses the variable, says in the log what the file holds
// and hands the values to the block reader, I and Q each from a position of
// its own where the file stores them apart (complex parts, the two columns
// of an N x 2 matrix).
#include "import/MatImport.h"

#include "Shared/FileIO/TempFiles.h"
#include "common/Log.h"
#include "import/ContainerImport.h"

namespace {

// Read buffer of each part that streams from the file, and of the listing.
constexpr std::size_t kPartBufferBytes = 1 << 18;
constexpr std::size_t kListingBufferBytes = 1 << 16;
// Variables named in one log line; the rest are counted.
constexpr std::size_t kMaxListedNames = 20;

// "a (double 3x4), b (struct 1x1)" for the variables that pass `keep`.
template <typename Keep>
std::string VariableList(const MatFile& mat, Keep keep) {
  std::string list;
  std::size_t listed = 0;
  std::size_t more = 0;
  for (const MatVariable& variable : mat.variables) {
    if (!keep(variable)) continue;
    if (listed == kMaxListedNames) {
      ++more;
      continue;
    }
    if (!list.empty()) list += ", ";
    list += DescribeMatVariable(variable);
    ++listed;
  }
  if (more > 0) list += FormatText(" and %zu more", more);
  return list;
}

void LogContents(const MatFile& mat) {
  const std::string all = VariableList(mat, [](const MatVariable&) { return true; });
  LogAlways({"    The file holds: ", all.empty() ? std::string("no variable") : all, "."});
}

// At most one dimension above 1.
bool IsVector(const MatVariable& variable) {
  int long_ = 0;
  for (const std::int64_t dim : variable.dims) long_ += dim > 1 ? 1 : 0;
  return long_ <= 1;
}

}  // namespace

int SelectMatVariable(const MatFile& mat, const std::string& wanted, MatSelection* selection) {
  const std::vector<MatVariable>& all = mat.variables;
  std::size_t chosen = all.size();
  if (!wanted.empty()) {
    for (std::size_t k = 0; k < all.size() && chosen == all.size(); ++k)
      if (all[k].name == wanted) chosen = k;
    if (chosen == all.size()) {
      LogAlways({"*** Error: The MAT-file has no variable '", wanted, "' (-var)."});
      LogContents(mat);
      return 0;
    }
    if (!all[chosen].numeric) {
      LogAlways({"*** Error: MAT-file variable ", DescribeMatVariable(all[chosen]),
                 " is no numeric array; only numeric arrays hold samples."});
      LogContents(mat);
      return 0;
    }
  } else {
    std::size_t numeric = 0;
    for (std::size_t k = 0; k < all.size(); ++k) {
      if (!all[k].numeric) continue;
      ++numeric;
      if (numeric == 1) chosen = k;
    }
    if (numeric == 0) {
      LogAlways({"*** Error: The MAT-file holds no numeric variable."});
      LogContents(mat);
      return 0;
    }
    if (numeric > 1) {
      chosen = all.size();
      for (std::size_t k = 0; k < all.size() && chosen == all.size(); ++k)
        if (all[k].numeric && all[k].complex) chosen = k;
      if (chosen == all.size()) {
        LogAlways(
            {FormatText("*** Error: The MAT-file holds %zu numeric variables and none is "
                        "complex; name the one to read with -var <name>.",
                        numeric)});
        LogContents(mat);
        return 0;
      }
    }
  }

  const MatVariable& variable = all[chosen];
  selection->index = chosen;
  const std::vector<std::int64_t>& dims = variable.dims;
  if (IsVector(variable)) {
    selection->shape = variable.complex ? MatShape::kComplex : MatShape::kReal;
    selection->pairs = variable.elements;
  } else if (!variable.complex && dims.size() == 2 && dims[1] == 2) {
    selection->shape = MatShape::kColumns;
    selection->pairs = dims[0];
  } else if (!variable.complex && dims.size() == 2 && dims[0] == 2) {
    selection->shape = MatShape::kRows;
    selection->pairs = dims[1];
  } else {
    LogAlways({"*** Error: MAT-file variable ", DescribeMatVariable(variable),
               " is not usable: a complex vector, a real N x 2 or 2 x N matrix or a real vector "
               "is needed."});
    LogContents(mat);
    return 0;
  }
  return 1;
}

int ImportMat(InputFile& file, SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels) {
  SampleInput input;
  if (!AttachSampleInput(file, tempSlot, input)) return 0;
  // The parts are read at positions of their own, not through slot 1.
  input.firstSlot.Release();
  std::FILE* stream = input.first.file.get();

  MatFile mat;
  if (!ParseMatFile(FileMatReader(stream, kListingBufferBytes), input.first.size, &mat)) {
    tempSlot.Release();
    return 0;
  }
  LogAlways({FormatText("MAT-file Level %d, %s, %zu variable%s%s%s", mat.level,
                        mat.bigEndian ? "big-endian" : "little-endian", mat.variables.size(),
                        mat.variables.size() == 1 ? "" : "s", mat.headerText.empty() ? "" : ": ",
                        mat.headerText.c_str())});
  MatSelection selection;
  if (!SelectMatVariable(mat, info.matVariable, &selection)) {
    tempSlot.Release();
    return 0;
  }
  const MatVariable& variable = mat.variables[selection.index];
  const char* const shapeText[] = {"I from the real part, Q from the imaginary part",
                                   "I from the first column, Q from the second",
                                   "I from the first row, Q from the second", "I only"};
  LogAlways({"MAT-file variable ", DescribeMatVariable(variable),
             variable.compressed ? ", compressed" : "", ": ",
             shapeText[static_cast<int>(selection.shape)], "."});
  const std::size_t index = selection.index;
  const std::string others = VariableList(
      mat, [&](const MatVariable& v) { return v.numeric && &v != &mat.variables[index]; });
  if (!others.empty()) LogAlways({"Other numeric variables, not read: ", others, "."});
  const std::string skipped = VariableList(mat, [](const MatVariable& v) { return !v.numeric; });
  if (!skipped.empty()) LogAlways({"Skipped (no numeric array): ", skipped, "."});
  if (mat.otherElements > 0)
    LogMessage(kLogWarning, {FormatText("%lld data elements that hold no variable are ignored.",
                                        static_cast<long long>(mat.otherElements))});
  // A MAT-file carries no sample rate; the clock comes from -clock.
  if (!TakeSampleRate(0.0, "MAT-file", info)) {
    tempSlot.Release();
    return 0;
  }

  // Refused before any part is opened: opening the imaginary part of a
  // compressed variable inflates the whole real part.
  if (selection.pairs > kMaxTempSamples)
    return FailImport(tempSlot,
                      FormatText("*** Error: Input file holds %lld I/Q pairs; at most %ld are "
                                 "supported.",
                                 static_cast<long long>(selection.pairs), kMaxTempSamples));

  SampleData data;
  data.layout.type = MatSampleType(variable.classStorage);
  data.layout.bigEndian = false;  // the parts deliver little-endian units
  data.layout.declaredType =
      variable.classStorage == kMiDouble || variable.classStorage == kMiSingle;
  const std::int64_t pairs = selection.pairs;
  std::int64_t firstUnits = pairs;
  bool ok = true;
  const auto part = [&](bool imaginary, std::int64_t skip, std::int64_t units,
                        SampleSource* source) {
    return OpenMatPart(FileMatReader(stream, kPartBufferBytes), mat, variable, imaginary, skip,
                       units, source) != 0;
  };
  switch (selection.shape) {
    case MatShape::kComplex:
      data.qFromSecondFile = true;
      ok = part(false, 0, pairs, &data.firstSource) && part(true, 0, pairs, &data.secondSource);
      break;
    case MatShape::kColumns:
      // Column-major: all I values, then all Q values.
      data.qFromSecondFile = true;
      ok =
          part(false, 0, pairs, &data.firstSource) && part(false, pairs, pairs, &data.secondSource);
      break;
    case MatShape::kRows:
      firstUnits = 2 * pairs;
      ok = part(false, 0, firstUnits, &data.firstSource);
      break;
    case MatShape::kReal:
      data.layout.channels = 1;
      ok = part(false, 0, pairs, &data.firstSource);
      break;
  }
  if (!ok) {
    tempSlot.Release();
    return 0;
  }
  data.dataBytes = firstUnits * SampleUnitBytes(data.layout.type);
  return ImportSampleData(data, input, tempSlot, info, levels);
}
