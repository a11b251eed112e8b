#include "json_writer.h"

#include <cstdarg>
#include <cstdio>

namespace {
constexpr int kJsonTextBytes = 1024;
}

void emit(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

void emit_json_string(const Utf16Char* text)
{
    char utf8[kJsonTextBytes];
    if (utf16_to_utf8(text, utf8, kJsonTextBytes) <= 0)
        utf8[0] = 0;
    std::putchar('"');
    for (const char* p = utf8; *p; ++p) {
        const unsigned char byte = static_cast<unsigned char>(*p);
        if (byte == '"' || byte == '\\') {
            std::putchar('\\');
            std::putchar(byte);
        } else if (byte < 0x20) {
            emit("\\u%04x", byte);
        } else {
            std::putchar(byte);
        }
    }
    std::putchar('"');
}

void end_reply()
{
    std::putchar('\n');
    std::fflush(stdout);
}
