#include "support/TestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace fs = std::filesystem;

namespace testing_support {

TempDir::TempDir() {
  // A random name, created in one step: create_directory reports false for a
  // name that exists already, so two tests never share a folder.
  static std::mt19937_64 names(std::random_device{}());
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(names()));
    const fs::path candidate = base / ("wavora_test_" + std::string(suffix));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      path_ = candidate.string();
      return;
    }
    if (error) break;
  }
  throw std::runtime_error("cannot create a temporary folder in " + base.string());
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

ScopedWorkingDir::ScopedWorkingDir(const std::string& dir) {
  previous_ = fs::current_path().string();
  fs::current_path(dir);
}

ScopedWorkingDir::~ScopedWorkingDir() {
  std::error_code ignored;
  fs::current_path(previous_, ignored);
}

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += "'";
  return quoted;
}

// The Windows runner of the program is in tests/windows/support.
#ifndef _WIN32
RunResult RunShellCommand(const std::string& command, const std::string& workDir,
                          const std::string& stdinText) {
  TempDir io;
  const std::string inPath = io.File("stdin");
  const std::string outPath = io.File("stdout");
  const std::string errPath = io.File("stderr");
  WriteFileText(inPath, stdinText);
  const std::string line = "cd " + ShellQuote(workDir) + " && " + command + " <" +
                           ShellQuote(inPath) + " >" + ShellQuote(outPath) + " 2>" +
                           ShellQuote(errPath);
  const int status = std::system(line.c_str());
  RunResult result;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = ReadFileText(outPath);
  result.err = ReadFileText(errPath);
  return result;
}

RunResult RunWavoraBinary(const std::vector<std::string>& args, const std::string& workDir,
                          const std::string& stdinText) {
  std::string command = ShellQuote(WAVORA_EXE);
  for (const std::string& arg : args) command += " " + ShellQuote(arg);
  return RunShellCommand(command, workDir, stdinText);
}
#endif  // _WIN32

Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadFileText(const std::string& path) {
  const Bytes bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void WriteFileBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteFileText(const std::string& path, const std::string& text) {
  WriteFileBytes(path, Bytes(text.begin(), text.end()));
}

bool FileExistsForTest(const std::string& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(path, ignored));
}

std::vector<std::string> ListNames(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string SettingsRow(const std::string& name, const std::string& value) {
  std::string row = "  " + name;
  row.resize(20, ' ');
  return row + "| " + value + "                       \n";
}

int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::vector<float> MakeTone(std::size_t samples, double amplitude, double cycles, bool cosine) {
  std::vector<float> values(samples);
  const double pi = std::acos(-1.0);
  for (std::size_t n = 0; n < samples; ++n) {
    const double phase = 2.0 * pi * cycles * static_cast<double>(n) / static_cast<double>(samples);
    values[n] = static_cast<float>(amplitude * (cosine ? std::cos(phase) : std::sin(phase)));
  }
  return values;
}

std::vector<float> MakeNoise(std::size_t samples, double amplitude, unsigned seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<double> distribution(-amplitude, amplitude);
  std::vector<float> values(samples);
  for (float& value : values) value = static_cast<float>(distribution(generator));
  return values;
}

std::vector<float> Interleave(const std::vector<float>& i, const std::vector<float>& q) {
  std::vector<float> values;
  const std::size_t pairs = std::min(i.size(), q.size());
  values.reserve(2 * pairs);
  for (std::size_t k = 0; k < pairs; ++k) {
    values.push_back(i[k]);
    values.push_back(q[k]);
  }
  return values;
}

std::vector<float> MakeIqTone(std::size_t pairs, double amplitude, double cycles) {
  return Interleave(MakeTone(pairs, amplitude, cycles, true),
                    MakeTone(pairs, amplitude, cycles, false));
}

std::vector<std::int16_t> ToInt16Units(const std::vector<float>& values) {
  std::vector<std::int16_t> units;
  units.reserve(values.size());
  for (float value : values)
    units.push_back(static_cast<std::int16_t>(std::lround(value * 32767.0)));
  return units;
}

std::vector<std::int16_t> MakeInt16IqTone(std::size_t pairs, double amplitude, double cycles) {
  return ToInt16Units(MakeIqTone(pairs, amplitude, cycles));
}

Bytes EncodeInt16(const std::vector<std::int16_t>& units, bool bigEndian) {
  Bytes bytes;
  bytes.reserve(units.size() * 2);
  for (std::int16_t unit : units) {
    const auto word = static_cast<std::uint16_t>(unit);
    const auto low = static_cast<unsigned char>(word & 0xFF);
    const auto high = static_cast<unsigned char>(word >> 8);
    if (bigEndian) {
      bytes.push_back(high);
      bytes.push_back(low);
    } else {
      bytes.push_back(low);
      bytes.push_back(high);
    }
  }
  return bytes;
}

Bytes EncodeFloat32(const std::vector<float>& units, bool bigEndian) {
  Bytes bytes;
  bytes.reserve(units.size() * 4);
  for (float unit : units) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &unit, 4);
    for (int k = 0; k < 4; ++k) {
      const int shift = bigEndian ? 24 - 8 * k : 8 * k;
      bytes.push_back(static_cast<unsigned char>((bits >> shift) & 0xFF));
    }
  }
  return bytes;
}

