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
        // Any value but none, an empty one and "0" turns it on.
        state = value && *value && std::strcmp(value, "0") != 0 ? 1 : 0;
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
    // One write per line: a controller reading our standard error line by
    // line never gets half of one. (The keeper's standard error is
    // /dev/null.)
    std::fprintf(stderr, "appduck: %s\n", line);
    std::fflush(stderr);
}
