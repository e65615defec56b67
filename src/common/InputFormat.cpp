#include "common/InputFormat.h"

#include <algorithm>

namespace {

// The usage text's format lines: the keyword column, then the description,
// filled with blanks to the width of the other usage lines.
constexpr const char* kUsageIndent = "         ";
constexpr std::size_t kUsageKeywordColumn = 13;
constexpr std::size_t kUsageWidth = 70;

std::string UsageLine(std::string text) {
  if (text.size() < kUsageWidth) text.append(kUsageWidth - text.size(), ' ');
  return text + "\n";
}

}  // namespace

std::span<const InputFormatInfo> InputFormats() { return kInputFormatTable; }

const char* SampleTypeFormula(SampleType type) {
  switch (type) {
    case SampleType::kUInt8Centered:
      return "(u − 127.5) / 128";
    case SampleType::kUInt8Wav:
      return "(u − 128) / 128";
    case SampleType::kInt8:
      return "s / 128";
    case SampleType::kInt14:
      return "2 × ((v − 0.5) / 16383 − 0.5)";
    case SampleType::kInt16:
      return "(s − 0.5) / 32767";
    case SampleType::kUInt16:
      return "(u − 32767.5) / 32768";
    case SampleType::kInt24:
      return "s / 8388607";
    case SampleType::kInt32:
      return "s / 2147483647";
    case SampleType::kUInt32:
      return "(u − 2147483647.5) / 2147483648";
    case SampleType::kInt64:
      return "s / 9223372036854775807";
    case SampleType::kUInt64:
      return "(u − 9223372036854775807.5) / 9223372036854775808";
    case SampleType::kFloat32:
      return "the value itself";
    case SampleType::kFloat64:
      return "the value itself (rounded to 32 bits)";
  }
  return "";
}

const InputFormatInfo* FindInputFormat(InputFormat code) {
  for (const InputFormatInfo& entry : kInputFormatTable)
    if (entry.code == code && !entry.alias) return &entry;
  return nullptr;
}

InputFormat InputFormatFromKeyword(std::string_view keyword) {
  for (const InputFormatInfo& entry : kInputFormatTable)
    if (keyword == entry.keyword) return entry.code;
  return kFormatUnknown;
}

bool IsTwoFileFormat(InputFormat format) {
  const InputFormatInfo* entry = FindInputFormat(format);
  return entry != nullptr && entry->companion == CompanionRule::kQFile;
}

bool FormatCarriesClock(InputFormat format) {
  const InputFormatInfo* entry = FindInputFormat(format);
  return entry != nullptr && entry->carriesClock;
}

bool IsRawBinaryFormat(InputFormat format) {
  const InputFormatInfo* entry = FindInputFormat(format);
  return entry != nullptr && entry->reader == FormatReader::kRawSamples;
}

std::vector<CompanionRule> CompanionRulesFor(InputFormat format) {
  std::vector<CompanionRule> rules;
  const auto add = [&rules](CompanionRule rule) {
    if (rule != CompanionRule::kNone && std::find(rules.begin(), rules.end(), rule) == rules.end())
      rules.push_back(rule);
  };
  if (format == kFormatAuto) {
    // auto reads what it knows by name or first bytes.
    for (const InputFormatInfo& entry : kInputFormatTable)
      if (!entry.alias && (*entry.extensions != '\0' || !entry.signatures.empty()))
        add(entry.companion);
  } else if (const InputFormatInfo* entry = FindInputFormat(format)) {
    add(entry->companion);
  }
  return rules;
}

std::vector<std::string> FormatUsageLines() {
  std::vector<std::string> lines;
  std::string aliases;
  std::string targets;
  std::size_t aliasLine = 0;
  for (const InputFormatInfo& entry : kInputFormatTable) {
    if (entry.alias) {
      if (aliases.empty()) aliasLine = lines.size();
      aliases += std::string(aliases.empty() ? "" : " ") + entry.keyword;
      targets += std::string(targets.empty() ? "" : ", ") + FindInputFormat(entry.code)->keyword;
      continue;
    }
    std::string keyword = entry.keyword;
    keyword.resize(std::max(keyword.size() + 1, kUsageKeywordColumn), ' ');
    lines.push_back(UsageLine(kUsageIndent + keyword + entry.usage));
  }
  if (!aliases.empty()) {
    const auto at = lines.begin() + static_cast<std::ptrdiff_t>(aliasLine);
    lines.insert(at, UsageLine(kUsageIndent + aliases + " same as " + targets));
  }
  return lines;
}
