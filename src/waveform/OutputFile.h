// An output file written under a temporary name beside its destination
// (".<name>.part") and moved over the destination only when it is complete;
// on every other way out the temporary file is removed again.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

class OutputFile {
 public:
  explicit OutputFile(std::string destination);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file; 0 with the reason logged on failure.
  int Open();
  void Append(const void* data, std::size_t size);
  void Append(std::string_view text) { Append(text.data(), text.size()); }
  // Flushes, closes and moves the file over the destination; 0 with the
  // reason logged on failure (the temporary file is then removed).
  int Commit();

  const std::string& destination() const { return destination_; }

 private:
  void Flush();

  std::string destination_;
  std::string partial_;
  std::FILE* file_ = nullptr;
  bool created_ = false;
  bool ok_ = true;
  std::vector<unsigned char> buffer_;
  std::size_t fill_ = 0;
};

// ".<name>.part" in the destination's directory.
std::string PartialPathFor(const std::string& destination);
