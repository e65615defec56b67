// The help tables against the option table and the documents: every option
// has one help row, the usage text keeps its option lines, and the generated
// parts of docs/usage.md and docs/wavora.1 are what the tables give now (run
// tools/wavora_doctables <source root> after changing an option or format).

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "app/CommandLine.h"
#include "app/HelpTables.h"
#include "common/InputFormat.h"
#include "waveform/Export.h"

namespace {

std::string ReadSource(const std::string& relative) {
  std::ifstream in(std::string(WAVORA_SOURCE_DIR) + "/" + relative, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(HelpTables, EveryOptionHasOneHelpRowAndEveryRowAnOption) {
  std::map<std::string, int> named;
  for (const OptionHelp& row : OptionHelpTable()) {
    std::string keywords = row.keywords;
    std::size_t start = 0;
    while (start <= keywords.size()) {
      const std::size_t comma = keywords.find(", ", start);
      ++named[keywords.substr(start, comma - start)];
      if (comma == std::string::npos) break;
      start = comma + 2;
    }
    EXPECT_FALSE(std::string(row.meaning).empty()) << row.keywords;
  }
  const std::vector<std::string> keywords = OptionKeywords();
  for (const std::string& keyword : keywords)
    EXPECT_EQ(named[keyword], 1) << keyword << " must be named in exactly one help row";
  for (const auto& [keyword, count] : named)
    EXPECT_NE(std::find(keywords.begin(), keywords.end(), keyword), keywords.end())
        << keyword << " has help but is no option";
}

TEST(HelpTables, UsageTextHoldsEachOptionsLinesAndTheFormatLinesAfterFormat) {
  const std::vector<std::string> lines = UsageBodyLines();
  std::string text;
  for (const std::string& line : lines) {
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    text += line;
  }
  for (const OptionHelp& row : OptionHelpTable())
    EXPECT_NE(text.find(row.usage), std::string::npos) << row.keywords;
  // Every keyword of a format, in the table's order, between -format and -qfile.
  const std::size_t format = text.find("    -format <input data format>");
  const std::size_t qfile = text.find("    -qfile ");
  ASSERT_LT(format, qfile);
  std::size_t at = format;
  for (const InputFormatInfo& entry : InputFormats()) {
    if (entry.alias) continue;
    const std::size_t found = text.find(std::string("         ") + entry.keyword + " ", at);
    EXPECT_LT(found, qfile) << entry.keyword;
    at = found;
  }
}

// The usage text's line of -export names the kinds of the export table.
TEST(HelpTables, ExportUsageNamesEveryExportKind) {
  std::string kinds;
  for (const ExportKindInfo& kind : kExportKinds)
    kinds += std::string(kinds.empty() ? "<" : "|") + kind.keyword;
  kinds += ">";
  std::string text;
  for (const std::string& line : UsageBodyLines()) text += line;
  EXPECT_NE(text.find("-export " + kinds + " "), std::string::npos) << kinds;
  EXPECT_EQ(ExportKindList(), "cs16, cf32, wav or sigmf");
  EXPECT_EQ(ExportKindList(true), "cs16, cf32 or wav");
}

TEST(HelpTables, GeneratedPartsOfTheDocumentsMatchTheTables) {
  for (const GeneratedPart& part : GeneratedParts()) {
    const std::string text = ReadSource(part.file);
    ASSERT_FALSE(text.empty()) << part.file << " not found";
    std::string updated = text;
    ASSERT_TRUE(ReplaceGeneratedPart(&updated, part.name, part.render()))
        << part.file << " lacks the markers of '" << part.name << "'";
    EXPECT_TRUE(updated == text) << part.file << ": the part '" << part.name
                                 << "' differs from the tables; run tools/wavora_doctables";
  }
  // Every keyword appears in each of them.
  const std::string manual = ReadSource("docs/usage.md");
  const std::string page = ReadSource("docs/wavora.1");
  for (const InputFormatInfo& entry : InputFormats()) {
    EXPECT_NE(manual.find(std::string("`") + entry.keyword + "`"), std::string::npos)
        << entry.keyword;
    EXPECT_NE(page.find(std::string("\\fB") + entry.keyword + "\\fR"), std::string::npos)
        << entry.keyword;
  }
}

TEST(HelpTables, ReplacesOnlyTheNamedPartBetweenItsMarkers) {
  const std::string text =
      "head\n<!-- BEGIN GENERATED: options2 x -->\nkeep\n<!-- END GENERATED: options2 -->\n"
      "<!-- BEGIN GENERATED: options x -->\nold\nold\n<!-- END GENERATED: options -->\ntail\n";
  std::string updated = text;
  ASSERT_TRUE(ReplaceGeneratedPart(&updated, "options", "new\n"));
  EXPECT_EQ(updated,
            "head\n<!-- BEGIN GENERATED: options2 x -->\nkeep\n<!-- END GENERATED: options2 -->\n"
            "<!-- BEGIN GENERATED: options x -->\nnew\n<!-- END GENERATED: options -->\ntail\n");
  // An END before its BEGIN, or none, changes nothing.
  for (std::string broken : {std::string("<!-- END GENERATED: formats -->\n<!-- BEGIN GENERATED: "
                                         "formats -->\nold\n"),
                             std::string("<!-- BEGIN GENERATED: formats -->\nold\n")}) {
    const std::string before = broken;
    EXPECT_FALSE(ReplaceGeneratedPart(&broken, "formats", "new\n"));
    EXPECT_EQ(broken, before);
  }
}

TEST(HelpTables, ManualPageEscapesHyphensAndKeepsMarkdownOut) {
  const std::string page = OptionsManPage() + FormatsManPage();
  EXPECT_NE(page.find("\\fB\\-clock\\fR \\fIMHz\\fR"), std::string::npos);
  EXPECT_NE(page.find("\\fB\\-help\\fR, \\fB\\-h\\fR, \\fB\\-\\-help\\fR"), std::string::npos);
  for (const char* markdown : {"`", "](#", "−", "×"})
    EXPECT_EQ(page.find(markdown), std::string::npos) << markdown;
  // Every line that roff could take for a request is one of ours.
  std::istringstream lines(page);
  std::string line;
  while (std::getline(lines, line)) {
    const bool request = !line.empty() && (line[0] == '.' || line[0] == '\'');
    EXPECT_TRUE(!request || line == ".TP") << line;
  }
}

}  // namespace
