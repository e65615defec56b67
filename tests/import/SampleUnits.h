// Sample units for the reader tests: integer and float units in either byte
// order, with the full-scale values the conversion formulas give them.
#pragma once

#include <bit>
#include <cstdint>
#include <functional>
#include <vector>

#include "import/FormatFileBuilders.h"

namespace sample_units {

using format_files::Bytes;

struct Units {
  Bytes bytes;
  std::vector<float> values;  // one per unit
};

// Units of `bytes` bytes in the given order; value(raw) is the expected conversion.
inline Units Integers(const std::vector<std::int64_t>& raws, int bytes, bool bigEndian,
                      const std::function<double(std::int64_t)>& value) {
  Units u;
  for (std::int64_t raw : raws) {
    if (bigEndian)
      format_files::PutBE(u.bytes, static_cast<std::uint64_t>(raw), bytes);
    else
      format_files::PutLE(u.bytes, static_cast<std::uint64_t>(raw), bytes);
    u.values.push_back(static_cast<float>(value(raw)));
  }
  return u;
}

inline Units Floats(const std::vector<double>& values, bool wide, bool bigEndian) {
  Units u;
  for (double v : values) {
    const std::uint64_t bits = wide ? std::bit_cast<std::uint64_t>(v)
                                    : std::bit_cast<std::uint32_t>(static_cast<float>(v));
    if (bigEndian)
      format_files::PutBE(u.bytes, bits, wide ? 8 : 4);
    else
      format_files::PutLE(u.bytes, bits, wide ? 8 : 4);
    u.values.push_back(static_cast<float>(v));
  }
  return u;
}

inline const std::vector<std::int64_t> kUnsigned8 = {0, 255, 128, 127, 1, 200, 64, 129};
inline const std::vector<std::int64_t> kSigned16 = {0, 1, -1, 32767, -32768, 12345, -23456, 100};
inline const std::vector<std::int64_t> kSigned24 = {0,  8388607, -8388608, 1,
                                                    -1, 4000000, -123456,  77};
inline const std::vector<std::int64_t> kSigned32 = {
    0, 2147483647, -2147483647 - 1, 1, -1000000000, 65536, -7, 1234567890};
inline const std::vector<double> kFloats = {0.5, -0.25, 0.125, 1.5, -0.001, 0.75, 1e-9, -0.3};

// I values of a real signal with Q = 0 beside each.
inline std::vector<float> WithZeroQ(const std::vector<float>& real) {
  std::vector<float> iq;
  for (float v : real) {
    iq.push_back(v);
    iq.push_back(0.0f);
  }
  return iq;
}

}  // namespace sample_units
