// SigMF archives (.sigmf, a tar file): a recording is read straight from
// the archive, in ustar and pax form, and the bounded header checks refuse
// names that leave the tree, sizes past the end, wrong checksums and
// archives of several recordings.
#include "import/FormatDetect.h"
#include "import/FormatFileBuilders.h"
#include "import/RawImportFixture.h"
#include "import/SampleUnits.h"

namespace {

using format_files::Archive;
using format_files::Bytes;
using format_files::MakeSigmfMeta;
using format_files::PaxPath;
using format_files::TarMember;
using format_files::Text;
using raw_import_test::ModelImport;
using raw_import_test::RawImportTest;

const std::string kMeta =
    MakeSigmfMeta("\"core:datatype\": \"ri16_be\", \"core:sample_rate\": 1e6");

TEST_F(RawImportTest, SigmfArchiveRecordingIsReadFromTheArchive) {
  const sample_units::Units units = sample_units::Integers(
      sample_units::kSigned16, 2, true, [](std::int64_t s) { return (s - 0.5) / 32767.0; });
  const std::string longName(130, 'n');
  struct Case {
    const char* what;
    Bytes archive;
  };
  const Case cases[] = {
      {"ustar, data after metadata",
       Archive({TarMember("rec/", '5', {}), TarMember("rec/rec.sigmf-meta", '0', Text(kMeta)),
                TarMember("rec/rec.sigmf-data", '0', units.bytes)})},
      {"ustar prefix field, data first",
       Archive({TarMember("rec.sigmf-data", '0', units.bytes, "deep/rec"),
                TarMember("rec.sigmf-meta", '0', Text(kMeta), "deep/rec")})},
      {"pax paths longer than the name field",
       Archive({PaxPath(longName + "/" + longName + ".sigmf-meta"),
                TarMember("x1", '0', Text(kMeta)),
                PaxPath(longName + "/" + longName + ".sigmf-data"),
                TarMember("x2", '0', units.bytes)})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    info_.clock = 0.0;
    ASSERT_EQ(Import(kFormatSigmf, WriteInput("rec.sigmf", c.archive)), 1) << AllLines();
    ExpectSameFloats(StoredFloats(), ModelImport(sample_units::WithZeroQ(units.values)).stored);
    EXPECT_EQ(info_.clock, 1e6);
    ExpectSlotsFree();
  }
  EXPECT_EQ(FormatFromFileName("a/REC.SIGMF"), kFormatSigmf);

  // Of an archive of two recordings, the one the input names is read.
  const Bytes other(8, 0x11);
  const std::string two =
      WriteInput("two.sigmf", Archive({TarMember("a/a.sigmf-meta", '0', Text(kMeta)),
                                       TarMember("a/a.sigmf-data", '0', other),
                                       TarMember("b/b.sigmf-meta", '0', Text(kMeta)),
                                       TarMember("b/b.sigmf-data", '0', units.bytes)}));
  for (const char* wanted : {"b/b", "c/c"}) {
    Fresh();
    InputFile input;
    ASSERT_EQ(OpenInputFile(two, &input), 1);
    input.archiveMember = wanted;
    const int ok = ImportRawIQ(two, "", info_, kFormatSigmf, temp_, &input);
    if (std::string(wanted) == "b/b") {
      ASSERT_EQ(ok, 1) << AllLines();
      ExpectSameFloats(StoredFloats(), ModelImport(sample_units::WithZeroQ(units.values)).stored);
    } else {
      EXPECT_EQ(ok, 0);
      EXPECT_TRUE(Logged("*** Error: SigMF archive has no recording 'c/c'.")) << AllLines();
    }
    ExpectSlotsFree();
  }
}

TEST_F(RawImportTest, SigmfArchiveHeadersAreCheckedBeforeUse) {
  const Bytes data(16, 1);
  const Bytes meta = Text(kMeta);
  Bytes badSum = TarMember("r/r.sigmf-meta", '0', meta);
  badSum[0] ^= 1;
  Bytes notTar(1024, 'a');
  struct Case {
    Bytes archive;
    std::string message;
  };
  const Case cases[] = {
      {Archive(
           {TarMember("../r/r.sigmf-meta", '0', meta), TarMember("../r/r.sigmf-data", '0', data)}),
       "*** Error: SigMF archive member '../r/r.sigmf-meta' is an absolute path or climbs with "
       "'..'; the archive is refused."},
      {Archive({TarMember("/etc/r.sigmf-data", '0', data)}), "'/etc/r.sigmf-data' is an absolute"},
      {Archive({PaxPath("a/../../b.sigmf-data"), TarMember("ok", '0', data)}), "climbs with '..'"},
      {Archive({TarMember("r/r.sigmf-data", '0', data, "", 1 << 20)}),
       "*** Error: SigMF archive member at byte 0 claims 1048576 bytes; the archive ends after"},
      {Archive({badSum}), "*** Error: SigMF archive header at byte 0 has a wrong checksum."},
      {notTar, "*** Error: SigMF archive has no ustar header at byte 0."},
      {Bytes(100, 0), "*** Error: SigMF archive ends inside a tar header."},
      {Archive({TarMember("r/r.sigmf-data", '0', data)}),
       "*** Error: SigMF archive holds no .sigmf-meta member."},
      {Archive({TarMember("r/r.sigmf-meta", '0', meta)}),
       "*** Error: SigMF archive has no member 'r/r.sigmf-data'."},
      {Archive({TarMember("a/a.sigmf-meta", '0', meta), TarMember("a/a.sigmf-data", '0', data),
                TarMember("b/b.sigmf-meta", '0', meta), TarMember("b/b.sigmf-data", '0', data)}),
       "*** Error: SigMF archive holds 2 recordings; only archives of one recording are read."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Fresh();
    EXPECT_EQ(Import(kFormatSigmf, WriteInput("bad.sigmf", c.archive)), 0);
    EXPECT_TRUE(LoggedContaining(c.message)) << AllLines();
    ExpectSlotsFree();
  }
}

}  // namespace
