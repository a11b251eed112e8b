// Does a `duck` command's list of application names name this executable?
#pragma once

#include "audio/text.h"

// The names text the matcher looks at: at most 2047 units and a terminator.
constexpr int kNamesText = 2048;

// names: tokens separated by `;`, `|` or `,`, each trimmed of spaces. A token
// matches the executable name itself or with ".exe" added, ignoring the case
// of A to Z only; a token ending in `*` matches every name it begins.
bool name_list_matches(const Utf16Char* exe_name, const Utf16Char* names);

// How a names text names an executable: not at all, only through a
// wildcard, or by a name written out in full (the strongest that applies).
enum class NameMatch { kNone, kWildcard, kWrittenOut };
NameMatch name_list_match(const Utf16Char* exe_name, const Utf16Char* names);
