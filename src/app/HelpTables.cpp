#include "app/HelpTables.h"

#include <cctype>
#include <cstring>
#include <string_view>
#include <utility>

#include "app/CommandLine.h"
#include "common/InputFormat.h"
#include "waveform/Export.h"

namespace {

// The separator line of 18 tabs between the blocks of the usage text.
constexpr const char* kUsageTabLine = "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n";

// The usage text before the options.
constexpr const char* kUsageHead[] = {
    kUsageTabLine,
    "<input file>\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n",
    "\t  If a file name is specified the application runs in single file\t\n",
    "\t  mode.\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n",
    kUsageTabLine,
    "<options>\t\t\t                                                    \n",
};
constexpr const char* kUsageTail =
    "                                                                      \n";

// "{version}" in a meaning stands for the version number.
constexpr std::string_view kVersionField = "{version}";
constexpr std::string_view kExportKindsField = "{export kinds}";

const OptionHelp kOptionHelp[] = {
    {"-indir", "directory", "directory mode: input directory (default: working directory)",
     "    -indir <input directory>   input directory                        \n", false},
    {"-outdir", "directory",
     "directory mode: output directory (default: working directory); it must exist, and the "
     "subdirectories of a recursive walk are mirrored in it",
     "    -outdir <output directory> output directory                       \n", false},
    {"-recursive", "", "directory mode: descend into subdirectories",
     "    -recursive                 recursively parse sub directories      \n", false},
    {"-ext", "extension",
     "directory mode: convert only names ending in `.` + extension (case-sensitive, at most 15 "
     "characters; a leading dot is taken off: `-ext .cf32` is `-ext cf32`)",
     "    -ext <file extension>      extension of valid input files         \n", true},
    {"-overwrite", "", "replace existing output files",
     "    -overwrite                 allow to overwrite destination files   \n", false},
    {"-out", "file",
     "single-file mode: the output file, used as given, relative to the working directory "
     "unless absolute (refused in directory mode and with more than one input); with `-export`, "
     "the exported file; `-` writes it to standard output",
     "    -out <output file>         output file of single file mode        \n", false},
    {"-clock", "MHz",
     "sample clock, more than 0.001 and at most 600 (required except for `kxzetq`, where it is "
     "the clock of a file without a CLOCK tag, and for `wav`, `sigmf` and `auto`, which take "
     "the rate the file carries; a given `-clock` wins over that rate)",
     "    -clock <clock rate MHz>    more than 0.001, at most 600           \n", true},
    {"-defaultclock", "MHz",
     "the clock of every file that carries no rate of its own (raw and ASCII files, a NumPy "
     "file, a MAT-file, a SigMF recording without `core:sample_rate`, a `kxzetq` file without "
     "CLOCK); "
     "never replaces a rate a file carries (`-clock` does); the settings table says which "
     "applies",
     "    -defaultclock <MHz>        clock of files that carry none         \n", false},
    {"-format", "keyword", "input format (required; see [the format table](#input-formats))",
     "    -format <input data format>                                       \n", true},
    {"-qfile", "file",
     "single-file mode: the second file (Q values) of a two-file format; without it the name "
     "comes from the input's (`sig_I.bin` gives `sig_Q.bin`)",
     "    -qfile <Q data file>       2nd file (Q data) of 2-file formats    \n", true},
    {"-var", "name",
     "the variable of a MAT-file to read (`mat`, or `auto` reading a MAT-file); without it the "
     "only numeric variable, else the first complex one; a name the file lacks is refused with "
     "a line that lists what the file holds",
     "    -var <name>                variable of a MAT-file (mat)           \n", false},
    {"-comment", "text", "COMMENT tag of the output (at most 511 characters)",
     "    -comment <\"comment\">        add optional comment                \n", true},
    {"-copyright", "text", "COPYRIGHT tag of the output (at most 511 characters)",
     "    -copyright <\"copyright\">    add optional copyright              \n", false},
    {"-gain", "dB",
     "gain applied to `kxzetq` input, a decimal number (with any other format: a warning that "
     "it has no effect)",
     "    -gain <gain/dB>               amplify weak signal (ZETQ only)     \n", true},
    {"-autoscale", "", "scale the signal up so that its peak reaches full scale",
     "    -autoscale                    scale level to full scale           \n", false},
    {"-peak", "dB",
     "scale the signal so that its peak lies that many dB below full scale (0 to 100; "
     "`-peak 1`: a peak at -1 dBFS)",
     "    -peak <dB>                    scale peak to <dB> below full scale \n", false},
    {"-rms", "dB",
     "scale the signal so that its RMS level lies that many dB below full scale (0 to 100); "
     "values driven beyond full scale are clipped and counted; only one of `-autoscale`, "
     "`-peak` and `-rms` may be given",
     "    -rms <dB>                     scale RMS to <dB> below full scale  \n", false},
    {"-threads", "count",
     "threads that encrypt and decrypt the temporary files, a whole number from 1 to 256 "
     "(default: one per processor core); above 1 the temporary files are also written behind "
     "and read ahead on threads of their own; 1 uses no extra thread; the output and the "
     "messages are the same for every count",
     "    -threads <count>              cipher threads (default: CPU cores) \n", true},
    {"-v", "level",
     "verbosity, an integer: 0 only severe errors, 1 errors (default), 2 warnings, 3 "
     "information",
     "    -v <verbose level>                                                \n"
     "        1 = errors only (default)                                     \n"
     "        2 = warnings                                                  \n"
     "        3 = information                                               \n",
     true},
    {"-batch", "",
     "no question and no wait for Enter: the run starts at once (also when input and output "
     "directory are the same) and a failed file does not stop a walk",
     "    -batch                     no questions, no wait for ENTER        \n", true},
    {"-q", "",
     "quiet (implies `-batch`): no banner, table, progress or information lines; only the "
     "`*** ` lines (with the indented lines that belong to them) are printed, on standard "
     "error, so `2>err.log` collects a script's errors",
     "    -q                         quiet: only the *** lines, on stderr   \n", false},
    {"-json", "",
     "with a conversion: one JSON result per input file on standard output, the log on "
     "standard error (see [Scripts](#scripts)); with `-info`: the reports as JSON",
     "    -json                      a JSON result per file on stdout       \n", false},
    {"-info", "",
     "report on each file named after it: of a waveform file the tags and the levels, DC and "
     "full-scale words measured from its words, also as the generator plays them; of any other "
     "input (found as `-format auto` finds it, or by `-format`) the format, pairs, clock, "
     "levels, DC, values beyond full scale and whether and why not it converts, in one pass "
     "that writes nothing; exit 0 when every file is sound or converts, 1 otherwise (see "
     "[Checking a file](#checking-a-file))",
     "    -info [-json] <file.wv> ...   report tags and measured levels     \n", true},
    {"-export", "kind",
     "after the input file: write its samples as {export kinds} (default name: the input's "
     "with the kind's extension; `-out` names another)",
     "    <file.wv> -export <cs16|cf32|wav|sigmf> [-out <file>]             \n"
     "                                  write the samples as another format \n",
     false},
    {"-preview", "file",
     "after the input file: draw the envelope of the whole file, a window of its I and Q "
     "samples with the markers, the constellation of every sample, the averaged spectrum with "
     "its strongest tones named, and the tags and levels as an SVG picture; the name must end "
     "in `.svg` (any letter case), and `-` writes the picture to standard output",
     "    <file.wv> -preview <file.svg> draw the waveform and spectrum      \n"
     "                                  [-range <start>:<count>] time window\n",
     false},
    {"-range", "start:count",
     "with `-preview`: the window of samples drawn, in pairs (default: about 20 periods of "
     "the strongest tone from the first pair)",
     "", false},
    {"-help, -h, --help", "",
     "print the usage text on standard output, exit 0 (on Windows `/?` does the same)",
     "    -help, -h, --help          show this text                         \n", true},
    {"-version, --version", "", "print `Wavora {version}`, exit 0",
     "    -version, --version        show the version                       \n", false},
};

// The keywords of a row: "-help, -h, --help" gives the three.
std::vector<std::string> Keywords(const OptionHelp& row) {
  std::vector<std::string> keywords;
  std::string_view rest = row.keywords;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(", ");
    keywords.emplace_back(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 2);
  }
  return keywords;
}

