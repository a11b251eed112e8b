#include "audio/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool enabled()
{
    static int state = -1;  // not yet looked up; the program has one thread
    if (state < 0) {
        const char* value = std::getenv("APPDUCK_DEBUG");
        state = value && std::strcmp(value, "1") == 0 ? 1 : 0;
    }
    return state == 1;
}

}  // namespace

void diagnose(const char* format, ...)
{
    if (!enabled())
        return;
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    // One write per line, so lines of the program and its keeper never mix.
    std::fprintf(stderr, "appduck: %s\n", line);
    std::fflush(stderr);
}
