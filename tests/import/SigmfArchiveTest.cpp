// SigMF archives (.sigmf, a tar file): a recording is read straight from
// the archive, in ustar and pax form, and the bounded header checks refuse
// names that leave the tree, sizes past the end, wrong checksums and
// archives of several recordings.
#include <cstdio>

#include "import/FormatDetect.h"
#include "import/FormatFileBuilders.h"
#include "import/RawImportFixture.h"
#include "import/SampleUnits.h"

namespace {

using format_files::Bytes;
using format_files::MakeSigmfMeta;
using format_files::PutText;
using raw_import_test::ModelImport;
using raw_import_test::RawImportTest;

// One tar member: a 512-byte ustar header with its checksum, the content
// padded to 512 bytes.
Bytes TarMember(const std::string& name, char type, const Bytes& content,
                const std::string& prefix = "", long long sizeField = -1) {
  Bytes header(512, 0);
  std::copy(name.begin(), name.end(), header.begin());
  char number[16];
  std::snprintf(number, sizeof number, "%011llo",
                sizeField >= 0 ? sizeField : static_cast<long long>(content.size()));
  std::copy(number, number + 11, header.begin() + 124);
  header[156] = static_cast<unsigned char>(type);
  const std::string magic(
      "ustar\0"
      "00",
      8);
  std::copy(magic.begin(), magic.end(), header.begin() + 257);
  std::copy(prefix.begin(), prefix.end(), header.begin() + 345);
  std::fill(header.begin() + 148, header.begin() + 156, ' ');
  unsigned sum = 0;
  for (unsigned char c : header) sum += c;
  std::snprintf(number, sizeof number, "%06o", sum);
  std::copy(number, number + 7, header.begin() + 148);
  Bytes member = header;
  member.insert(member.end(), content.begin(), content.end());
  member.resize(member.size() + (512 - content.size() % 512) % 512, 0);
  return member;
}

// A pax header setting the path of the next member.
Bytes PaxPath(const std::string& path) {
  std::string record = " path=" + path + "\n";
  std::string length = std::to_string(record.size() + 2);
  if (length.size() + record.size() != std::stoul(length))
    length = std::to_string(record.size() + 3);
  const std::string text = length + record;
  return TarMember("PaxHeaders/x", 'x', Bytes(text.begin(), text.end()));
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Archive(const std::vector<Bytes>& members) {
  Bytes archive;
  for (const Bytes& m : members) archive.insert(archive.end(), m.begin(), m.end());
  archive.resize(archive.size() + 1024, 0);
  return archive;
}

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
