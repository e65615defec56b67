// The Q file name of a two-file ASCII input: the last letter of the stem
// (the file name cut at its first ".") turns from I to Q in its case; the
// directory part and the rest of the name stay, and any other name has none.

#include <gtest/gtest.h>

#include <string>

#include "app/ConvertFile.h"

namespace {

TEST(QFileName, TheStemsLastLetterTurnsFromIToQ) {
  const std::pair<std::string, std::string> cases[] = {
      {"sigI.txt", "sigQ.txt"},
      {"sigi.txt", "sigq.txt"},
      {"dir.v2/capI.part.txt", "dir.v2/capQ.part.txt"},
      {"I", "Q"},
      {"capI", "capQ"},
      {"sig.txt", ""},
      {"sigI2.txt", ""},
      {"a.I.txt", ""},  // the stem ends at the first dot
      {".I.txt", ""},   // no stem at all
      {"dirI/sig.txt", ""},
      {"", ""},
  };
  for (const auto& [input, q] : cases) EXPECT_EQ(DeriveQFileName(input), q) << "'" << input << "'";
}

}  // namespace
