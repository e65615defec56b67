// Byte-order helpers: every file format the program reads or writes fixes its
// byte order, so values are assembled from bytes explicitly instead of being
// copied in the machine's order. On a little-endian host the little-endian
// forms are one plain copy, which the compiler turns into one load or store.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr bool kLittleEndianHost = std::endian::native == std::endian::little;

inline std::uint16_t LoadLE16(const unsigned char* bytes) {
  if constexpr (kLittleEndianHost) {
    std::uint16_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline std::uint32_t LoadLE32(const unsigned char* bytes) {
  if constexpr (kLittleEndianHost) {
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }
  return std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) |
         (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
}

inline std::uint64_t LoadLE64(const unsigned char* bytes) {
  return std::uint64_t{LoadLE32(bytes)} | (std::uint64_t{LoadLE32(bytes + 4)} << 32);
}

inline std::uint16_t LoadBE16(const unsigned char* bytes) {
  return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

inline std::uint32_t LoadBE32(const unsigned char* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

inline std::uint64_t LoadBE64(const unsigned char* bytes) {
  return (std::uint64_t{LoadBE32(bytes)} << 32) | std::uint64_t{LoadBE32(bytes + 4)};
}

inline void StoreLE16(std::uint16_t value, unsigned char* bytes) {
  if constexpr (kLittleEndianHost) {
    std::memcpy(bytes, &value, sizeof value);
    return;
  }
  bytes[0] = static_cast<unsigned char>(value);
  bytes[1] = static_cast<unsigned char>(value >> 8);
}

inline void StoreLE32(std::uint32_t value, unsigned char* bytes) {
  if constexpr (kLittleEndianHost) {
    std::memcpy(bytes, &value, sizeof value);
    return;
  }
  bytes[0] = static_cast<unsigned char>(value);
  bytes[1] = static_cast<unsigned char>(value >> 8);
  bytes[2] = static_cast<unsigned char>(value >> 16);
  bytes[3] = static_cast<unsigned char>(value >> 24);
}

inline void StoreLE64(std::uint64_t value, unsigned char* bytes) {
  StoreLE32(static_cast<std::uint32_t>(value), bytes);
  StoreLE32(static_cast<std::uint32_t>(value >> 32), bytes + 4);
}

inline void StoreBE32(std::uint32_t value, unsigned char* bytes) {
  bytes[0] = static_cast<unsigned char>(value >> 24);
  bytes[1] = static_cast<unsigned char>(value >> 16);
  bytes[2] = static_cast<unsigned char>(value >> 8);
  bytes[3] = static_cast<unsigned char>(value);
}

// IEEE 754 binary32 values in little-endian byte order (the layout of the
// temporary waveform file).
inline float LoadFloatLE(const unsigned char* bytes) {
  return std::bit_cast<float>(LoadLE32(bytes));
}

inline void StoreFloatLE(float value, unsigned char* bytes) {
  StoreLE32(std::bit_cast<std::uint32_t>(value), bytes);
}

// Reverses the bytes of a buffer in place (one unit from the other byte order).
inline void ReverseBytes(unsigned char* buffer, std::size_t length) {
  if (length < 2) return;
  for (std::size_t front = 0, back = length - 1; front < back; ++front, --back) {
    const unsigned char swapped = buffer[front];
    buffer[front] = buffer[back];
    buffer[back] = swapped;
  }
}
