// The import's reading of tag contents over the shared scanner: the tokens of
// a tag's content, the whole content, and skipping an unknown tag, with the
// import's message for a content too long or cut off.
#pragma once

#include <cstddef>
#include <string>

#include "waveform/WaveformScan.h"

// Reads the next token of a tag's content (ScanToken). Results:
//   1: the token ended at the delimiter or at the end of the input (more may
//      follow); also an empty token when the first byte after the blanks is
//      the delimiter or '}';
//   0: the tag ended ('}') after a non-empty token, the input ended before
//      the first byte that is not a blank, or the token is longer than
//      maxChars (then "*** Error: Invalid tag content!" is logged and text
//      holds its first maxChars characters).
int ReadTagToken(TagByteSource& in, std::string* text, std::size_t maxChars, char delimiter);

// The whole content of a tag, up to its '}': ReadTagToken with '}' as the
// delimiter. 0 for a content longer than maxChars and when the input ends
// before the first byte that is not a blank.
int ReadTagContent(TagByteSource& in, std::string* text, std::size_t maxChars);

// Reads bytes up to and including the next '}'. 1 on success; when the input
// ends first it logs "*** Error: Invalid tag content!" and returns 0.
int SkipTagContent(TagByteSource& in);

// The same through a stream slot, one byte per read.
inline int ReadTagToken(int slot, std::string* text, std::size_t maxChars, char delimiter) {
  TagByteSource in = TagByteSource::FromSlot(slot);
  return ReadTagToken(in, text, maxChars, delimiter);
}
inline int ReadTagContent(int slot, std::string* text, std::size_t maxChars) {
  TagByteSource in = TagByteSource::FromSlot(slot);
  return ReadTagContent(in, text, maxChars);
}
inline int SkipTagContent(int slot) {
  TagByteSource in = TagByteSource::FromSlot(slot);
  return SkipTagContent(in);
}

// Logs "*** Error: Invalid tag content!".
void LogInvalidTagContent();