// The kinds of -export as Markdown: "`cs16`, `cf32`, `wav` or `sigmf`".
std::string ExportKindsMarkdown() {
  std::string list;
  const std::size_t count = std::size(kExportKinds);
  for (std::size_t k = 0; k < count; ++k) {
    if (k > 0) list += k + 1 == count ? " or " : ", ";
    list += std::string("`") + kExportKinds[k].keyword + "`";
  }
  return list;
}

// A meaning with its fields filled: "{version}" the version number,
// "{export kinds}" the kinds of the export table.
std::string WithVersion(std::string text) {
  const std::pair<std::string_view, std::string> fields[] = {
      {kVersionField, kVersionNumber}, {kExportKindsField, ExportKindsMarkdown()}};
  for (const auto& [field, value] : fields) {
    const std::size_t at = text.find(field);
    if (at != std::string::npos) text.replace(at, field.size(), value);
  }
  return text;
}

// A Markdown table cell: '|' would end it.
std::string Cell(std::string_view text) {
  std::string cell;
  for (char c : text) {
    if (c == '|') cell += '\\';
    cell += c;
  }
  return cell;
}

std::string CodeList(const std::vector<std::string>& words) {
  std::string list;
  for (const std::string& word : words) {
    if (!list.empty()) list += ", ";
    list += "`";
    list += word;
    list += "`";
  }
  return list;
}

