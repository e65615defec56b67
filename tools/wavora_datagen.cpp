// Synthetic input data for the bundled example and the benchmarks: tones and
// noise as raw binary, ASCII columns, waveform files with marker lists, and
// whole directory trees of small files.
//
//   wavora_datagen i16le <file> <MiB>
//   wavora_datagen f32le <file> <MiB>
//   wavora_datagen txt   <file> <MiB>
//   wavora_datagen kvg   <file> <MiB>       (KVG waveform file with four marker lists)
//   wavora_datagen cu8   <file> <MiB>       (unsigned 8-bit I/Q, zero at 127.5)
//   wavora_datagen wav   <file> <MiB>       (16-bit stereo WAV, I left, Q right, 100 MHz)
//   wavora_datagen tree  <dir> <files> <bytes per file>
//   wavora_datagen example <file>            (the bundled 1 MHz tone at 100 MHz, i16le)
//   wavora_datagen twotone <file>            (bundled: 0.4 at +1 MHz, 0.3 at -2.5 MHz, 10 MHz,
//   i16le) wavora_datagen qpsk <file>               (bundled: QPSK, 8 samples per symbol, i16le)
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::size_t kChunkPairs = 1 << 16;

// A tone of a few cycles per chunk with a little deterministic noise, so the
// data is neither constant nor compressible into a trivial pattern.
struct SignalSource {
  std::uint32_t noise = 12345;
  std::uint64_t n = 0;
  double amplitude = 0.7;
  double cyclesPerSample = 0.01;

  void Next(double* i, double* q) {
    noise = noise * 1664525u + 1013904223u;
    const double jitter = ((noise >> 16) / 65536.0 - 0.5) * 0.01;
    const double phase = 2.0 * kPi * cyclesPerSample * static_cast<double>(n++);
    *i = amplitude * std::cos(phase) + jitter;
    *q = amplitude * std::sin(phase) - jitter;
  }
};

struct OutFile {
  std::FILE* file = nullptr;
  explicit OutFile(const std::string& path) : file(std::fopen(path.c_str(), "wb")) {
    if (file == nullptr) {
      std::fprintf(stderr, "cannot create %s: %s\n", path.c_str(), std::strerror(errno));
      std::exit(1);
    }
  }
  ~OutFile() {
    if (file != nullptr && std::fclose(file) != 0) {
      std::fprintf(stderr, "write error\n");
      std::exit(1);
    }
  }
  void Write(const void* data, std::size_t size) {
    if (std::fwrite(data, 1, size, file) != size) {
      std::fprintf(stderr, "write error\n");
      std::exit(1);
    }
  }
  void Write(const std::string& text) { Write(text.data(), text.size()); }
};

void PutLe16(std::vector<unsigned char>& out, std::int16_t value) {
  const auto word = static_cast<std::uint16_t>(value);
  out.push_back(static_cast<unsigned char>(word & 0xFF));
  out.push_back(static_cast<unsigned char>(word >> 8));
}

std::int16_t ToInt16(double v) { return static_cast<std::int16_t>(std::lround(v * 32767.0)); }

void WriteInt16Pairs(OutFile& out, std::uint64_t pairs, SignalSource& source) {
  std::vector<unsigned char> chunk;
  while (pairs > 0) {
    const std::uint64_t count = pairs < kChunkPairs ? pairs : kChunkPairs;
    chunk.clear();
    for (std::uint64_t k = 0; k < count; ++k) {
      double i = 0, q = 0;
      source.Next(&i, &q);
      PutLe16(chunk, ToInt16(i));
      PutLe16(chunk, ToInt16(q));
    }
    out.Write(chunk.data(), chunk.size());
    pairs -= count;
  }
}

void WriteFloat32Pairs(OutFile& out, std::uint64_t pairs, SignalSource& source) {
  std::vector<float> chunk;
  while (pairs > 0) {
    const std::uint64_t count = pairs < kChunkPairs ? pairs : kChunkPairs;
    chunk.clear();
    for (std::uint64_t k = 0; k < count; ++k) {
      double i = 0, q = 0;
      source.Next(&i, &q);
      chunk.push_back(static_cast<float>(i));
      chunk.push_back(static_cast<float>(q));
    }
    out.Write(chunk.data(), chunk.size() * sizeof(float));  // little-endian machines only
    pairs -= count;
  }
}

