#include "ducking.h"

#include "app/json_writer.h"
#include "audio/session_table.h"
#include "audio/volume_fader.h"
#include "name_match.h"

#include <climits>

namespace {

constexpr int kDuckPrefix = 5;  // "duck "

SavedVolume g_saved[kMaxSaved];
int g_saved_count = 0;

// The ramp, indexed like the session table; a negative start leaves the
// entry alone.
float g_from[kMaxSessions];
float g_to[kMaxSessions];

const SavedVolume* find_saved(uint32_t pid)
{
    for (int i = 0; i < g_saved_count; ++i) {
        if (g_saved[i].pid == pid)
            return &g_saved[i];
    }
    return nullptr;
}

bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads the percentage as atoi does (white space, a sign, digits), except
// that a number too large for an int saturates instead of being undefined.
int parse_percent(const char* text)
{
    while (is_space(*text))
        ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (value <= INT_MAX)
            value = value * 10 + (*text - '0');
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

float duck_level(int percent)
{
    if (percent < 0)
        return 0.0f;
    if (percent > 100)
        return 1.0f;
    return static_cast<float>(percent) / 100.0f;
}

// The names are the text after the first space that follows the prefix;
// with two spaces after "duck" that space is the first, so the names then
// begin with the percentage. A text longer than the matcher looks at keeps
// its first 2047 units, cut between characters, on every platform alike.
void read_names(const char* line, Utf16Char* names)
{
    names[0] = 0;
    const char* space = line + kDuckPrefix;
    while (*space && *space != ' ')
        ++space;
    if (!*space)
        return;
    // A line holds at most 4095 bytes and no byte becomes more than one
    // unit, so the whole text always fits here.
    Utf16Char whole[4096];
    if (utf8_to_utf16(space + 1, whole, 4096) <= 0)
        return;
    int length = 0;
    while (length < kNamesText - 1 && whole[length])
        ++length;
    if (whole[length] != 0 && whole[length - 1] >= 0xD800 && whole[length - 1] <= 0xDBFF)
        --length;  // do not split a surrogate pair
    for (int i = 0; i < length; ++i)
        names[i] = whole[i];
    names[length] = 0;
}

void reply_ok()
{
    emit("{\"ok\":true}");
    end_reply();
}

void restore_volumes()
{
    enumerate_sessions();
    const int count = session_count();
    for (int k = 0; k < count; ++k) {
        const SessionEntry& entry = session_at(k);
        const SavedVolume* saved = find_saved(entry.pid);
        g_from[k] = saved ? entry.volume : -1.0f;
        g_to[k] = saved ? saved->volume : 0.0f;
    }
    // Also when every ducked application has ended: the controller waits
    // for the ramp's time either way.
    fade_volumes(g_from, g_to, count);
    g_saved_count = 0;
    reply_ok();
}

}  // namespace

void duck_sessions(const char* line)
{
    const int percent = parse_percent(line + kDuckPrefix);
    Utf16Char names[kNamesText];
    read_names(line, names);
    enumerate_sessions();
    const float level = duck_level(percent);

    const int count = session_count();
    int bajados = 0;
    for (int k = 0; k < count; ++k) {
        g_from[k] = -1.0f;
        const SessionEntry& entry = session_at(k);
        if (!name_list_matches(entry.exe_name, names))
            continue;
        // Targets come from the volume before the first duck, so ducks do
        // not compound and every session of a process shares it.
        const SavedVolume* saved = find_saved(entry.pid);
        if (!saved) {
            // Nothing that could not be restored is lowered.
            if (g_saved_count == kMaxSaved)
                continue;
            g_saved[g_saved_count] = {entry.pid, entry.volume};
            saved = &g_saved[g_saved_count++];
        }
        g_from[k] = entry.volume;
        g_to[k] = saved->volume * level;
        bajados = 1;
    }
    if (bajados)
        fade_volumes(g_from, g_to, count);
    emit("{\"ok\":true,\"bajados\":%d}", bajados);
    end_reply();
}

void restore_command(const char*)
{
    if (g_saved_count == 0) {
        reply_ok();
        return;
    }
    restore_volumes();
}

void end_of_input_action()
{
    if (g_saved_count == 0)
        reply_ok();
    else
        restore_volumes();
}
