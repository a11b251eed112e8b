#include "ducking/name_match.h"

namespace {

bool is_delimiter(Utf16Char unit)
{
    return unit == ';' || unit == '|' || unit == ',';
}

// exe_name equals the length units at token, ignoring ASCII case.
bool equals_token(const Utf16Char* exe_name, const Utf16Char* token, int length)
{
    return compare_ascii_nocase_n(exe_name, token, length) == 0 && exe_name[length] == 0;
}

bool token_matches(const Utf16Char* exe_name, const Utf16Char* token, int length)
{
    if (token[length - 1] == '*') {
        // A lone `*` compares nothing and so names every executable.
        return compare_ascii_nocase_n(exe_name, token, length - 1) == 0;
    }
    if (equals_token(exe_name, token, length))
        return true;
    // The implied suffix: "player" names "player.exe". A token too long to
    // carry it names nothing this way, since no executable name is longer.
    constexpr int kSuffix = 4;
    if (length + kSuffix > kMaxExeName - 1)
        return false;
    return compare_ascii_nocase_n(exe_name, token, length) == 0 &&
           compare_ascii_nocase(exe_name + length, UTF16_LITERAL(".exe")) == 0;
}

}  // namespace

bool name_list_matches(const Utf16Char* exe_name, const Utf16Char* names)
{
    return name_list_match(exe_name, names) != NameMatch::kNone;
}

NameMatch name_list_match(const Utf16Char* exe_name, const Utf16Char* names)
{
    NameMatch match = NameMatch::kNone;
    int end = 0;
    while (end < kNamesText - 1 && names[end])
        ++end;
    int start = 0;
    while (start < end) {
        int stop = start;
        while (stop < end && !is_delimiter(names[stop]))
            ++stop;
        // Only spaces are trimmed: a tab next to a name is part of it.
        int first = start;
        int last = stop;
        while (first < last && names[first] == ' ')
            ++first;
        while (last > first && names[last - 1] == ' ')
            --last;
        if (last > first && token_matches(exe_name, names + first, last - first)) {
            if (names[last - 1] != '*')
                return NameMatch::kWrittenOut;
            match = NameMatch::kWildcard;
        }
        start = stop + 1;
    }
    return match;
}
