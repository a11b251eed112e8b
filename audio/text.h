// UTF-16 text and the services that convert and compare it: the platform's
// own on Windows (audio/windows/text.cpp), made to behave the same elsewhere
// (audio/linux/text.cpp).
#pragma once

// Windows calls take wchar_t; elsewhere wchar_t is 32 bits wide.
#ifdef _WIN32
using Utf16Char = wchar_t;
#define UTF16_LITERAL(text) L##text
#else
using Utf16Char = char16_t;
#define UTF16_LITERAL(text) u##text
#endif

// An executable file name: at most 259 units and a terminator.
constexpr int kMaxExeName = 260;

// Text services. Conversions take NUL-terminated input, replace invalid
// input and lone surrogates with U+FFFD, and return the units (bytes)
// written including the terminator, or 0 when the result does not fit.
int utf8_to_utf16(const char* text, Utf16Char* out, int capacity);
int utf16_to_utf8(const Utf16Char* text, char* out, int capacity);
// Locale-aware, case-insensitive: folds every letter, not only ASCII.
int compare_text_nocase(const Utf16Char* a, const Utf16Char* b);
// Copies at most capacity - 1 units and always terminates.
void copy_text_bounded(Utf16Char* out, const Utf16Char* text, int capacity);
// The C runtime's comparisons in its default locale: fold only A to Z.
int compare_ascii_nocase(const Utf16Char* a, const Utf16Char* b);
int compare_ascii_nocase_n(const Utf16Char* a, const Utf16Char* b, int count);
