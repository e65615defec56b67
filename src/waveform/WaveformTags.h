// Byte-wise reading of tag contents from a stream slot: the tokens of a tag's
// content, the whole content, and skipping an unknown tag.
#pragma once

#include <cstddef>
#include <string>

// Reads the next token of a tag's content from the slot, one byte at a time.
// Leading blanks (0x20 only) are skipped. The token ends at the delimiter, at
// '}' or at the end of the input; the byte that ends it is consumed and not
// stored. Results:
//   1: the token ended at the delimiter or at the end of the input (more may
//      follow); also an empty token when the first byte after the blanks is
//      the delimiter or '}';
//   0: the tag ended ('}') after a non-empty token, the input ended before
//      the first byte that is not a blank, or the token is longer than
//      maxChars (then "*** Error: Invalid tag content!" is logged and text
//      holds its first maxChars characters).
int ReadTagToken(int slot, std::string* text, std::size_t maxChars, char delimiter);

// The whole content of a tag, up to its '}': ReadTagToken with '}' as the
// delimiter. 0 for a content longer than maxChars and when the input ends
// before the first byte that is not a blank.
int ReadTagContent(int slot, std::string* text, std::size_t maxChars);

// Reads bytes up to and including the next '}'. 1 on success; when the input
// ends first it logs "*** Error: Invalid tag content!" and returns 0.
int SkipTagContent(int slot);
