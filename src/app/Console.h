// The console side of logging and progress: the sink that prints log lines
// and the in-place progress bar.
#pragma once

#include <cstdio>
#include <string>

#include "common/Log.h"

// The console sink: ends a shown bar first, then prints "> %s\n".
void PrintLogLine(const std::string& line);

// The quiet sink (-q): the text of each "*** " line, and of the indented
// lines right after one, to standard error; nothing else.
void PrintQuietRecord(const LogRecord& record);

// Draws the bar for a whole percentage (above 100 counts as 100), or ends it
// with a line break when the value is negative.
void ShowProgress(int percent);

// Switches the bar on or off (on until switched). While off, ShowProgress
// prints nothing at all, not even the line break that ends a bar: the bar is
// drawn for a terminal, and a log file gets only the other console text.
void EnableProgressBar(bool enabled);

// The stream a conversion with -json writes its per-file results to (what
// standard output was before the run's other lines were sent to standard
// error); nullptr when there is none.
void SetResultStream(std::FILE* stream);
std::FILE* ResultStream();
