// The ASCII importer on arbitrary text, one-file and two-file formats, tag
// lines included. Input layout: byte 0 picks the format, bytes 1 and 2 give
// the length of the first file (two-file formats), the rest is the text.
// Whatever it imports must be in the temporary file, scaled to full scale.

#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/TempFiles.h"
#include "common/InputFormat.h"
#include "common/WaveInfo.h"
#include "import/ImportRawIQ.h"
#include "platform/Platform.h"

namespace {

constexpr InputFormat kFormats[] = {kFormatTxt, kFormatTxtHex, kFormatTxt2ui14, kFormatTxt2ui16};
// Rounding of the single-precision arithmetic on the way.
constexpr double kFullScaleTolerance = 1e-5;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_support::InitOnce();
  if (size < 3) return 0;
  const InputFormat format = kFormats[data[0] % 4];
  const bool twoFiles = IsTwoFileFormat(format);
  const std::size_t rest = size - 3;
  const std::size_t firstLength = twoFiles ? (data[1] | (data[2] << 8)) % (rest + 1) : rest;
  const std::string first = fuzz_support::ScratchFile("i.txt");
  const std::string second = fuzz_support::ScratchFile("q.txt");
  fuzz_support::WriteScratchFile(first, data + 3, firstLength);
  if (twoFiles) fuzz_support::WriteScratchFile(second, data + 3 + firstLength, rest - firstLength);

  std::FILE* temp = platform::OpenFile(fuzz_support::ScratchFile("temp.dat"), "w+b");
  if (temp == nullptr) fuzz_support::Fail("temporary file");
  WaveInfo info;
  info.clock = 1e6;
  info.markerClock = 1e6;
  const int ok = ImportRawIQ(first, twoFiles ? second : "", info, format, temp);
  fuzz_support::CheckSlotsFree();
  if (ok) {
    std::string payload;
    FUZZ_CHECK(fuzz_support::ReadEncryptedPayload(temp, &payload), "");
    FUZZ_CHECK(info.samples >= 0, "");
    // The second file may hold fewer values than the first: the surplus
    // stays behind the counted pairs.
    const std::size_t counted = kTempWaveHeaderSize + 8 * static_cast<std::size_t>(info.samples);
    FUZZ_CHECK(twoFiles ? payload.size() >= counted : payload.size() == counted,
               std::to_string(payload.size()) + " bytes for " + std::to_string(info.samples));
    FUZZ_CHECK(info.clock >= 400.0 && info.clock <= 600000000.0, std::to_string(info.clock));
    FUZZ_CHECK(info.comment.size() <= 511 && info.copyright.size() <= 511, "");
    FUZZ_CHECK(info.levelsValid == 1 && info.peakOffset >= -kFullScaleTolerance,
               std::to_string(info.peakOffset));
    fuzz_support::CheckPairsInsideFullScale(payload, info.samples);
  }
  platform::CloseFile(temp);
  return 0;
}

namespace {

std::string Seed(int formatIndex, const std::string& first, const std::string& second = "") {
  std::string seed;
  seed.push_back(static_cast<char>(formatIndex));
  seed.push_back(static_cast<char>(first.size() & 0xFF));
  seed.push_back(static_cast<char>(first.size() >> 8));
  return seed + first + second;
}

}  // namespace

std::vector<std::string> FuzzSeeds() {
  return {
      Seed(0,
           "!COMMENT= float pairs\n!CLOCKRATE=1e6\n# I Q\n0.5 -0.25\n0.1,0.2\n1.5;-2\n"
           "-0.3:0.4\n3e-1\t-4e-1\n\n% end\n"),
      Seed(1, "!COPYRIGHT= hex\nFFFF 7FFF\n8000,0001\n0x10 -0x20\n/ done\r\n"),
      Seed(2, "!CLOCKRATE=2000000\n0 16383 8192\n100, 200\n", "16383 0\n8192\n1\n"),
      Seed(3, "65535 0\n32768 1 2\n", "# Q\n0 65535 40000 3\n"),
      Seed(0, "!Comment= x\n!CLOCKRATE=399\n1 2\n"),
  };
}
