#include "waveform/WaveformTags.h"

#include "common/Log.h"

void LogInvalidTagContent() { LogAlways({"*** Error: Invalid tag content!"}); }

int ReadTagToken(TagByteSource& in, std::string* text, std::size_t maxChars, char delimiter) {
  switch (ScanToken(in, text, maxChars, delimiter)) {
    case TokenEnd::kDelimiter:
      return 1;
    case TokenEnd::kClose:
      return text->empty() ? 1 : 0;
    case TokenEnd::kInputEnd:
      return text->empty() ? 0 : 1;
    default:
      LogInvalidTagContent();
      return 0;
  }
}

int ReadTagContent(TagByteSource& in, std::string* text, std::size_t maxChars) {
  return ReadTagToken(in, text, maxChars, '}');
}

int SkipTagContent(TagByteSource& in) {
  if (SkipToTagClose(in)) return 1;
  LogInvalidTagContent();
  return 0;
}
