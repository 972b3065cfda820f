// Compiler differences, kept out of the rest of the code.
#pragma once

// Lets the compiler check printf-style arguments (argument positions count
// the implicit `this` of member functions as 1).
#if defined(__GNUC__) || defined(__clang__)
#define DORVANE_PRINTF_FORMAT(format_index, first_arg) __attribute__((format(printf, format_index, first_arg)))
#else
#define DORVANE_PRINTF_FORMAT(format_index, first_arg)
#endif
