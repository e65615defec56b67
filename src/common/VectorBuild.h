// Which builds compile the vector paths chosen at run time (the cipher, the
// word conversion): GCC and clang on x86-64 (Linux, and the MinGW build for
// Windows), whose per-function target attributes let one program hold them
// beside the portable code and choose by what the processor has. Other
// builds keep the portable code alone.
#pragma once

#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
#define WAVORA_VECTOR_PATHS 1
#endif
