#include "ducking.h"

#include "audio/decimal.h"
#include "audio/diagnostics.h"
#include "audio/session_table.h"
#include "audio/volume_fader.h"
#include "keeper.h"
#include "name_match.h"
#include "lowered_through_memory.h"
#include "restore.h"
#include "saved_volumes.h"
#include "shared_turn.h"
#include "spare.h"

#include <climits>
#include <cstdio>

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

// Where a duck leaves an entry, from and to shares of its own level; false
// when it is not this duck's to move.
bool plan_entry(SharedTurn& turn, int k, const Utf16Char* names, float share, int* bajados)
{
    RampArrays& ramp = ramp_arrays();
    const SessionEntry& entry = session_at(k);
    ramp.from[k] = -1.0f;
    // A wildcard passes over what this controller spared; a name written
    // out in full does not.
    const NameMatch match = name_list_match(entry.exe_name, names);
    if (match == NameMatch::kNone || (match == NameMatch::kWildcard && spared(entry))) {
        // Another controller that ended left it to go up.
        return moved_target(turn, entry, &ramp.from[k], &ramp.to[k], &ramp.own[k]);
    }
    // Targets are shares of each session's own level from before its first
    // duck, so ducks do not compound; beside other controllers, the least
    // share any of them holds, of the original the first of them read.
    SavedSession* saved = find_saved(entry.pid, entry.instance);
    if (!saved)
        saved = save_session(entry, shared_original(turn, entry.pid, entry.instance));
    // Nothing that could not be restored is lowered.
    if (!saved)
        return false;
    ramp.from[k] = current_share(*saved, entry.volume);
    ramp.to[k] = hold(turn, *saved, share);
    ramp.own[k] = &saved->own.level;
    note_ramp(*saved, ramp.from[k], ramp.to[k]);
    note_shared_ramp(turn, *saved, ramp.from[k], ramp.to[k]);
    *bajados = 1;
    return true;
}

// Under APPDUCK_DEBUG, a duck that matched nothing names what it saw, once
// each: the names `duck` takes (a Linux player is often not called as its
// package is: paplay plays as pacat).
void say_nothing_matched(const Utf16Char* names)
{
    char wanted[256];
    if (utf16_to_utf8(names, wanted, sizeof wanted) <= 0)
        wanted[0] = 0;
    static char seen[400];
    int length = 0;
    seen[0] = 0;
    for (int k = 0; k < session_count(); ++k) {
        const SessionEntry& entry = session_at(k);
        bool again = false;
        for (int i = 0; i < k && !again; ++i)
            again = compare_text_nocase(session_at(i).exe_name, entry.exe_name) == 0;
        char exe[3 * kMaxExeName];
        if (again || utf16_to_utf8(entry.exe_name, exe, sizeof exe) <= 0)
            continue;
        const int added = std::snprintf(seen + length, sizeof seen - static_cast<size_t>(length),
                                        "%s%s", length ? ", " : "", exe[0] ? exe : "(no name)");
        if (added < 0 || length + added >= static_cast<int>(sizeof seen))
            break;  // the rest do not fit on the line
        length += added;
    }
    diagnose("duck matched nothing for \"%s\"; the sessions' executables: %s", wanted,
             length ? seen : "none");
}

// What another controller that ended left to this one, when nothing of its
// own is saved: only in a turn that is free at once, for whoever holds it
// does the same.
void lift_ended_holders()
{
    SharedTurn turn = take_turn(TurnWait::kIfFree);
    if (anything_moved(turn) && enumerate_sessions()) {
        RampArrays& ramp = ramp_arrays();
        for (int k = 0; k < session_count(); ++k) {
            ramp.from[k] = -1.0f;
            moved_target(turn, session_at(k), &ramp.from[k], &ramp.to[k], &ramp.own[k]);
        }
        publish(turn);
        fade_volumes(ramp.from, ramp.to, ramp.own, session_count());
    }
    release_settled(turn);
    give_turn(turn);
}

}  // namespace

int duck_sessions(const char* line)
{
    const int percent = parse_percent(line + kDuckPrefix);
    Utf16Char names[kNamesText];
    read_names(line, names);
    const float share = duck_level(percent);
    // Levels are read and changed in the shared turn, so that another
    // controller's ramp is never taken for an original.
    SharedTurn turn = take_turn(TurnWait::kPatiently);
    rebuild_for_change(turn);
    const int count = session_count();
    int bajados = 0;
    bool moves = false;
    for (int k = 0; k < count; ++k)
        moves = plan_entry(turn, k, names, share, &bajados) || moves;
    bool confirmed = true;
    if (moves) {
        // The keeper and the other controllers learn what is saved before
        // anything is lowered, so a kill during the ramp leaves them able
        // to restore.
        update_keeper();
        publish(turn);
        RampArrays& ramp = ramp_arrays();
        static bool brought[kMaxSaved];
        for (int i = 0; i < kMaxSaved; ++i)
            brought[i] = i < saved_count();
        confirmed = fade_volumes(ramp.from, ramp.to, ramp.own, count) &&
                    settle_latecomers(turn, false, brought);
    }
    give_turn(turn);
    if (bajados == 0)
        say_nothing_matched(names);
    // Like a restore's, the reply means the platform has every level: a
    // stalled server is given the restore's patience.
    if (!confirmed)
        bring_saved_sessions_patiently(false);
    return bajados;
}

void restore_command(const char*)
{
    // With nothing saved, nothing waits: only what an ended controller left
    // is lifted, when the turn is free. What is still saved afterwards is
    // the next restore's, or the keeper's.
    if (nothing_saved() && unwritten_release_count() == 0)
        lift_ended_holders();
    // Another controller may have held a session for this one meanwhile;
    // and a release made without the turn waits for it, to be written
    // and to bring its sessions where the others' holds leave them.
    if (!nothing_saved() || unwritten_release_count() > 0)
        bring_saved_sessions_patiently(true);
}
