// Input waveform files written by hand for the tests: the bytes tag by tag,
// the data tag with its little-endian sample words, and the text of a marker
// list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// Bytes of a waveform file, tag by tag.
class WaveFileBuilder {
 public:
  WaveFileBuilder& Tag(const std::string& name, const std::string& content) {
    bytes_ += "{" + name + ":" + content + "}";
    return *this;
  }
  WaveFileBuilder& Raw(const std::string& text) {
    bytes_ += text;
    return *this;
  }
  // Data tag with the words (I, Q, I, Q, ...) little-endian. byteCount < 0
  // counts the text, the '#' and 2 bytes per word; blanks are not counted.
  WaveFileBuilder& Data(const std::vector<std::uint16_t>& words, const std::string& blanks = " ",
                        const std::string& text = "", long long byteCount = -1) {
    if (byteCount < 0) byteCount = static_cast<long long>(text.size() + 1 + 2 * words.size());
    bytes_ += "{WAVEFORM-" + std::to_string(byteCount) + ":" + blanks + text + "#";
    for (std::uint16_t word : words) {
      bytes_.push_back(static_cast<char>(word & 0xFF));
      bytes_.push_back(static_cast<char>(word >> 8));
    }
    bytes_ += "}";
    return *this;
  }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// Words of n I/Q pairs taken from a generator of the pair index.
template <typename Make>
std::vector<std::uint16_t> MakeWords(int pairs, Make make) {
  std::vector<std::uint16_t> words;
  for (int k = 0; k < pairs; ++k) {
    words.push_back(static_cast<std::uint16_t>(make(k, 0)));
    words.push_back(static_cast<std::uint16_t>(make(k, 1)));
  }
  return words;
}

// Content of a MARKER LIST tag: " position:state;position:state;...".
template <typename Position>
std::string ListText(const std::vector<std::pair<Position, int>>& entries) {
  std::string text = " ";
  for (std::size_t k = 0; k < entries.size(); ++k)
    text +=
        (k ? ";" : "") + std::to_string(entries[k].first) + ":" + std::to_string(entries[k].second);
  return text;
}

}  // namespace testing_support
