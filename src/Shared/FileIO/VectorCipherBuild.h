// Which builds compile the vector paths of the cipher: GCC and clang on
// x86-64 (Linux, and the MinGW build for Windows), whose per-function target
// attributes let one program hold them beside the portable lanes and choose
// at run time. Other builds keep the portable lanes alone.
#pragma once

#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
#define WAVORA_VECTOR_CIPHER 1
#endif
