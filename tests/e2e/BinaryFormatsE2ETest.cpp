// Every binary input format converted by the built program in single-file
// mode, checked word by word against values computed from the input units
// (the table of support/BinaryFormats.h, which the Windows suite runs as
// well with Windows paths).

#include <gtest/gtest.h>

#include "support/BinaryFormats.h"
#include "support/TestSupport.h"

namespace {

namespace ts = testing_support;

TEST(BinaryFormatsE2E, SingleFileModeConvertsEveryBinaryFormat) {
  ts::ExpectEveryBinaryFormatConverts(ts::RunWavoraBinary, '/');
}

}  // namespace