// Roff text: backslashes and hyphens escaped, the minus and times signs spelt
// as roff glyphs.
std::string RoffPlain(std::string_view text) {
  std::string out;
  for (std::size_t k = 0; k < text.size(); ++k) {
    const std::string_view rest = text.substr(k);
    if (rest.starts_with("−")) {
      out += "\\-";
      k += std::strlen("−") - 1;
    } else if (rest.starts_with("×")) {
      out += "\\(mu";
      k += std::strlen("×") - 1;
    } else if (text[k] == '\\') {
      out += "\\e";
    } else if (text[k] == '-') {
      out += "\\-";
    } else {
      out += text[k];
    }
  }
  return out;
}

// One paragraph of the tables' Markdown as roff: `code` in bold, a link as
// its text.
std::string RoffFromMarkdown(std::string_view text) {
  std::string out;
  std::size_t k = 0;
  while (k < text.size()) {
    if (text[k] == '`') {
      const std::size_t end = text.find('`', k + 1);
      if (end != std::string_view::npos) {
        out += "\\fB" + RoffPlain(text.substr(k + 1, end - k - 1)) + "\\fR";
        k = end + 1;
        continue;
      }
    }
    if (text[k] == '[') {
      const std::size_t close = text.find("](", k);
      const std::size_t end = close == std::string_view::npos ? close : text.find(')', close);
      if (end != std::string_view::npos) {
        out += RoffPlain(text.substr(k + 1, close - k - 1));
        k = end + 1;
        continue;
      }
    }
    const std::size_t next = text.find_first_of("`[", k + 1);
    out += RoffPlain(text.substr(k, next == std::string_view::npos ? next : next - k));
    k = next == std::string_view::npos ? text.size() : next;
  }
  return out;
}

// A sentence for the manual page: capital first letter, final full stop.
std::string Sentence(std::string text) {
  if (!text.empty() && std::islower(static_cast<unsigned char>(text.front())))
    text.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(text.front())));
  if (!text.empty() && text.back() != '.') text += '.';
  return text;
}

