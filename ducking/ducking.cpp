#include "ducking.h"

#include "audio/decimal.h"
#include "audio/session_table.h"
#include "audio/volume_fader.h"
#include "keeper.h"
#include "name_match.h"
#include "saved_volumes.h"
#include "sharing.h"

#include <climits>

namespace {

constexpr int kDuckPrefix = 5;  // "duck "

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
    const uint64_t digits = read_decimal_digits(text, nullptr);
    if (digits > INT_MAX)
        return negative ? INT_MIN : INT_MAX;
    const int value = static_cast<int>(digits);
    return negative ? -value : value;
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
    // A line holds at most kLineBuffer - 1 bytes and no byte becomes more
    // than one unit, so the whole text always fits here.
    Utf16Char whole[kLineBuffer];
    if (utf8_to_utf16(space + 1, whole, kLineBuffer) <= 0)
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

// A restore that reached no platform, or whose changes were not confirmed,
// tries again: a server stalled for a few seconds gets its streams back
// before the reply. The keeper hears of the outcome either way.
void restore_patiently()
{
    update_keeper();
    const uint64_t began = monotonic_ms();
    while (!restore_saved_volumes() && monotonic_ms() - began < kRestorePatienceMs)
        sleep_until(monotonic_ms() + kRestoreRetryMs);
    update_keeper();
}

}  // namespace

int duck_sessions(const char* line)
{
    const int percent = parse_percent(line + kDuckPrefix);
    Utf16Char names[kNamesText];
    read_names(line, names);
    // Levels are read and changed in the shared turn, so that another
    // controller's ramp is never taken for an original.
    const bool shared = begin_shared_change();
    if (enumerate_sessions())
        adopt_sessions_lowered_through_memory();
    const float share = duck_level(percent);

    const int count = session_count();
    // A negative start leaves the entry alone.
    RampArrays& ramp = ramp_arrays();
    int bajados = 0;
    bool moves = false;
    for (int k = 0; k < count; ++k) {
        ramp.from[k] = -1.0f;
        const SessionEntry& entry = session_at(k);
        if (!name_list_matches(entry.exe_name, names)) {
            // Another controller that ended left it to go up.
            if (shared && shared_target(entry, &ramp.from[k], &ramp.to[k], &ramp.own[k]))
                moves = true;
            continue;
        }
        // Targets are shares of each session's own level from before its
        // first duck, so ducks do not compound; beside other controllers,
        // the least share any of them holds.
        SavedSession* saved = find_saved(entry.pid, entry.instance);
        if (!saved)
            saved = save_session(entry, share);
        // Nothing that could not be restored is lowered.
        if (!saved)
            continue;
        const float target = hold_shared(*saved, share);
        set_share(*saved, target);
        ramp.from[k] = current_share(*saved, entry.volume);
        ramp.to[k] = target;
        ramp.own[k] = &saved->own.level;
        bajados = 1;
    }
    if (bajados || moves) {
        // The keeper and the other controllers learn what is saved before
        // anything is lowered, so a kill during the ramp leaves them able
        // to restore.
        update_keeper();
        publish_shared_holds();
        fade_volumes(ramp.from, ramp.to, ramp.own, count);
    }
    end_shared_change();
    return bajados;
}

void restore_command(const char*)
{
    // With nothing saved, nothing is rebuilt and nothing waits. What is
    // still saved afterwards is the next restore's, or the keeper's.
    if (!nothing_saved())
        restore_patiently();
}
