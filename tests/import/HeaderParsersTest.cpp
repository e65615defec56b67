// The header parsers of WAV, NumPy, tar (SigMF archive) and SigMF metadata
// on bytes held in memory: every malformed, truncated or oversized layout is
// refused with its own line, a failing read is an I/O error and never the end
// of the header, and the odd but valid layouts are taken.
#include <cstring>
#include <limits>

#include "import/ContainerImport.h"
#include "import/FormatFileBuilders.h"
#include "import/RawImportFixture.h"

namespace {

using format_files::Bytes;
using format_files::PutLE;
using format_files::PutText;
using raw_import_test::CapturedLines;
using raw_import_test::RawImportTest;

// A HeaderReader over bytes; reads fail (-1) from byte failAt on.
struct MemoryReader {
  explicit MemoryReader(Bytes data, std::int64_t failAt = -1)
      : bytes(std::move(data)), failFrom(failAt) {}
  HeaderReader Reader() {
    return [this](void* dest, std::int64_t count) -> std::int64_t {
      if (failFrom >= 0 && position + count > failFrom) return -1;
      const std::int64_t left = static_cast<std::int64_t>(bytes.size()) - position;
      const std::int64_t take = std::max<std::int64_t>(0, std::min(count, left));
      if (dest != nullptr && take > 0)
        std::memcpy(dest, bytes.data() + position, static_cast<std::size_t>(take));
      position += take;
      return take;
    };
  }
  Bytes bytes;
  std::int64_t failFrom;
  std::int64_t position = 0;
};

// ---- WAV ----

Bytes Chunk(const std::string& id, const Bytes& body, std::optional<std::uint32_t> size = {}) {
  Bytes chunk;
  PutText(chunk, id);
  PutLE(chunk, size.value_or(static_cast<std::uint32_t>(body.size())), 4);
  chunk.insert(chunk.end(), body.begin(), body.end());
  return chunk;
}

Bytes Riff(const std::string& container, const std::vector<Bytes>& chunks) {
  Bytes file;
  PutText(file, container);
  PutLE(file, 0xFFFFFFFFu, 4);
  PutText(file, "WAVE");
  for (const Bytes& c : chunks) file.insert(file.end(), c.begin(), c.end());
  return file;
}

// A plain fmt body of PCM 16-bit stereo, cut or padded to `size` bytes.
Bytes FmtBody(std::size_t size = 16, std::uint16_t tag = 1) {
  Bytes body;
  PutLE(body, tag, 2);
  PutLE(body, 2, 2);
  PutLE(body, 1000000, 4);
  PutLE(body, 4000000, 4);
  PutLE(body, 4, 2);
  PutLE(body, 16, 2);
  body.resize(size, 0);
  return body;
}

// An extensible fmt body with the sub-format GUID's number fields given.
Bytes ExtensibleFmt(std::uint32_t data1, std::uint16_t data2, std::uint16_t data3,
                    unsigned char lastByte = 0x71) {
  Bytes body = FmtBody(16, 0xFFFE);
  PutLE(body, 22, 2);
  PutLE(body, 16, 2);
  PutLE(body, 3, 4);
  PutLE(body, data1, 4);
  PutLE(body, data2, 2);
  PutLE(body, data3, 2);
  const unsigned char data4[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, lastByte};
  body.insert(body.end(), data4, data4 + 8);
  return body;
}

Bytes Ds64(std::uint64_t dataSize, std::size_t size = 28) {
  Bytes body;
  PutLE(body, 0, 8);
  PutLE(body, dataSize, 8);
  PutLE(body, 0, 8);
  PutLE(body, 0, 4);
  body.resize(size, 0);
  return body;
}

const Bytes kFourPairs(16, 0x11);

TEST_F(RawImportTest, WavHeaderLayoutsAreRefusedWithTheirOwnLine) {
  struct Case {
    const char* what;
    Bytes file;
    std::string line;
  };
  Bytes unprintable = Chunk("LIST", Bytes(4, 0), 1000);
  unprintable[0] = 0x01;
  const Case cases[] = {
      {"fmt chunk of 14 bytes",
       Riff("RIFF", {Chunk("fmt ", FmtBody(14)), Chunk("data", kFourPairs)}),
       "*** Error: WAV fmt chunk of 14 bytes is too short."},
      {"extensible fmt of 18 bytes",
       Riff("RIFF", {Chunk("fmt ", FmtBody(18, 0xFFFE)), Chunk("data", kFourPairs)}),
       "*** Error: WAV extensible fmt chunk is too short for its sub-format."},
      {"two fmt chunks",
       Riff("RIFF",
            {Chunk("fmt ", FmtBody()), Chunk("fmt ", FmtBody()), Chunk("data", kFourPairs)}),
       "*** Error: WAV file has two fmt chunks."},
      {"ds64 of 20 bytes",
       Riff("RF64", {Chunk("ds64", Ds64(16, 20)), Chunk("fmt ", FmtBody()),
                     Chunk("data", kFourPairs, 0xFFFFFFFFu)}),
       "*** Error: RF64 ds64 chunk is too short."},
      {"file ends inside ds64", Riff("RF64", {Chunk("ds64", Ds64(16, 24), 28)}),
       "*** Error: WAV file ends inside its ds64 chunk."},
      {"ds64 data size beyond any file",
       Riff("BW64", {Chunk("ds64", Ds64(std::uint64_t{1} << 63)), Chunk("fmt ", FmtBody()),
                     Chunk("data", kFourPairs, 0xFFFFFFFFu)}),
       "*** Error: WAV data chunk holds 4611686018427387904 bytes, but the file ends after 16 of "
       "them."},
      {"chunk id of unprintable bytes", Riff("RIFF", {Chunk("fmt ", FmtBody()), unprintable}),
       "*** Error: WAV chunk '?IST' runs past the end of the file."},
      {"GUID with a high half in its first field",
       Riff("RIFF",
            {Chunk("fmt ", ExtensibleFmt(0x00010001, 0, 0x0010)), Chunk("data", kFourPairs)}),
       "*** Error: WAV extensible sub-format is neither PCM nor IEEE float."},
      {"GUID with a second field",
       Riff("RIFF", {Chunk("fmt ", ExtensibleFmt(1, 7, 0x0010)), Chunk("data", kFourPairs)}),
       "*** Error: WAV extensible sub-format is neither PCM nor IEEE float."},
      {"GUID with a foreign third field",
       Riff("RIFF", {Chunk("fmt ", ExtensibleFmt(1, 0, 0x0011)), Chunk("data", kFourPairs)}),
       "*** Error: WAV extensible sub-format is neither PCM nor IEEE float."},
      {"GUID with a foreign last byte",
       Riff("RIFF", {Chunk("fmt ", ExtensibleFmt(1, 0, 0x1000, 0x72)), Chunk("data", kFourPairs)}),
       "*** Error: WAV extensible sub-format is neither PCM nor IEEE float."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CapturedLines().clear();
    MemoryReader memory(c.file);
    WavLayout layout;
    EXPECT_EQ(ParseWavHeader(memory.Reader(), static_cast<std::int64_t>(c.file.size()), &layout),
              0);
    EXPECT_TRUE(Logged(c.line)) << AllLines();
  }
}

TEST_F(RawImportTest, WavHeaderOddButValidLayoutsAreTaken) {
  // The GUID's number fields in the file's order with the third byte-swapped
  // (as some writers store it), and an RF64 data chunk whose ds64 size is 0:
  // the data then runs to the end of the file.
  struct Case {
    const char* what;
    Bytes file;
    std::int64_t dataBytes;
    std::int64_t dataOffset;
  };
  const Case cases[] = {
      {"GUID fields with a swapped third",
       Riff("RIFF", {Chunk("fmt ", ExtensibleFmt(1, 0, 0x1000)), Chunk("data", kFourPairs)}), 16,
       12 + 48 + 8},
      {"RF64 with a ds64 data size of 0",
       Riff("RF64", {Chunk("ds64", Ds64(0)), Chunk("fmt ", FmtBody()),
                     Chunk("data", kFourPairs, 0xFFFFFFFFu)}),
       -1, 12 + 36 + 24 + 8},
      {"fmt chunk longer than the extensible layout",
       Riff("RIFF", {Chunk("fmt ", FmtBody(50)), Chunk("data", kFourPairs)}), 16, 12 + 58 + 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryReader memory(c.file);
    WavLayout layout;
    ASSERT_EQ(ParseWavHeader(memory.Reader(), static_cast<std::int64_t>(c.file.size()), &layout), 1)
        << AllLines();
    EXPECT_EQ(layout.dataBytes, c.dataBytes);
    EXPECT_EQ(layout.dataOffset, c.dataOffset);
    EXPECT_EQ(memory.position, c.dataOffset) << "the parser stops at the first data byte";
    EXPECT_EQ(layout.sample.channels, 2);
  }
}

TEST_F(RawImportTest, FailingReadsAreIoErrorsNotTheEndOfTheHeader) {
  const Bytes wav = Riff(
      "RIFF", {Chunk("LIST", Bytes(6, 0)), Chunk("fmt ", FmtBody()), Chunk("data", kFourPairs)});
  // Every read from the byte at failAt on fails.
  struct Case {
    std::int64_t failAt;
    std::string line;
  };
  const Case wavCases[] = {
      {0, "*** Error: Not a WAV file: no RIFF/WAVE, RIFX, RF64 or BW64 header."},
      {12, "*** File I/O error."},
      {20, "*** Error: WAV file has no data chunk."},  // skipping the LIST chunk fails
      {40, "*** Error: WAV file ends inside its fmt chunk."},
  };
  for (const Case& c : wavCases) {
    SCOPED_TRACE(c.failAt);
    CapturedLines().clear();
    MemoryReader memory(wav, c.failAt);
    WavLayout layout;
    EXPECT_EQ(ParseWavHeader(memory.Reader(), static_cast<std::int64_t>(wav.size()), &layout), 0);
    EXPECT_TRUE(Logged(c.line)) << AllLines();
  }

  const Bytes tar = format_files::Archive(
      {format_files::TarMember("r/r.sigmf-meta", '0', format_files::Text("{}"))});
  const Case tarCases[] = {
      {0, "*** File I/O error."},
      {512, "*** Error: SigMF archive ends inside a member."},  // the kept content
      {1024, "*** File I/O error."},                            // the end blocks
  };
  for (const Case& c : tarCases) {
    SCOPED_TRACE(c.failAt);
    CapturedLines().clear();
    MemoryReader memory(tar, c.failAt);
    std::vector<TarMember> members;
    EXPECT_EQ(ReadTarMembers(memory.Reader(), static_cast<std::int64_t>(tar.size()), ".sigmf-meta",
                             &members),
              0);
    EXPECT_TRUE(Logged(c.line)) << AllLines();
  }
  // Skipping the padding of a member that is not kept fails.
  CapturedLines().clear();
  const Bytes data =
      format_files::Archive({format_files::TarMember("r/r.sigmf-data", '0', Bytes(10, 1))});
  MemoryReader memory(data, 600);
  std::vector<TarMember> members;
  EXPECT_EQ(ReadTarMembers(memory.Reader(), static_cast<std::int64_t>(data.size()), ".sigmf-meta",
                           &members),
            0);
  EXPECT_TRUE(Logged("*** Error: SigMF archive ends inside a member.")) << AllLines();
}

// ---- NumPy ----

// A version 1 file with the header text as given (not padded).
Bytes NpyWithHeader(const std::string& header, int major = 1) {
  Bytes file = {0x93, 'N', 'U', 'M', 'P', 'Y', static_cast<unsigned char>(major), 0};
  PutLE(file, header.size(), major == 1 ? 2 : 4);
  PutText(file, header);
  file.resize(file.size() + 64, 0);
  return file;
}

TEST_F(RawImportTest, NumpyHeadersThatCannotBeReadAreRefused) {
  const std::string unreadable = "*** Error: NumPy header cannot be read: ";
  struct Case {
    Bytes file;
    std::string line;
  };
  Bytes lengthCut = {0x93, 'N', 'U', 'M', 'P', 'Y', 2, 0, 10, 0};
  Bytes tooLong = {0x93, 'N', 'U', 'M', 'P', 'Y', 3, 0};
  PutLE(tooLong, (1u << 20) + 1, 4);
  const std::string good = "{'descr': '<c8', 'fortran_order': False, 'shape': (4,), }";
  Bytes headerCut = NpyWithHeader(good);
  headerCut.resize(30);
  const Case cases[] = {
      {Bytes{0x93, 'N', 'U', 'M'}, "*** Error: Not a NumPy file: no \\x93NUMPY magic."},
      {Bytes{0x93, 'N', 'U', 'M', 'P', 'X', 1, 0},
       "*** Error: Not a NumPy file: no \\x93NUMPY magic."},
      {Bytes{0x93, 'N', 'U', 'M', 'P', 'Y', 0, 9},
       "*** Error: NumPy format version 0.9 is not supported (1.0 to 3.0)."},
      {lengthCut, "*** Error: NumPy file ends inside its header."},
      {tooLong, "*** Error: NumPy header of 1048577 bytes is too long."},
      {headerCut, "*** Error: NumPy file ends inside its header."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    CapturedLines().clear();
    MemoryReader memory(c.file);
    NpyLayout layout;
    EXPECT_EQ(ParseNpyHeader(memory.Reader(), static_cast<std::int64_t>(c.file.size()), &layout),
              0);
    EXPECT_TRUE(Logged(c.line)) << AllLines();
  }

  // Dict texts the reader cannot follow: each names the header as written.
  const std::string dicts[] = {
      "'descr': '<c8', 'fortran_order': False, 'shape': (4,)}",  // no opening brace
      "{descr: '<c8', 'fortran_order': False, 'shape': (4,)}",   // key without quotes
      "{'descr' '<c8', 'fortran_order': False, 'shape': (4,)}",  // no colon
      "{'descr",                                                 // the key's quote never closes
      "{'descr': '<c8",                                          // a value's quote never closes
      "{\"descr\":\"<f4\",\"fortran_order\":false,\"shape\":(4,2)}",  // JSON's false
      "{'descr': '<c8', 'fortran_order': False, 'shape': (4 2)}",
      "{'descr': '<c8', 'fortran_order': False, 'shape': (x,)}",
      "{'descr': '<c8', 'fortran_order': False, 'shape': (99999999999999999999,)}",
      "{'descr': '<c8', 'fortran_order': None, 'shape': (4,)}",    // None is no value taken
      "{'descr': '<c8', 'fortran_order': False, 'shape': (4,), ",  // no closing brace
      "{'descr': '<c8', 'shape': (4,)}",                           // no fortran_order
      "{'fortran_order': False, 'shape': (4,)}",                   // no descr
  };
  for (const std::string& dict : dicts) {
    SCOPED_TRACE(dict);
    CapturedLines().clear();
    const Bytes file = NpyWithHeader(dict);
    MemoryReader memory(file);
    NpyLayout layout;
    EXPECT_EQ(ParseNpyHeader(memory.Reader(), static_cast<std::int64_t>(file.size()), &layout), 0);
    EXPECT_TRUE(Logged(unreadable + dict)) << AllLines();
  }
}

TEST_F(RawImportTest, NumpyDtypesAndShapesBeyondTheSupportedAreNamed) {
  const std::string tail =
      " is not supported (complex64 or complex128 of shape (N,), or float32, float64 or int16 of "
      "shape (N, 2) or, real, of shape (N,)).";
  struct Case {
    std::string dict;
    std::string line;
  };
  const Case cases[] = {
      {"{'descr': [('re', '<f4'), ('im', '<f4')], 'fortran_order': False, 'shape': (4,)}",
       "*** Error: NumPy dtype '[('re', '<f4'), ('im', '<f4')]' with shape (4,)" + tail},
      {"{'descr': 'c', 'fortran_order': False, 'shape': (4,)}",
       "*** Error: NumPy dtype 'c' with shape (4,)" + tail},
      {"{'descr': '!c8', 'fortran_order': False, 'shape': (4,)}",
       "*** Error: NumPy dtype '!c8' with shape (4,)" + tail},
      {"{'descr': '<f4', 'fortran_order': False, 'shape': (4, 2, 1)}",
       "*** Error: NumPy dtype '<f4' with shape (4, 2, 1)" + tail},
      {"{'descr': '<i2', 'fortran_order': False, 'shape': ()}",
       "*** Error: NumPy dtype '<i2' with shape ()" + tail},
      {"{'descr': '<c16', 'fortran_order': False, 'shape': (922337203685477579,)}",
       "*** Error: NumPy array of shape (922337203685477579,) needs 9223372036854775807 data "
       "bytes, but the file holds 64."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dict);
    CapturedLines().clear();
    const Bytes file = NpyWithHeader(c.dict);
    MemoryReader memory(file);
    NpyLayout layout;
    EXPECT_EQ(ParseNpyHeader(memory.Reader(), static_cast<std::int64_t>(file.size()), &layout), 0);
    EXPECT_TRUE(Logged(c.line)) << AllLines();
  }

  // Written by other writers, and taken: double quotes, no blanks, the 'L'
  // of old Python integers, a 1-D array in Fortran order (the same bytes),
  // the native byte-order mark.
  struct Good {
    std::string dict;
    std::int64_t dataBytes;
    int channels;
  };
  const Good goods[] = {
      {"{\"descr\":\"<f4\",\"fortran_order\":False,\"shape\":(4L,2L)}", 32, 2},
      {"{'descr': '<f8', 'fortran_order': True, 'shape': (8,)}", 64, 1},
      {"{'descr': '=i2', 'fortran_order': False, 'shape': (4, 2), 'extra': 'x'}", 16, 2},
  };
  for (const Good& g : goods) {
    SCOPED_TRACE(g.dict);
    CapturedLines().clear();
    const Bytes file = NpyWithHeader(g.dict);
    MemoryReader memory(file);
    NpyLayout layout;
    ASSERT_EQ(ParseNpyHeader(memory.Reader(), static_cast<std::int64_t>(file.size()), &layout), 1)
        << AllLines();
    EXPECT_EQ(layout.dataBytes, g.dataBytes);
    EXPECT_EQ(layout.sample.channels, g.channels);
    EXPECT_FALSE(layout.sample.bigEndian);
    EXPECT_EQ(layout.dataOffset, static_cast<std::int64_t>(10 + g.dict.size()));
  }
}

// ---- tar ----

// A tar member (the builder's name is that of the reader's record).
Bytes Member(const std::string& name, char type, const Bytes& content,
             const std::string& prefix = "", long long sizeField = -1) {
  return format_files::TarMember(name, type, content, prefix, sizeField);
}

// Writes the checksum of a tar header whose fields were changed.
void Reseal(Bytes& header) {
  std::fill(header.begin() + 148, header.begin() + 156, ' ');
  unsigned sum = 0;
  for (std::size_t k = 0; k < 512; ++k) sum += header[k];
  char number[8];
  std::snprintf(number, sizeof number, "%06o", sum);
  std::copy(number, number + 7, header.begin() + 148);
}

TEST_F(RawImportTest, TarHeadersAndPaxRecordsAreCheckedBeforeUse) {
  using format_files::Archive;
  using format_files::Text;
  const auto pax = [](const std::string& records) {
    return Member("PaxHeaders/x", 'x', Text(records));
  };
  Bytes badSize = Member("r/r.sigmf-data", '0', Bytes(8, 1));
  std::memcpy(&badSize[124], "0000000001x", 11);
  Reseal(badSize);
  struct Case {
    const char* what;
    Bytes archive;
    std::string line;
    std::int64_t claimedSize;  // the archive size handed to the reader; -1: its real size
  };
  const Case cases[] = {
      {"pax record without a length", Archive({pax("path=a\n"), Member("a", '0', {})}),
       "*** Error: SigMF archive has a pax header that cannot be read.", -1},
      {"pax record longer than the header", Archive({pax("99 path=a\n"), Member("a", '0', {})}),
       "*** Error: SigMF archive has a pax header that cannot be read.", -1},
      {"pax record not ending in a line feed", Archive({pax("10 path=ab"), Member("a", '0', {})}),
       "*** Error: SigMF archive has a pax header that cannot be read.", -1},
      {"pax size that is no number", Archive({pax("12 size=1x2\n"), Member("a", '0', {})}),
       "*** Error: SigMF archive has a pax size that is no number: '1x2'.", -1},
      {"pax size of 19 digits",
       Archive({pax("28 size=1234567890123456789\n"), Member("a", '0', {})}),
       "*** Error: SigMF archive has a pax size that is no number: '1234567890123456789'.", -1},
      {"size field that is no octal number", Archive({badSize}),
       "*** Error: SigMF archive header at byte 0 has no valid size.", -1},
      {"metadata member beyond the metadata limit",
       Archive({Member("r/r.sigmf-meta", '0', {}, "", (std::int64_t{64} << 20) + 1)}),
       "*** Error: SigMF archive member at byte 0 is too large (67108865 bytes).", 1 << 30},
      {"pax header beyond its limit", Archive({Member("p", 'x', {}, "", (1 << 20) + 1)}),
       "*** Error: SigMF archive member at byte 0 is too large (1048577 bytes).", 1 << 30},
      {"archive cut inside a member's padding",
       [] {
         Bytes a = Member("r/r.sigmf-data", '0', Bytes(10, 1));
         a.resize(512 + 10);
         return a;
       }(),
       "*** Error: SigMF archive ends inside a member.", -1},
      {"name with a drive", Archive({Member("c:/r.sigmf-data", '0', {})}),
       "*** Error: SigMF archive member 'c:/r.sigmf-data' is an absolute path or climbs with '..'; "
       "the archive is refused.",
       -1},
      {"name beginning with a backslash", Archive({Member("\\r.sigmf-data", '0', {})}),
       "*** Error: SigMF archive member '\\r.sigmf-data' is an absolute path or climbs with '..'; "
       "the archive is refused.",
       -1},
      {"name ending in '..'", Archive({Member("r\\..", '0', {})}),
       "*** Error: SigMF archive member 'r\\..' is an absolute path or climbs with '..'; the "
       "archive is refused.",
       -1},
      {"empty name", Archive({Member("", '0', {})}),
       "*** Error: SigMF archive member '' is an absolute path or climbs with '..'; the archive is "
       "refused.",
       -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CapturedLines().clear();
    MemoryReader memory(c.archive);
    std::vector<TarMember> members;
    const std::int64_t size =
        c.claimedSize >= 0 ? c.claimedSize : static_cast<std::int64_t>(c.archive.size());
    EXPECT_EQ(ReadTarMembers(memory.Reader(), size, ".sigmf-meta", &members), 0);
    EXPECT_TRUE(Logged(c.line)) << AllLines();
  }

  // Taken: a pax size that replaces the header's, records of other keys,
  // a global header, names of '..' inside a part, and an octal size field
  // led by blanks.
  Bytes blanks = Member("b/b.bin", '0', Bytes(3, 2));
  std::memcpy(&blanks[124], "   3       ", 11);
  Reseal(blanks);
  // The member's header claims 0 bytes; its 13 bytes follow in their own
  // block, which the pax size accounts for.
  const Bytes fixed = Archive(
      {Member("PaxHeaders/g", 'g', Text("15 comment=abc\n")), pax("11 size=13\n16 mtime=123.45\n"),
       Member("a/..x/a.sigmf-meta", '0', Text("{\"global\":{}}"), "", 0), blanks});
  CapturedLines().clear();
  MemoryReader memory(fixed);
  std::vector<TarMember> members;
  ASSERT_EQ(ReadTarMembers(memory.Reader(), static_cast<std::int64_t>(fixed.size()), ".sigmf-meta",
                           &members),
            1)
      << AllLines();
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[0].name, "a/..x/a.sigmf-meta");
  EXPECT_EQ(members[0].size, 13);
  EXPECT_EQ(members[0].content, "{\"global\":{}}");
  EXPECT_EQ(members[1].name, "b/b.bin");
  EXPECT_EQ(members[1].size, 3);
  EXPECT_EQ(members[1].offset, 512 * 7);
  EXPECT_TRUE(members[1].content.empty()) << "a member of another suffix is not kept";
}

TEST_F(RawImportTest, TarArchiveOfTooManyMembersIsRefused) {
  // An endless archive of empty members, made as it is read.
  const Bytes member = format_files::TarMember("d/f.bin", '0', {});
  std::int64_t blocks = 0;
  const HeaderReader endless = [&](void* dest, std::int64_t count) -> std::int64_t {
    if (dest != nullptr) std::memcpy(dest, member.data(), static_cast<std::size_t>(count));
    blocks += count / 512;
    return count;
  };
  std::vector<TarMember> members;
  EXPECT_EQ(ReadTarMembers(endless, std::int64_t{1} << 40, ".sigmf-meta", &members), 0);
  EXPECT_TRUE(Logged("*** Error: SigMF archive holds too many members.")) << AllLines();
  EXPECT_EQ(members.size(), 100000u);
  EXPECT_EQ(blocks, 100001);
}

// ---- SigMF metadata ----

TEST_F(RawImportTest, SigmfMetadataFieldsOfTheWrongKindAreRefused) {
  using format_files::MakeSigmfMeta;
  const std::string cu8 = "\"core:datatype\": \"cu8\"";
  const std::string annotationsEnd = "\"annotations\": []\n}\n";
  const auto withAnnotations = [&](const std::string& items) {
    std::string meta = MakeSigmfMeta(cu8);
    meta.replace(meta.find(annotationsEnd), annotationsEnd.size(),
                 "\"annotations\": [" + items + "]\n}\n");
    return meta;
  };
  const std::string marker1 = "\"core:label\": \"marker 1\"";
  struct Case {
    std::string text;
    std::string line;
  };
  const Case cases[] = {
      {"[1, 2]", "*** Error: SigMF metadata is no valid JSON object."},
      {"{\"global\": 3}", "*** Error: SigMF metadata has no \"global\" object."},
      {"{\"captures\": []}", "*** Error: SigMF metadata has no \"global\" object."},
      {MakeSigmfMeta("\"core:datatype\": 7"), "*** Error: SigMF metadata has no core:datatype."},
      {MakeSigmfMeta("\"core:datatype\": \"\""),
       "*** Error: SigMF datatype '' is not a known type."},
      {MakeSigmfMeta("\"core:datatype\": \"cu8_le\""),
       "*** Error: SigMF datatype 'cu8_le' is not a known type."},
      {MakeSigmfMeta(cu8 + ", \"core:num_channels\": 0"),
       "*** Error: SigMF core:num_channels is no positive whole number."},
      {MakeSigmfMeta(cu8 + ", \"core:num_channels\": 1.5"),
       "*** Error: SigMF core:num_channels is no positive whole number."},
      {MakeSigmfMeta(cu8 + ", \"core:num_channels\": \"1\""),
       "*** Error: SigMF core:num_channels is no positive whole number."},
      {MakeSigmfMeta(cu8 + ", \"core:sample_rate\": \"1e6\""),
       "*** Error: SigMF core:sample_rate is no number."},
      {MakeSigmfMeta(cu8 + ", \"core:sample_rate\": 0"),
       "*** Error: SigMF core:sample_rate 0 is not positive."},
      {MakeSigmfMeta(cu8 + ", \"core:sample_rate\": -2.5e6"),
       "*** Error: SigMF core:sample_rate -2.5e+06 is not positive."},
      {MakeSigmfMeta(cu8 + ", \"core:dataset\": 5"), "*** Error: SigMF core:dataset is no text."},
      {MakeSigmfMeta(cu8 + ", \"core:dataset\": \"\""),
       "*** Error: SigMF core:dataset '' is no file name beside the metadata file."},
      {MakeSigmfMeta(cu8 + ", \"core:dataset\": \".\""),
       "*** Error: SigMF core:dataset '.' is no file name beside the metadata file."},
      {MakeSigmfMeta(cu8 + ", \"core:dataset\": \"c:x.bin\""),
       "*** Error: SigMF core:dataset 'c:x.bin' is no file name beside the metadata file."},
      {MakeSigmfMeta(cu8 + ", \"core:dataset\": \"sub\\\\x.bin\""),
       "*** Error: SigMF core:dataset 'sub\\x.bin' is no file name beside the metadata file."},
      {MakeSigmfMeta(cu8 + ", \"wavora:level_offsets\": [3.0]"),
       "*** Error: SigMF wavora:level_offsets is no pair of numbers (RMS and peak offset, dB) "
       "within +-1000."},
      {MakeSigmfMeta(cu8 + ", \"wavora:level_offsets\": [3.0, \"0\"]"),
       "*** Error: SigMF wavora:level_offsets is no pair of numbers (RMS and peak offset, dB) "
       "within +-1000."},
      {MakeSigmfMeta(cu8 + ", \"wavora:level_offsets\": [3.0, -1e300]"),
       "*** Error: SigMF wavora:level_offsets is no pair of numbers (RMS and peak offset, dB) "
       "within +-1000."},
      {MakeSigmfMeta(cu8, "\"core:header_bytes\": -1"),
       "*** Error: SigMF core:header_bytes is no whole number of 0 or more."},
      {MakeSigmfMeta(cu8, "\"core:header_bytes\": 2.5"),
       "*** Error: SigMF core:header_bytes is no whole number of 0 or more."},
      {withAnnotations("{" + marker1 + "}"),
       "*** Error: SigMF annotation 'marker 1' has no core:sample_start of 0 or more."},
      {withAnnotations("{" + marker1 + ", \"core:sample_start\": -4}"),
       "*** Error: SigMF annotation 'marker 1' has no core:sample_start of 0 or more."},
      {withAnnotations("{" + marker1 + ", \"core:sample_start\": 1.0}"),
       "*** Error: SigMF annotation 'marker 1' has no core:sample_start of 0 or more."},
      {withAnnotations("{\"core:label\": \"marker 4\", \"core:sample_start\": 0, "
                       "\"core:sample_count\": -1}"),
       "*** Error: SigMF annotation 'marker 4' has a core:sample_count that is no whole number of "
       "0 or more."},
      {withAnnotations("{" + marker1 + ", \"core:sample_start\": 0, \"core:sample_count\": \"2\"}"),
       "*** Error: SigMF annotation 'marker 1' has a core:sample_count that is no whole number of "
       "0 or more."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    CapturedLines().clear();
    SigmfMeta meta;
    EXPECT_EQ(ParseSigmfMeta(c.text, &meta), 0);
    EXPECT_TRUE(Logged(c.line)) << AllLines();
  }

  // Annotations of other labels, or of no object, are counted and left; a
  // label outside "marker 1" to "marker 4" is one of them. Captures that are
  // no list of objects give no header bytes.
  SigmfMeta meta;
  std::string text = withAnnotations(
      "3, {\"core:label\": 5}, {\"core:label\": \"marker 5\", \"core:sample_start\": 0}, "
      "{\"core:label\": \"marker 0\"}, {\"core:label\": \"Marker 1\"}, {\"core:label\": "
      "\"marker 12\"}, {\"core:label\": \"marker 2\", \"core:sample_start\": 9}");
  ASSERT_EQ(ParseSigmfMeta(text, &meta), 1) << AllLines();
  EXPECT_EQ(meta.otherAnnotations, 6);
  ASSERT_EQ(meta.markerSpans.size(), 1u);
  EXPECT_EQ(meta.markerSpans[0].marker, 2);
  EXPECT_EQ(meta.markerSpans[0].start, 9);
  EXPECT_EQ(meta.markerSpans[0].count, std::numeric_limits<std::int64_t>::max() - 9);
  for (const char* captures : {"\"captures\": 3", "\"captures\": [3]", "\"captures\": []"}) {
    SCOPED_TRACE(captures);
    SigmfMeta other;
    const std::string json =
        "{\"global\": {" + cu8 + "}, " + std::string(captures) + ", \"annotations\": 1}";
    ASSERT_EQ(ParseSigmfMeta(json, &other), 1) << AllLines();
    EXPECT_EQ(other.headerBytes, 0);
    EXPECT_EQ(other.otherAnnotations, 0);
  }
}

TEST_F(RawImportTest, SigmfHeaderBytesBeyondTheDataAreRefused) {
  const std::string meta = format_files::MakeSigmfMeta(
      "\"core:datatype\": \"ci16_le\", \"core:sample_rate\": 1e6", "\"core:header_bytes\": 17");
  WriteInput("rec.sigmf-data", Bytes(16, 3));
  testing_support::WriteFileText(dir_.File("rec.sigmf-meta"), meta);
  EXPECT_EQ(Import(kFormatSigmf, dir_.File("rec.sigmf-meta")), 0);
  EXPECT_TRUE(Logged(
      "*** Error: SigMF core:header_bytes (17) is more than the data file holds (16 bytes)."))
      << AllLines();
  ExpectSlotsFree();

  Fresh();
  const Bytes archive = format_files::Archive(
      {format_files::TarMember("r/r.sigmf-meta", '0', format_files::Text(meta)),
       format_files::TarMember("r/r.sigmf-data", '0', Bytes(16, 3))});
  EXPECT_EQ(Import(kFormatSigmf, WriteInput("r.sigmf", archive)), 0);
  EXPECT_TRUE(Logged(
      "*** Error: SigMF core:header_bytes (17) is more than the data member holds (16 bytes)."))
      << AllLines();
  ExpectSlotsFree();

  // A name of neither SigMF suffix names no recording.
  Fresh();
  EXPECT_EQ(Import(kFormatSigmf, WriteInput("rec.bin", Bytes(16, 3))), 0);
  EXPECT_TRUE(
      Logged("*** Error: A SigMF recording is named by its .sigmf-meta or .sigmf-data "
             "file or its .sigmf archive: '" +
             dir_.File("rec.bin") + "'."))
      << AllLines();
  ExpectSlotsFree();
}

}  // namespace
