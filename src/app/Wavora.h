// The program entry: banner, command line, questions, stream start-up, and
// single-file or directory conversion. Returns the process exit code.
#pragma once

int RunWavora(int argc, char** argv);

// Asks a y/n question: prints the prompt, reads keys without echo until "y",
// "n", carriage return or a key that reads as 0, prints "\n\n" and returns the
// accepted key ('y', 'n', 13 or 0).
int AskQuestion(const char* prompt);