void WriteText(OutFile& out, std::uint64_t bytes, SignalSource& source) {
  std::string chunk;
  std::uint64_t written = 0;
  char line[64];
  while (written < bytes) {
    chunk.clear();
    while (chunk.size() < (1u << 20) && written + chunk.size() < bytes) {
      double i = 0, q = 0;
      source.Next(&i, &q);
      const int length = std::snprintf(line, sizeof line, "%.6e %.6e\n", i, q);
      chunk.append(line, static_cast<std::size_t>(length));
    }
    out.Write(chunk);
    written += chunk.size();
  }
}

void WriteKvg(OutFile& out, std::uint64_t pairs, SignalSource& source) {
  out.Write("{TYPE: KVG-WV,0}{COMMENT:benchmark}{CLOCK:100000000}");
  out.Write("{SAMPLES:" + std::to_string(pairs) + "}{CONTROL LENGTH:" + std::to_string(pairs) +
            "}");
  for (int m = 1; m <= 4; ++m) {
    std::string list = "{MARKER LIST " + std::to_string(m) + ": ";
    const std::uint64_t step = pairs / (4 + 2 * static_cast<std::uint64_t>(m));
    int state = m % 2;
    for (std::uint64_t p = 0; p < pairs; p += step ? step : 1) {
      if (p != 0) list += ";";
      list += std::to_string(p) + ":" + std::to_string(state);
      state ^= 1;
    }
    out.Write(list + "}");
  }
  out.Write("{WAVEFORM-" + std::to_string(4 * pairs + 1) + ": #");
  WriteInt16Pairs(out, pairs, source);
  out.Write("}");
}

void WriteUInt8Pairs(OutFile& out, std::uint64_t pairs, SignalSource& source) {
  std::vector<unsigned char> chunk;
  auto toByte = [](double v) {
    const long u = std::lround(v * 128.0 + 127.5);
    return static_cast<unsigned char>(u < 0 ? 0 : u > 255 ? 255 : u);
  };
  while (pairs > 0) {
    const std::uint64_t count = pairs < kChunkPairs ? pairs : kChunkPairs;
    chunk.clear();
    for (std::uint64_t k = 0; k < count; ++k) {
      double i = 0, q = 0;
      source.Next(&i, &q);
      chunk.push_back(toByte(i));
      chunk.push_back(toByte(q));
    }
    out.Write(chunk.data(), chunk.size());
    pairs -= count;
  }
}

// A canonical 44-byte RIFF/WAVE header (PCM, 2 channels of 16 bits) before
// the pairs of WriteInt16Pairs.
void WriteWav(OutFile& out, std::uint64_t pairs, SignalSource& source) {
  constexpr std::uint32_t kRate = 100000000;
  const auto dataBytes = static_cast<std::uint32_t>(pairs * 4);
  std::vector<unsigned char> header;
  auto put = [&header](std::uint32_t value, int bytes) {
    for (int k = 0; k < bytes; ++k) header.push_back(static_cast<unsigned char>(value >> (8 * k)));
  };
  auto text = [&header](const char* id) { header.insert(header.end(), id, id + 4); };
  text("RIFF");
  put(36 + dataBytes, 4);
  text("WAVE");
  text("fmt ");
  put(16, 4);
  put(1, 2);  // PCM
  put(2, 2);  // channels
  put(kRate, 4);
  put(kRate * 4, 4);
  put(4, 2);
  put(16, 2);
  text("data");
  put(dataBytes, 4);
  out.Write(header.data(), header.size());
  WriteInt16Pairs(out, pairs, source);
}

void MakeDir(const std::string& path) {
  // An existing directory is no error; std::filesystem keeps this portable.
  std::error_code error;
  std::filesystem::create_directory(path, error);
  if (error) {
    std::fprintf(stderr, "cannot create %s: %s\n", path.c_str(), error.message().c_str());
    std::exit(1);
  }
}

// 40,000 pairs of two tones at a 10 MHz clock: 0.4 at +1 MHz and 0.3 at
// -2.5 MHz, so that the constellation holds two circles about each other.
void WriteTwoTone(OutFile& out) {
  std::vector<unsigned char> chunk;
  for (int n = 0; n < 40000; ++n) {
    const double a = 2.0 * kPi * 0.1 * n, b = -2.0 * kPi * 0.25 * n;
    PutLe16(chunk, ToInt16(0.4 * std::cos(a) + 0.3 * std::cos(b)));
    PutLe16(chunk, ToInt16(0.4 * std::sin(a) + 0.3 * std::sin(b)));
  }
  out.Write(chunk.data(), chunk.size());
}

