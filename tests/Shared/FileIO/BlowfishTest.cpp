// The cipher: its initial tables, published known answers, the byte order of
// blocks inside a buffer, the short-tail rule, round trips and the key cut.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Shared/FileIO/Blowfish.h"
#include "Shared/FileIO/BlowfishTables.h"

namespace {

using Block = std::array<unsigned char, 8>;

Block FromHex(const std::string& hex) {
  Block block{};
  for (std::size_t i = 0; i < block.size(); ++i) {
    block[i] = static_cast<unsigned char>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  }
  return block;
}

Block EncryptOne(const Block& key, Block plain) {
  BlowfishKey(static_cast<int>(key.size()), key.data());
  BlowfishEncryptBuffer(plain.data(), static_cast<long>(plain.size()));
  return plain;
}

std::vector<unsigned char> PatternBytes(std::size_t length, std::uint32_t salt) {
  std::vector<unsigned char> bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<unsigned char>(((i + salt) * 2654435761u) >> 24);
  }
  return bytes;
}

TEST(BlowfishTables, HoldTheDigitsOfPiInPublishedOrder) {
  EXPECT_EQ(kBlowfishStateWords, 18 + 4 * 256);
  EXPECT_EQ(kBlowfishInitialState[0], 0x243F6A88u);
  EXPECT_EQ(kBlowfishInitialState[1], 0x85A308D3u);
  EXPECT_EQ(kBlowfishInitialState[17], 0x8979FB1Bu);
  EXPECT_EQ(kBlowfishInitialState[18], 0xD1310BA6u);    // S-box 0, word 0
  EXPECT_EQ(kBlowfishInitialState[1041], 0x3AC372E6u);  // S-box 3, word 255
}

TEST(BlowfishCipher, MatchesPublishedVectors) {
  struct Vector {
    const char* key;
    const char* plain;
    const char* cipher;
  };
  const Vector vectors[] = {
      {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
      {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
      {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(EncryptOne(FromHex(v.key), FromHex(v.plain)), FromHex(v.cipher)) << v.key;
  }

  // The self-test's block under the 26 lowercase letters.
  const std::string letters = "abcdefghijklmnopqrstuvwxyz";
  BlowfishKey(static_cast<int>(letters.size()),
              reinterpret_cast<const unsigned char*>(letters.data()));
  Block block = {'B', 'L', 'O', 'W', 'F', 'I', 'S', 'H'};
  BlowfishEncryptBuffer(block.data(), 8);
  EXPECT_EQ(block, FromHex("324ED0FEF413A203"));
  BlowfishDecryptBuffer(block.data(), 8);
  EXPECT_EQ(block, (Block{'B', 'L', 'O', 'W', 'F', 'I', 'S', 'H'}));

  EXPECT_EQ(BlowfishSelfTest(), 1);
}

// Thirteen blocks go through the eight-block, the four-block and the
// one-block step of the buffer loops; each must give the block path's bytes
// under every key (the loops use tables rebuilt with the key).
TEST(BlowfishCipher, BufferBlocksAreBigEndianHalves) {
  for (const char* hexKey : {"0123456789ABCDEF", "F0E1D2C3B4A59687"}) {
    const Block key = FromHex(hexKey);
    BlowfishKey(8, key.data());
    std::vector<unsigned char> buffer = PatternBytes(8 * 13, 7);
    const std::vector<unsigned char> plain = buffer;
    BlowfishEncryptBuffer(buffer.data(), static_cast<long>(buffer.size()));
    for (std::size_t offset = 0; offset < plain.size(); offset += 8) {
      std::uint32_t left = 0;
      std::uint32_t right = 0;
      for (int i = 0; i < 4; ++i) {
        left = (left << 8) | plain[offset + i];
        right = (right << 8) | plain[offset + 4 + i];
      }
      BlowfishEncryptBlock(&left, &right);
      for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(buffer[offset + i], static_cast<unsigned char>(left >> (24 - 8 * i)));
        EXPECT_EQ(buffer[offset + 4 + i], static_cast<unsigned char>(right >> (24 - 8 * i)));
      }
      BlowfishDecryptBlock(&left, &right);
      std::uint32_t expectLeft = 0;
      for (int i = 0; i < 4; ++i) expectLeft = (expectLeft << 8) | plain[offset + i];
      EXPECT_EQ(left, expectLeft);
    }
  }
}

TEST(BlowfishCipher, RoundTripsEveryLengthAndMasksTheTail) {
  const std::string key = "wavora round trip";
  BlowfishKey(static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(key.data()));
  for (std::size_t length = 0; length <= 64; ++length) {
    std::vector<unsigned char> buffer = PatternBytes(length, static_cast<std::uint32_t>(length));
    const std::vector<unsigned char> plain = buffer;
    BlowfishEncryptBuffer(buffer.data(), static_cast<long>(length));
    const std::size_t whole = length / 8 * 8;
    for (std::size_t i = whole; i < length; ++i) {
      EXPECT_EQ(buffer[i], plain[i] ^ 0x55) << "length " << length << " byte " << i;
    }
    if (whole > 0) {
      EXPECT_NE(std::vector<unsigned char>(buffer.begin(), buffer.begin() + whole),
                std::vector<unsigned char>(plain.begin(), plain.begin() + whole))
          << "length " << length;
    }
    BlowfishDecryptBuffer(buffer.data(), static_cast<long>(length));
    EXPECT_EQ(buffer, plain) << "length " << length;
  }

  std::vector<unsigned char> untouched = PatternBytes(16, 3);
  const std::vector<unsigned char> before = untouched;
  BlowfishEncryptBuffer(untouched.data(), 0);
  BlowfishEncryptBuffer(untouched.data(), -8);
  BlowfishDecryptBuffer(untouched.data(), -1);
  EXPECT_EQ(untouched, before);
}

TEST(BlowfishKeySchedule, UsesAtMostSeventyTwoKeyBytes) {
  const std::vector<unsigned char> longKey = PatternBytes(100, 11);
  const Block plain = FromHex("0011223344556677");

  Block withLong = plain;
  BlowfishKey(static_cast<int>(longKey.size()), longKey.data());
  BlowfishEncryptBuffer(withLong.data(), 8);

  Block withFirst72 = plain;
  BlowfishKey(72, longKey.data());
  BlowfishEncryptBuffer(withFirst72.data(), 8);
  EXPECT_EQ(withLong, withFirst72);

  // Byte 71 still counts, so the cut is not made too early.
  std::vector<unsigned char> changed(longKey.begin(), longKey.begin() + 72);
  changed[71] ^= 0x01;
  Block withChanged = plain;
  BlowfishKey(72, changed.data());
  BlowfishEncryptBuffer(withChanged.data(), 8);
  EXPECT_NE(withChanged, withFirst72);
}

TEST(BlowfishKeySchedule, EachScheduleStartsFromTheInitialTables) {
  const Block keyA = FromHex("1122334455667788");
  const Block keyB = FromHex("8877665544332211");
  const Block plain = FromHex("0123456789ABCDEF");
  const Block first = EncryptOne(keyA, plain);
  EncryptOne(keyB, plain);
  EXPECT_EQ(EncryptOne(keyA, plain), first);
}

}  // namespace
