// The inspection modes of the command line: -info (tags and measured
// figures of waveform files, as text or JSON), -export (samples as cs16, cf32,
// wav or sigmf) and -preview (an SVG picture). They run without banner,
// settings table, questions or exit prompt.
#pragma once

#include "app/Settings.h"

// Runs the inspection the settings select (settings.run is not kConvert) and
// returns its exit code:
//   wavora -info [-json] <file.wv> [<file.wv> ...]
//   wavora <file.wv> -export <cs16|cf32|wav|sigmf> [-out <file>] [-overwrite]
//   wavora <file.wv> -preview <file.svg> [-overwrite]
// The command line has been checked by the option table; -v sets the log
// level as for a conversion.
int RunInspection(const ConversionSettings& settings);