std::int16_t ExpectedWord(double value) {
  if (std::isnan(value) || value > 1.0) return 32767;
  if (value < -1.0) return -32767;
  const double scaled = value * 32767.0 + 0.5;
  // Within 1/256 of a whole number the value is that number.
  if (std::fabs(scaled - std::round(scaled)) <= 1.0 / 256.0)
    return static_cast<std::int16_t>(std::round(scaled));
  return static_cast<std::int16_t>(std::floor(scaled));
}

const std::string* ParsedWaveform::Find(const std::string& name) const {
  for (const auto& tag : tags)
    if (tag.first == name) return &tag.second;
  return nullptr;
}

std::vector<std::string> ParsedWaveform::TagNames() const {
  std::vector<std::string> names;
  for (const auto& tag : tags) names.push_back(tag.first);
  return names;
}

bool ParseWaveform(const Bytes& bytes, ParsedWaveform* parsed, std::string* error) {
  *parsed = ParsedWaveform();
  std::size_t pos = 0;
  auto fail = [&](const std::string& why) {
    *error = why + " at byte " + std::to_string(pos);
    return false;
  };
  while (true) {
    if (pos >= bytes.size()) return fail("no data tag");
    if (bytes[pos] != '{') return fail("expected '{'");
    const std::size_t colon =
        std::find(bytes.begin() + static_cast<long>(pos), bytes.end(), ':') - bytes.begin();
    if (colon >= bytes.size()) return fail("tag without ':'");
    std::string name(bytes.begin() + static_cast<long>(pos) + 1,
                     bytes.begin() + static_cast<long>(colon));
    if (name.rfind("WAVEFORM-", 0) == 0) {
      parsed->dataTagName = name;
      const long count = std::strtol(name.c_str() + 9, nullptr, 10);
      const std::string prefix = " #";
      if (colon + 1 + prefix.size() > bytes.size() ||
          std::string(bytes.begin() + static_cast<long>(colon) + 1,
                      bytes.begin() + static_cast<long>(colon + 1 + prefix.size())) != prefix)
        return fail("data tag does not start with ' #'");
      if (count < 1 || (count - 1) % 4 != 0) return fail("bad data tag count");
      const std::size_t data = colon + 1 + prefix.size();
      const std::size_t dataBytes = static_cast<std::size_t>(count - 1);
      if (data + dataBytes + 1 > bytes.size()) return fail("data tag shorter than its count");
      for (std::size_t k = 0; k < dataBytes; k += 2)
        parsed->words.push_back(
            static_cast<std::int16_t>(bytes[data + k] | (bytes[data + k + 1] << 8)));
      pos = data + dataBytes;
      if (bytes[pos] != '}') return fail("data tag not closed by '}'");
      parsed->trailingBytes = bytes.size() - pos - 1;
      return true;
    }
    const std::size_t close =
        std::find(bytes.begin() + static_cast<long>(colon), bytes.end(), '}') - bytes.begin();
    if (close >= bytes.size()) return fail("tag without '}'");
    parsed->tags.emplace_back(name, std::string(bytes.begin() + static_cast<long>(colon) + 1,
                                                bytes.begin() + static_cast<long>(close)));
    pos = close + 1;
  }
}

}  // namespace testing_support
