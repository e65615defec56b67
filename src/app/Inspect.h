// The inspection modes of the command line: -info (tags and measured
// figures of waveform files, as text or JSON), -export (samples as cs16, cf32,
// wav or sigmf) and -preview (an SVG picture). They run without banner,
// settings table, questions or exit prompt.
#pragma once

// True when the arguments select an inspection mode, which has then run;
// *exitCode holds its exit code. False leaves the arguments to the
// conversion's own scan.
//   wavora -info [-json] <file.wv> [<file.wv> ...]
//   wavora <file.wv> -export <cs16|cf32|wav|sigmf> [-out <file>] [-overwrite]
//   wavora <file.wv> -preview <file.svg> [-overwrite]
bool RunInspectionMode(int argc, char** argv, int* exitCode);
