// Writes or checks the parts of the manual (docs/usage.md) and of the manual
// page (docs/wavora.1) that come from the option and format tables.
//
//   wavora_doctables <source root>           rewrite the generated parts
//   wavora_doctables --check <source root>   exit 1 naming each part that differs
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "app/HelpTables.h"

namespace {

bool ReadText(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *text = buffer.str();
  return static_cast<bool>(in) || in.eof();
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  const bool check = argc == 3 && std::strcmp(argv[1], "--check") == 0;
  if (argc != 2 && !check) {
    std::fprintf(stderr, "usage: wavora_doctables [--check] <source root>\n");
    return 2;
  }
  const std::string root = argv[argc - 1];
  int stale = 0;
  for (const GeneratedPart& part : GeneratedParts()) {
    const std::string path = root + "/" + part.file;
    std::string text;
    if (!ReadText(path, &text)) {
      std::fprintf(stderr, "*** Cannot read %s.\n", path.c_str());
      return 1;
    }
    std::string updated = text;
    if (!ReplaceGeneratedPart(&updated, part.name, part.render())) {
      std::fprintf(stderr, "*** %s has no generated part '%s'.\n", path.c_str(), part.name);
      return 1;
    }
    if (updated == text) continue;
    if (check) {
      std::fprintf(stderr, "%s: the part '%s' differs from the tables\n", path.c_str(), part.name);
      ++stale;
    } else if (!WriteText(path, updated)) {
      std::fprintf(stderr, "*** Cannot write %s.\n", path.c_str());
      return 1;
    } else {
      std::printf("%s: '%s' rewritten\n", path.c_str(), part.name);
    }
  }
  return stale == 0 ? 0 : 1;
}