// 4,096 QPSK symbols of a fixed pseudo-random sequence at 8 samples per
// symbol, shaped by a raised-cosine pulse (roll-off 0.35, 8 symbols each
// side), the symbol points at +-0.4 full scale, the peak of the envelope below
// full scale.
void WriteQpsk(OutFile& out) {
  constexpr int kSymbols = 4096, kSps = 8, kSpan = 8;
  constexpr double kRollOff = 0.35;
  std::vector<double> pulse;
  for (int k = -kSpan * kSps; k <= kSpan * kSps; ++k) {
    const double t = static_cast<double>(k) / kSps;
    const double edge = 1.0 - (2.0 * kRollOff * t) * (2.0 * kRollOff * t);
    const double sinc = k == 0 ? 1.0 : std::sin(kPi * t) / (kPi * t);
    // At the two singular points the pulse takes its limit value.
    pulse.push_back(std::fabs(edge) < 1e-9
                        ? kPi / 4.0 * std::sin(kPi / (2.0 * kRollOff)) / (kPi / (2.0 * kRollOff))
                        : sinc * std::cos(kPi * kRollOff * t) / edge);
  }
  std::uint32_t state = 2463534242u;
  std::vector<double> symbolsI, symbolsQ;
  for (int s = 0; s < kSymbols; ++s) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    symbolsI.push_back((state & 1) ? 0.4 : -0.4);
    symbolsQ.push_back((state & 2) ? 0.4 : -0.4);
  }
  std::vector<unsigned char> chunk;
  const int taps = static_cast<int>(pulse.size());
  for (int n = 0; n < kSymbols * kSps; ++n) {
    double i = 0.0, q = 0.0;
    // The waveform repeats: symbols wrap around, so that it plays without a seam.
    for (int k = 0; k < taps; ++k) {
      const int m = n - (k - kSpan * kSps);
      if (m % kSps != 0) continue;
      const int s = ((m / kSps) % kSymbols + kSymbols) % kSymbols;
      i += symbolsI[static_cast<std::size_t>(s)] * pulse[static_cast<std::size_t>(k)];
      q += symbolsQ[static_cast<std::size_t>(s)] * pulse[static_cast<std::size_t>(k)];
    }
    PutLe16(chunk, ToInt16(i));
    PutLe16(chunk, ToInt16(q));
  }
  out.Write(chunk.data(), chunk.size());
}

int Usage() {
  std::fprintf(stderr,
               "usage: wavora_datagen i16le|f32le|txt|kvg|cu8|wav <file> <MiB>\n"
               "       wavora_datagen tree <dir> <files> <bytes per file>\n"
               "       wavora_datagen example|twotone|qpsk <file>\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string kind = argv[1];
  const std::string path = argv[2];
  SignalSource source;

  if (kind == "example") {
    // 32,000 pairs of a 1 MHz tone at a 100 MHz clock, at half of full scale.
    source.amplitude = 0.5;
    OutFile out(path);
    WriteInt16Pairs(out, 32000, source);
    return 0;
  }
  if (kind == "twotone" || kind == "qpsk") {
    OutFile out(path);
    if (kind == "twotone")
      WriteTwoTone(out);
    else
      WriteQpsk(out);
    return 0;
  }
  if (kind == "tree") {
    if (argc < 5) return Usage();
    const long files = std::atol(argv[3]);
    const long bytes = std::atol(argv[4]);
    constexpr long kFilesPerFolder = 100;
    MakeDir(path);
    for (long f = 0; f < files; ++f) {
      const std::string folder = path + "/set" + std::to_string(f / kFilesPerFolder);
      MakeDir(folder);
      OutFile out(folder + "/capture" + std::to_string(f) + ".bin");
      WriteInt16Pairs(out, static_cast<std::uint64_t>(bytes / 4), source);
    }
    return 0;
  }
  if (argc < 4) return Usage();
  const std::uint64_t bytes = static_cast<std::uint64_t>(std::atof(argv[3]) * 1024.0 * 1024.0);
  OutFile out(path);
  if (kind == "i16le")
    WriteInt16Pairs(out, bytes / 4, source);
  else if (kind == "f32le")
    WriteFloat32Pairs(out, bytes / 8, source);
  else if (kind == "txt")
    WriteText(out, bytes, source);
  else if (kind == "kvg")
    WriteKvg(out, bytes / 4, source);
  else if (kind == "cu8")
    WriteUInt8Pairs(out, bytes / 2, source);
  else if (kind == "wav")
    WriteWav(out, (bytes - 44) / 4, source);
  else
    return Usage();
  return 0;
}
