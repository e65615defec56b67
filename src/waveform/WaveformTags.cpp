// Tag contents are read one byte per call through the slot: tags are short
// and rare next to the sample data, so the simple path is the clear one.
#include "waveform/WaveformTags.h"

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "common/Log.h"

namespace {

constexpr char kBlank = ' ';
constexpr char kTagClose = '}';

// One byte from the slot; false at the end of the input or on a failure.
bool ReadOneByte(int slot, char* byte) { return _ReadBytes(slot, 1, byte) == 1; }

void LogInvalidTagContent() { LogAlways({"*** Error: Invalid tag content!"}); }

}  // namespace

int ReadTagToken(int slot, std::string* text, std::size_t maxChars, char delimiter) {
  text->clear();
  char byte = 0;
  do {
    if (!ReadOneByte(slot, &byte)) return 0;
  } while (byte == kBlank);

  if (byte == delimiter || byte == kTagClose) return 1;

  // byte holds the next character to store, never the delimiter or '}'; each
  // pass stores it and reads the one after it.
  while (true) {
    if (text->size() == maxChars) {
      LogInvalidTagContent();
      return 0;
    }
    text->push_back(byte);
    if (!ReadOneByte(slot, &byte)) return 1;
    if (byte == delimiter) return 1;
    if (byte == kTagClose) return 0;
  }
}

int ReadTagContent(int slot, std::string* text, std::size_t maxChars) {
  return ReadTagToken(slot, text, maxChars, kTagClose);
}

int SkipTagContent(int slot) {
  char byte = 0;
  while (ReadOneByte(slot, &byte)) {
    if (byte == kTagClose) return 1;
  }
  LogInvalidTagContent();
  return 0;
}