const char* FilesOf(const InputFormatInfo& format) {
  if (format.reader == FormatReader::kDetect) return "";
  switch (format.companion) {
    case CompanionRule::kQFile:
      return "two";
    case CompanionRule::kMetaDataPair:
      return "pair";
    case CompanionRule::kNone:
      break;
  }
  return "one";
}

// The layout column; for auto, the names it knows, with their formats:
// "... its name (`.cf32` `.fc32` `f32le`; ...)".
std::string LayoutOf(const InputFormatInfo& format) {
  std::string layout = format.docLayout;
  if (format.reader != FormatReader::kDetect) return layout;
  std::string names;
  for (const InputFormatInfo& other : InputFormats()) {
    if (other.alias || *other.extensions == '\0') continue;
    if (!names.empty()) names += "; ";
    std::string_view rest = other.extensions;
    while (!rest.empty()) {
      const std::size_t blank = rest.find(' ');
      names += "`";
      names += rest.substr(0, blank);
      names += "` ";
      rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
    }
    names += "as `";
    names += other.keyword;
    names += "`";
  }
  return layout + " in any letter case (" + names + ")";
}

std::string ConversionOf(const InputFormatInfo& format) {
  return format.docConversion != nullptr ? format.docConversion
                                         : SampleTypeFormula(format.sampleType);
}

// One row of the format tables: a format, or all the aliases together.
struct FormatDocRow {
  std::vector<std::string> keywords;
  std::string files;
  std::string layout;  // Markdown
  std::string conversion;
};

std::vector<FormatDocRow> FormatDocRows() {
  std::vector<FormatDocRow> rows;
  std::size_t aliasRow = 0;
  for (const InputFormatInfo& format : InputFormats()) {
    if (!format.alias) {
      rows.push_back({{format.keyword}, FilesOf(format), LayoutOf(format), ConversionOf(format)});
      continue;
    }
    if (aliasRow == 0) {
      aliasRow = rows.size() + 1;
      rows.push_back({{}, "one", "other names of ", "as those"});
    }
    FormatDocRow& row = rows[aliasRow - 1];
    if (!row.keywords.empty()) row.layout += ", ";
    row.keywords.emplace_back(format.keyword);
    row.layout += std::string("`") + FindInputFormat(format.code)->keyword + "`";
  }
  return rows;
}

const GeneratedPart kGeneratedParts[] = {
    {"completion/wavora.bash", "lists", CompletionLists},
    {"docs/usage.md", "options", OptionTableMarkdown},
    {"docs/usage.md", "formats", FormatTableMarkdown},
    {"docs/wavora.1", "options", OptionsManPage},
    {"docs/wavora.1", "formats", FormatsManPage},
};

}  // namespace

std::span<const OptionHelp> OptionHelpTable() { return kOptionHelp; }

std::vector<std::string> UsageBodyLines() {
  std::vector<std::string> lines(std::begin(kUsageHead), std::end(kUsageHead));
  for (const OptionHelp& row : kOptionHelp) {
    if (row.blockBefore) lines.emplace_back(kUsageTabLine);
    std::string_view usage = row.usage;
    while (!usage.empty()) {
      const std::size_t end = usage.find('\n');
      lines.emplace_back(usage.substr(0, end + 1));
      usage.remove_prefix(end + 1);
    }
    if (std::strcmp(row.keywords, "-format") == 0)
      for (const std::string& line : FormatUsageLines()) lines.push_back(line);
  }
  lines.emplace_back(kUsageTail);
  return lines;
}

std::string OptionTableMarkdown() {
  std::string table = "| Option | Value | Meaning |\n|---|---|---|\n";
  for (const OptionHelp& row : kOptionHelp) {
    table += "| " + CodeList(Keywords(row)) + " | " + Cell(row.value) + " | " +
             Cell(WithVersion(row.meaning)) + " |\n";
  }
  return table;
}

