// Inputs that change while the importers read them: a file cut short or
// grown after its size was taken fails the import with a line naming it,
// never ends in a shorter or longer waveform. The progress hook, called while
// the reader works through the file, changes the file at a known point.
#include <filesystem>
#include <fstream>
#include <functional>

#include "import/RawImportFixture.h"

namespace {

namespace fs = std::filesystem;
using raw_import_test::CapturedLines;
using raw_import_test::RawImportTest;
using testing_support::Bytes;

constexpr std::uintmax_t kMiB = 1024 * 1024;

// Runs the change once, at the first progress value of at least 1 percent.
std::function<void()> gChange;
void ChangeOnProgress(int percent) {
  if (percent >= 1 && gChange) {
    gChange();
    gChange = nullptr;
  }
}

// Runs the change once, when the progress drops: at the start of a second pass.
int gLastPercent = -1;
void ChangeInSecondPass(int percent) {
  if (percent < gLastPercent && gChange) {
    gChange();
    gChange = nullptr;
  }
  gLastPercent = percent;
}

void AppendBytes(const std::string& path, std::size_t count, char byte) {
  std::ofstream file(path, std::ios::binary | std::ios::app);
  const std::string bytes(count, byte);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class ChangedInputTest : public RawImportTest {
 protected:
  void TearDown() override {
    gChange = nullptr;
    RawImportTest::TearDown();
  }

  // Imports with the change armed; expects the failure naming the file.
  void ExpectChangedFailure(InputFormat format, const std::string& input, const std::string& second,
                            const std::string& changed, std::function<void()> change) {
    gChange = std::move(change);
    SetProgressCallback(&ChangeOnProgress);
    EXPECT_EQ(Import(format, input, second), 0);
    EXPECT_EQ(gChange, nullptr) << "the change never ran";
    ASSERT_GE(CapturedLines().size(), 2u);
    EXPECT_EQ(CapturedLines()[CapturedLines().size() - 2],
              "*** Error: Input file " + changed + " changed while it was read.")
        << AllLines();
    EXPECT_EQ(CapturedLines().back().rfind("    (", 0), 0u) << AllLines();
    ExpectSlotsFree();
  }
};

// Binary input: more than one 16 MiB chunk of the stream layer, so that the
// file is changed between two reads of it.
TEST_F(ChangedInputTest, BinaryFileCutShortOrGrownFails) {
  const Bytes words(18 * kMiB, 0x01);
  const std::string input = WriteInput("cut.bin", words);
  ExpectChangedFailure(kFormatI16le, input, "", input, [&] { fs::resize_file(input, 17 * kMiB); });

  Fresh();
  const std::string grown = WriteInput("grown.bin", words);
  ExpectChangedFailure(kFormatF32le, grown, "", grown, [&] { AppendBytes(grown, kMiB, 0x01); });

  // Unchanged, the same file imports whole.
  Fresh();
  ASSERT_EQ(Import(kFormatI16le, WriteInput("whole.bin", words)), 1) << AllLines();
  EXPECT_EQ(info_.samples, static_cast<std::int32_t>(18 * kMiB / 4));
}

// The byte and double formats compare the bytes read with the size at
// opening just as the 16-bit and float formats do.
TEST_F(ChangedInputTest, ByteAndDoubleFilesCutShortOrGrownFail) {
  const Bytes bytes(18 * kMiB, 0x40);
  const std::string cut = WriteInput("cut.cu8", bytes);
  ExpectChangedFailure(kFormatCu8, cut, "", cut, [&] { fs::resize_file(cut, 17 * kMiB); });
  Fresh();
  const std::string grown = WriteInput("grown.cs8", bytes);
  ExpectChangedFailure(kFormatCs8, grown, "", grown, [&] { AppendBytes(grown, kMiB, 0x01); });
  Fresh();
  const std::string doubles = WriteInput("cut.f64", bytes);
  ExpectChangedFailure(kFormatF64be, doubles, "", doubles,
                       [&] { fs::resize_file(doubles, 17 * kMiB); });
}

// The Q file of a two-file format is read only as far as the I file reaches:
// one too short for it when opened fails even when it grows meanwhile.
TEST_F(ChangedInputTest, SecondFileGrownBeyondItsSizeFails) {
#ifdef _WIN32
  // The reader holds the file without write sharing: another handle cannot
  // append to it while it is read, so there is no change to detect.
  GTEST_SKIP() << "a file being read cannot be grown by another handle on Windows";
#endif
  const std::string input = WriteInput("s_I.bin", Bytes(40000, 0x10));
  const std::string second = WriteInput("s_Q.bin", Bytes(20000, 0x20));
  ExpectChangedFailure(kFormatI14le2, input, second, second,
                       [&] { AppendBytes(second, 20000, 0x20); });
  // A Q file that only grows beyond what the I file needs changes nothing read.
  Fresh();
  const std::string longQ = WriteInput("l_Q.bin", Bytes(40000, 0x20));
  gChange = [&] { AppendBytes(longQ, 1000, 0x20); };
  SetProgressCallback(&ChangeOnProgress);
  ASSERT_EQ(Import(kFormatI14le2, input, longQ), 1) << AllLines();
  EXPECT_EQ(info_.samples, 20000);
}

// ASCII input is read in chunks of 1 MiB.
TEST_F(ChangedInputTest, TextFileCutShortOrGrownFails) {
  std::string text;
  while (text.size() < 3 * kMiB) text += "0.1 -0.02\n";
  const std::string input = WriteInput("cut.txt", Bytes(text.begin(), text.end()));
  ExpectChangedFailure(kFormatTxt, input, "", input,
                       [&] { fs::resize_file(input, 10 * 209715); });  // whole lines

  Fresh();
  const std::string grown = WriteInput("grown.txt", Bytes(text.begin(), text.end()));
  ExpectChangedFailure(kFormatTxt, grown, "", grown, [&] { AppendBytes(grown, 10 * 1000, '\n'); });

  // Of a two-file format, the Q file is read whole in the second pass, whose
  // progress starts again from 0.
  Fresh();
  std::string values;
  while (values.size() < 3 * kMiB) values += "100 200 300\n";
  const std::string iFile = WriteInput("v_I.txt", Bytes(values.begin(), values.end()));
  const std::string qFile = WriteInput("v_Q.txt", Bytes(values.begin(), values.end()));
  gChange = [&] { fs::resize_file(qFile, 12 * 100000); };  // whole lines
  gLastPercent = -1;
  SetProgressCallback(&ChangeInSecondPass);
  EXPECT_EQ(Import(kFormatTxt2ui16, iFile, qFile), 0);
  EXPECT_EQ(gChange, nullptr) << "the change never ran";
  EXPECT_EQ(CapturedLines()[CapturedLines().size() - 2],
            "*** Error: Input file " + qFile + " changed while it was read.")
      << AllLines();
}

}  // namespace
