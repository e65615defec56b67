// The one way in: the input is opened once as a regular file, a file named by
// SigMF metadata gets the same checks, the engine reads one real channel as
// I with Q = 0, and float data whose type a container declares is scaled
// down instead of refused.
#include <filesystem>

#include "Shared/FileIO/TempFiles.h"
#include "import/FormatFileBuilders.h"
#include "import/RawImportFixture.h"
#include "import/SampleImport.h"

namespace {

namespace fs = std::filesystem;
using format_files::MakeSigmfMeta;
using format_files::MakeWav;
using format_files::WavSpec;
using raw_import_test::CapturedLines;
using raw_import_test::RawImportTest;
using testing_support::Bytes;
using testing_support::EncodeFloat32;
using testing_support::EncodeInt16;

TEST_F(RawImportTest, DirectoryInputIsRefusedAfterTheLinesThatNameIt) {
  fs::create_directory(dir_.File("folder"));
  EXPECT_EQ(Import(kFormatI16le, dir_.File("folder")), 0);
  ASSERT_EQ(CapturedLines().size(), 3u) << AllLines();
  EXPECT_EQ(CapturedLines()[0], "Importing from file '" + dir_.File("folder") + "'");
  EXPECT_EQ(CapturedLines()[1], "Format is Binary, Int16, LE, IQIQ...");
  EXPECT_EQ(CapturedLines()[2], "*** Error: Input file '" + dir_.File("folder") +
                                    "' is a directory; only regular files are read.");
  ExpectSlotsFree();

  // A missing input: the same two lines come first, then the open failure.
  Fresh();
  EXPECT_EQ(Import(kFormatCu8, dir_.File("missing.cu8")), 0);
  ASSERT_GE(CapturedLines().size(), 4u) << AllLines();
  EXPECT_EQ(CapturedLines()[0], "Importing from file '" + dir_.File("missing.cu8") + "'");
  EXPECT_EQ(CapturedLines()[2], "*** Error opening input file.");
  EXPECT_NE(CapturedLines()[3].find("    " + dir_.File("missing.cu8") + ": "), std::string::npos);
}

TEST_F(RawImportTest, SigmfDataFileGetsTheChecksOfEveryInput) {
  const Bytes samples = {10, 20, 30, 40};
  // The metadata named as its own dataset.
  testing_support::WriteFileText(
      dir_.File("self.sigmf-meta"),
      MakeSigmfMeta("\"core:datatype\": \"cu8\", \"core:sample_rate\": 1e6, "
                    "\"core:dataset\": \"self.sigmf-meta\""));
  EXPECT_EQ(Import(kFormatSigmf, dir_.File("self.sigmf-meta")), 0);
  EXPECT_EQ(CapturedLines().back(), "*** Error: The SigMF data file '" +
                                        dir_.File("self.sigmf-meta") +
                                        "' is the metadata file itself.")
      << AllLines();
  ExpectSlotsFree();

  // A dataset that is a directory.
  Fresh();
  fs::create_directory(dir_.File("d.bin"));
  testing_support::WriteFileText(
      dir_.File("dir.sigmf-meta"),
      MakeSigmfMeta("\"core:datatype\": \"cu8\", \"core:sample_rate\": 1e6, "
                    "\"core:dataset\": \"d.bin\""));
  EXPECT_EQ(Import(kFormatSigmf, dir_.File("dir.sigmf-meta")), 0);
  EXPECT_EQ(CapturedLines().back(), "*** Error: Input file '" + dir_.File("d.bin") +
                                        "' is a directory; only regular files are read.");

  // A regular dataset of another name is read, whole.
  Fresh();
  WriteInput("other.bin", samples);
  testing_support::WriteFileText(
      dir_.File("ok.sigmf-meta"),
      MakeSigmfMeta("\"core:datatype\": \"cu8\", \"core:sample_rate\": 1e6, "
                    "\"core:dataset\": \"other.bin\""));
  ASSERT_EQ(Import(kFormatSigmf, dir_.File("ok.sigmf-meta")), 1) << AllLines();
  EXPECT_EQ(info_.samples, 2);
}

TEST_F(RawImportTest, EngineReadsOneRealChannelAsIWithQZero) {
  const std::vector<std::int16_t> words = {100, -200, 32767, 0, -32768};
  const std::string path = WriteInput("real.bin", EncodeInt16(words, false));
  ASSERT_EQ(_InitBuf(kSlotImportTemp, temp_, 1, 1, 1), 1);
  SlotGuard tempSlot(kSlotImportTemp);
  ASSERT_EQ(_WriteBytes(kSlotImportTemp, kTempWaveHeaderSize, kTempWaveHeader),
            kTempWaveHeaderSize);
  InputFile file;
  ASSERT_EQ(OpenInputFile(path, &file), 1);
  SampleInput input;
  ASSERT_EQ(AttachSampleInput(file, tempSlot, input), 1);
  SampleData data;
  data.layout.type = SampleType::kInt16;
  data.layout.channels = 1;
  ImportLevels levels;
  ASSERT_EQ(ImportSampleData(data, input, tempSlot, info_, levels), 1) << AllLines();
  ASSERT_TRUE(tempSlot.Release());
  EXPECT_TRUE(Logged("Real samples (one channel): read as I with Q = 0.")) << AllLines();
  EXPECT_EQ(info_.samples, 5);  // one pair per unit; no unit waits for a Q
  std::vector<float> expected;
  for (std::int16_t w : words) {
    expected.push_back(static_cast<float>((w - 0.5) / 32767.0));
    expected.push_back(0.0f);
  }
  ExpectSameFloats(StoredFloats(), expected);
  ExpectSlotsFree();
}

TEST_F(RawImportTest, DeclaredFloatDataBeyondFullScaleIsScaledDown) {
  // Raw counts near 1000, as receivers export them.
  const std::vector<float> iq = {1000.0f, -500.0f, 250.0f, 750.0f};
  WavSpec spec;
  spec.tag = 3;
  spec.bits = 32;
  spec.data = EncodeFloat32(iq, false);
  info_.clock = 0.0;
  ASSERT_EQ(Import(kFormatWav, WriteInput("counts.wav", MakeWav(spec))), 1) << AllLines();
  EXPECT_TRUE(Logged("Max. vector is 1118.0339. Scaling down to 1.0...")) << AllLines();
  ExpectSameFloats(StoredFloats(), raw_import_test::ModelImport(iq).stored);

  // NumPy complex data likewise.
  Fresh();
  const Bytes npy = format_files::MakeNpy(1, "<c8", "(2,)", false, EncodeFloat32(iq, false));
  ASSERT_EQ(Import(kFormatNpy, WriteInput("counts.npy", npy)), 1) << AllLines();

  // Raw float samples of the same values keep the guard against a wrong
  // format, and so does a declared type for values that are not finite.
  Fresh();
  EXPECT_EQ(Import(kFormatF32le, WriteInput("counts.cf32", EncodeFloat32(iq, false))), 0);
  EXPECT_TRUE(Logged("*** Error: Numbers appear to be too large. Check data format and range!"));
  Fresh();
  spec.data = EncodeFloat32({0.5f, std::numeric_limits<float>::infinity()}, false);
  info_.clock = 0.0;
  EXPECT_EQ(Import(kFormatWav, WriteInput("inf.wav", MakeWav(spec))), 0);
  EXPECT_TRUE(Logged("*** Error: Numbers appear to be too large. Check data format and range!"))
      << AllLines();
  ExpectSlotsFree();
}

TEST_F(RawImportTest, WavRateOutsideTheClockRangeIsRefused) {
  for (std::uint32_t rate : {1u, 999u, 1000u}) {
    SCOPED_TRACE(rate);
    Fresh();
    WavSpec spec;
    spec.rate = rate;
    spec.data = EncodeInt16({1, 2, 3, 4}, false);
    info_.clock = 0.0;
    EXPECT_EQ(Import(kFormatWav, WriteInput("slow.wav", MakeWav(spec))), 0);
    EXPECT_EQ(CapturedLines().back(),
              "    The clock must be more than 1 kHz (0.001 MHz) and at most 600 MHz.")
        << AllLines();
  }
  Fresh();
  WavSpec spec;
  spec.rate = 1001;
  spec.data = EncodeInt16({1, 2, 3, 4}, false);
  info_.clock = 0.0;
  ASSERT_EQ(Import(kFormatWav, WriteInput("ok.wav", MakeWav(spec))), 1) << AllLines();
  EXPECT_EQ(info_.clock, 1001.0);
}

}  // namespace