std::string FormatTableMarkdown() {
  std::string table =
      "| Keyword | Files | Layout | Conversion to full scale (1.0) |\n"
      "|---|---|---|---|\n";
  for (const FormatDocRow& row : FormatDocRows())
    table += "| " + CodeList(row.keywords) + " | " + row.files + " | " + Cell(row.layout) + " | " +
             Cell(row.conversion) + " |\n";
  return table;
}

std::string OptionsManPage() {
  std::string page;
  for (const OptionHelp& row : kOptionHelp) {
    page += ".TP\n";
    std::string head;
    for (const std::string& keyword : Keywords(row)) {
      if (!head.empty()) head += ", ";
      head += "\\fB" + RoffPlain(keyword) + "\\fR";
    }
    if (*row.value != '\0') head += " \\fI" + RoffPlain(row.value) + "\\fR";
    page += head + "\n" + RoffFromMarkdown(Sentence(WithVersion(row.meaning))) + "\n";
  }
  return page;
}

std::string FormatsManPage() {
  std::string page;
  for (const FormatDocRow& row : FormatDocRows()) {
    std::string names;
    for (const std::string& keyword : row.keywords)
      names += (names.empty() ? "\\fB" : ", \\fB") + RoffPlain(keyword) + "\\fR";
    page += ".TP\n" + names + "\n" + RoffFromMarkdown(Sentence(row.layout)) + "\n" +
            (row.files.empty() ? std::string() : "Files: " + row.files + ". ") +
            "To full scale: " + RoffFromMarkdown(row.conversion) + ".\n";
  }
  return page;
}

// A shell assignment of the words, wrapped before 100 columns.
std::string ShellList(const char* name, const std::vector<std::string>& words) {
  std::string text = std::string(name) + "=\"";
  std::size_t column = text.size();
  for (std::size_t k = 0; k < words.size(); ++k) {
    if (k > 0 && column + 1 + words[k].size() > 99) {
      text += "\n  ";
      column = 2;
    } else if (k > 0) {
      text += ' ';
      ++column;
    }
    text += words[k];
    column += words[k].size();
  }
  return text + "\"\n";
}

std::string CompletionLists() {
  std::vector<std::string> options, formats, kinds;
  for (const OptionHelp& row : kOptionHelp)
    for (std::string& keyword : Keywords(row)) options.push_back(std::move(keyword));
  for (const InputFormatInfo& format : InputFormats()) formats.emplace_back(format.keyword);
  for (const ExportKindInfo& kind : kExportKinds) kinds.emplace_back(kind.keyword);
  return ShellList("_wavora_options", options) + ShellList("_wavora_formats", formats) +
         ShellList("_wavora_export_kinds", kinds);
}

std::span<const GeneratedPart> GeneratedParts() { return kGeneratedParts; }

bool ReplaceGeneratedPart(std::string* text, const std::string& name, const std::string& content) {
  const std::string begin = "BEGIN GENERATED: " + name;
  const std::string end = "END GENERATED: " + name;
  // "options" must not find "options2": the name ends at a blank or the line's end.
  std::size_t beginAt = 0;
  for (;; beginAt += begin.size()) {
    beginAt = text->find(begin, beginAt);
    if (beginAt == std::string::npos) return false;
    const std::size_t after = beginAt + begin.size();
    if (after == text->size() || (*text)[after] == ' ' || (*text)[after] == '\n') break;
  }
  const std::size_t bodyAt = text->find('\n', beginAt);
  if (bodyAt == std::string::npos) return false;
  const std::size_t endAt = text->find(end, bodyAt);
  if (endAt == std::string::npos) return false;
  const std::size_t endLine = text->rfind('\n', endAt);
  if (endLine == std::string::npos || endLine < bodyAt) return false;
  text->replace(bodyAt + 1, endLine + 1 - (bodyAt + 1), content);
  return true;
}
