#include "ducking/ducking.h"

#include "audio/decimal.h"
#include "audio/diagnostics.h"
#include "audio/volume_fader.h"
#include "ducking/change_steps.h"
#include "ducking/name_match.h"
#include "ducking/restore.h"
#include "ducking/users_hand.h"

#include <climits>
#include <cstdio>

namespace {

constexpr int kDuckPrefix = 5;  // "duck "
// Fewer bytes than a command line can hold: a names text of them converts
// whole.
constexpr int kLongestNamesLine = 2 * kNamesText;

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
    // A command line holds fewer bytes than this, and no byte becomes more
    // than one unit, so the whole text always fits here.
    Utf16Char whole[kLongestNamesLine];
    if (utf8_to_utf16(space + 1, whole, kLongestNamesLine) <= 0)
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

// The duck's ramp, by table entry: each matched session from where it is
// to the least share held on it, beside the others' holds, of its own
// level from before its first duck (so ducks do not compound); sessions a
// dropped holder left, to their new least. `bajados`: whether any matched.
struct DuckPlan {
    RampPlan ramp;
    int bajados;
    bool moves;
};

DuckPlan plan_duck(Controller& controller, SharedTurn& turn, const Utf16Char* names, float share)
{
    const SessionTable& sessions = controller.sessions;
    DuckPlan plan{plan_nothing(sessions), 0, false};
    for (int k = 0; k < plan.ramp.count; ++k) {
        const SessionEntry& entry = session_at(sessions, k);
        // A wildcard passes over what this controller spared; a name written
        // out in full does not.
        const NameMatch match = name_list_match(entry.exe_name, names);
        if (match == NameMatch::kNone ||
            (match == NameMatch::kWildcard && is_spared(controller.spared, sessions, entry))) {
            // Another controller that ended left it to go up.
            const Move move = moved_target(turn, entry);
            if (move.moves) {
                plan.ramp.from[k] = move.from;
                plan.ramp.to[k] = move.to;
                plan.ramp.own[k] = move.own;
                plan.moves = true;
            }
            continue;
        }
        SavedSession* record = find_saved(controller.saved, entry.pid, entry.instance);
        if (!record)
            record = save_session(controller.saved, entry,
                                  shared_original(turn, entry.pid, entry.instance));
        // Nothing that could not be restored is lowered.
        if (!record)
            continue;
        claim(turn, *record);
        plan.ramp.from[k] = current_share(*record, entry.volume);
        plan.ramp.to[k] = hold(turn, *record, share);
        plan.ramp.own[k] = &record->own.level;
        plan.ramp.own_volume[k] = watched_volume(entry, *record);
        note_ramp(controller.saved, *record, plan.ramp.from[k], plan.ramp.to[k]);
        note_shared_ramp(turn, *record, plan.ramp.from[k], plan.ramp.to[k]);
        plan.bajados = 1;
        plan.moves = true;
    }
    return plan;
}

// What another controller that ended left to this one, when nothing of its
// own is saved: only in a turn that is free at once, for whoever holds it
// does the same.
void lift_ended_holders(Controller& controller)
{
    SharedTurn turn = take_turn(controller.sharing, controller.saved, TurnWait::kIfFree);
    bool brought = true;
    if (anything_moved(turn) && enumerate_sessions(controller.sessions)) {
        leave_what_others_set(controller, turn);
        RampPlan plan = plan_nothing(controller.sessions);
        for (int k = 0; k < plan.count; ++k) {
            const Move move = moved_target(turn, session_at(controller.sessions, k));
            if (move.moves) {
                plan.from[k] = move.from;
                plan.to[k] = move.to;
                plan.own[k] = move.own;
            }
        }
        publish(turn);
        Brought none{};
        brought = fade_volumes(controller.sessions, plan) &&
                  settle_latecomers(controller, turn, true, none);
    }
    release_taken_over(turn, brought);
    release_settled(turn);
    give_turn(turn);
}

// Under APPDUCK_DEBUG, a duck that matched nothing names what it saw, once
// each: the names `duck` takes (a Linux player is often not called as its
// package is: paplay plays as pacat).
void say_nothing_matched(const SessionTable& sessions, const Utf16Char* names)
{
    char wanted[256];
    if (utf16_to_utf8(names, wanted, sizeof wanted) <= 0)
        wanted[0] = 0;
    char seen[400];
    int length = 0;
    seen[0] = 0;
    for (int k = 0; k < session_count(sessions); ++k) {
        const SessionEntry& entry = session_at(sessions, k);
        bool again = false;
        for (int i = 0; i < k && !again; ++i)
            again = compare_text_nocase(session_at(sessions, i).exe_name, entry.exe_name) == 0;
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

}  // namespace

int duck_sessions(Controller& controller, const char* line)
{
    const int percent = parse_percent(line + kDuckPrefix);
    Utf16Char names[kNamesText];
    read_names(line, names);
    const float share = duck_level(percent);
    // Levels are read and changed in the shared turn, so that another
    // controller's ramp is never taken for an original.
    const unsigned releases_before = controller.sharing.unwritten_changes;
    SharedTurn turn = take_turn(controller.sharing, controller.saved, TurnWait::kPatiently);
    if (rebuild_for_change(controller, turn))
        leave_what_others_set(controller, turn);
    DuckPlan plan = plan_duck(controller, turn, names, share);
    bool confirmed = true;
    if (plan.moves) {
        // The keeper and the other controllers learn what is saved before
        // anything is lowered, so a kill during the ramp leaves them able
        // to restore.
        update_keeper(controller);
        publish(turn);
        Brought brought = all_records_brought(controller.saved);
        confirmed = fade_volumes(controller.sessions, plan.ramp);
        leave_entries_the_ramp_left(controller, turn, plan.ramp, brought);
        confirmed = confirmed && settle_latecomers(controller, turn, false, brought);
    }
    release_taken_over(turn, confirmed);
    give_turn(turn);
    // Releases of what the user set, written as the turn ended: the keeper
    // is told they are.
    if (controller.sharing.unwritten_changes != releases_before)
        update_keeper(controller);
    if (plan.bajados == 0)
        say_nothing_matched(controller.sessions, names);
    // Like a restore's, the reply means the platform has every level: a
    // stalled server is given the restore's patience.
    if (!confirmed)
        bring_saved_sessions_patiently(controller, false);
    return plan.bajados;
}

void restore_command(Controller& controller, const char*)
{
    // With nothing saved, nothing waits: only what an ended controller left
    // is lifted, when the turn is free. What is still saved afterwards is
    // the next restore's, or the keeper's.
    const bool owed_nothing =
        nothing_saved(controller.saved) && unwritten_release_count(controller.sharing) == 0;
    if (owed_nothing)
        lift_ended_holders(controller);
    // Another controller may have held a session for this one meanwhile;
    // and a release made without the turn waits for it, to be written
    // and to bring its sessions where the others' holds leave them.
    if (!nothing_saved(controller.saved) || unwritten_release_count(controller.sharing) > 0)
        bring_saved_sessions_patiently(controller, true);
}
