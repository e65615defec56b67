// The help of every option and format in one place: the usage text, the
// manual's option and format tables (docs/usage.md), the OPTIONS and FORMATS
// sections of the manual page (docs/wavora.1) and the lists of the bash
// completion are all drawn from the option help table below, the format
// table (common/InputFormat.h) and the export kinds (waveform/Export.h).
// tools/wavora_doctables writes the generated parts of the documents; a test
// fails when they differ from what these tables give.
#pragma once

#include <span>
#include <string>
#include <vector>

struct OptionHelp {
  // The spellings shown together, the first being the option's own keyword:
  // "-help, -h, --help".
  const char* keywords;
  const char* value;    // the name of the value, "" for a switch
  const char* meaning;  // Markdown, one paragraph: `code` and [text](#anchor) only
  // The usage text's lines for it, each ending in a line feed, exactly as
  // printed; "" when another option's lines name it.
  const char* usage;
  bool blockBefore;  // the usage text's separator line comes before these lines
};

// Every option, in the order of the usage text. Each keyword of the command
// line's option table is named in exactly one row.
std::span<const OptionHelp> OptionHelpTable();

// The usage text's lines after its first: the input-file block, the options
// with the format lines after -format, and the closing blank line.
std::vector<std::string> UsageBodyLines();

// The parts of the documents drawn from the tables.
std::string OptionTableMarkdown();
std::string FormatTableMarkdown();
std::string OptionsManPage();
std::string FormatsManPage();
// The option, format and export kind lists of the bash completion.
std::string CompletionLists();

// One generated part of a document: the lines between a line holding
// "BEGIN GENERATED: <name>" and the next holding "END GENERATED: <name>".
struct GeneratedPart {
  const char* file;  // relative to the source root
  const char* name;
  std::string (*render)();
};
std::span<const GeneratedPart> GeneratedParts();

// The text with the named part replaced by content; false (text unchanged)
// when the markers are missing or out of order.
bool ReplaceGeneratedPart(std::string* text, const std::string& name, const std::string& content);
