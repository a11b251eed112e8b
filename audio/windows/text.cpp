// Text services on Windows: the kernel's conversions and comparisons and the
// C runtime's ASCII-only ones, exactly as the platform provides them.
#include "audio/text.h"

#include <windows.h>
#include <wchar.h>

int utf8_to_utf16(const char* text, Utf16Char* out, int capacity)
{
    return MultiByteToWideChar(CP_UTF8, 0, text, -1, out, capacity);
}

int utf16_to_utf8(const Utf16Char* text, char* out, int capacity)
{
    return WideCharToMultiByte(CP_UTF8, 0, text, -1, out, capacity, nullptr, nullptr);
}

int compare_text_nocase(const Utf16Char* a, const Utf16Char* b)
{
    return lstrcmpiW(a, b);
}

void copy_text_bounded(Utf16Char* out, const Utf16Char* text, int capacity)
{
    lstrcpynW(out, text, capacity);
}

int compare_ascii_nocase(const Utf16Char* a, const Utf16Char* b)
{
    return _wcsicmp(a, b);
}

int compare_ascii_nocase_n(const Utf16Char* a, const Utf16Char* b, int count)
{
    return _wcsnicmp(a, b, static_cast<size_t>(count));
}
