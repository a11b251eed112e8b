// The simulated platform's turn and table several controllers share: the
// table as text, a turn another controller may keep until a moment of the
// virtual clock, and failures of each.
#include "support/simulated/world.h"

#include <cassert>
#include <cstdio>
#include <cstring>

namespace {

struct SharedTurn {
    char table[kSharedTableBytes];
    bool damaged;          // read as no whole copy, until written
    uint32_t holder;       // another process that keeps the turn...
    uint64_t kept_until;   // ...until the clock reads this
    uint32_t next_holder;  // and then another...
    uint64_t next_until;   // ...until this
    void (*on_given)();    // what the holder does as it gives the turn
    uint32_t held_by;      // the controller of this world that has it; 0: none
    uint64_t generation;   // writes so far
    bool tear_next;        // the next write is cut short
    int turns;
    int tables_written;
};
SharedTurn g_shared;

}  // namespace

int shared_tables_written()
{
    return g_shared.tables_written;
}

void reset_shared_turn()
{
    g_shared.table[0] = 0;
    g_shared.damaged = false;
    g_shared.holder = 0;
    g_shared.kept_until = 0;
    g_shared.next_holder = 0;
    g_shared.next_until = 0;
    g_shared.on_given = nullptr;
    g_shared.held_by = 0;
    g_shared.generation = 0;
    g_shared.tear_next = false;
    g_shared.turns = 0;
    g_shared.tables_written = 0;
}

TurnLock try_shared_turn(bool, uint32_t* holder)
{
    const uint32_t self = current_pid();
    assert(g_shared.held_by != self);
    *holder = 0;
    if (fails(SimOp::kSharedTurn))
        return TurnLock::kBroken;
    if (g_shared.on_given && g_shared.holder != 0 && clock_now() >= g_shared.kept_until) {
        void (*given)() = g_shared.on_given;
        g_shared.on_given = nullptr;
        given();
    }
    if (g_shared.next_holder != 0 && clock_now() >= g_shared.kept_until) {
        g_shared.holder = g_shared.next_holder;
        g_shared.kept_until = g_shared.next_until;
        g_shared.next_holder = 0;
    }
    if (g_shared.holder != 0 && clock_now() < g_shared.kept_until) {
        *holder = g_shared.holder;
        return TurnLock::kBusy;
    }
    // The system lets a dead holder's lock go.
    if (g_shared.held_by != 0 && process_running(g_shared.held_by)) {
        *holder = g_shared.held_by;
        return TurnLock::kBusy;
    }
    g_shared.held_by = self;
    ++g_shared.turns;
    return TurnLock::kTaken;
}

void give_shared_turn()
{
    note_call();
    assert(g_shared.held_by == current_pid());
    g_shared.held_by = 0;
}

TableRead read_shared_table(char* text, int capacity, uint64_t* generation)
{
    text[0] = 0;
    *generation = g_shared.generation;
    if (fails(SimOp::kReadShared))
        return TableRead::kFailed;
    const size_t length = std::strlen(g_shared.table);
    if (g_shared.damaged || length >= static_cast<size_t>(capacity))
        return TableRead::kDamaged;
    std::memcpy(text, g_shared.table, length + 1);
    return TableRead::kWhole;
}

bool shared_table_generation(uint64_t* generation)
{
    if (fails(SimOp::kReadShared))
        return false;
    *generation = g_shared.generation;
    return true;
}

// Within the turn or, past a holder's patience, without it. A torn write
// leaves the copy before it, as the real file's two copies do.
bool write_shared_table(const char* text, int length)
{
    if (fails(SimOp::kWriteShared) || length >= static_cast<int>(sizeof g_shared.table))
        return false;
    if (g_shared.tear_next) {
        g_shared.tear_next = false;
        return false;
    }
    ++g_shared.generation;
    std::memcpy(g_shared.table, text, static_cast<size_t>(length));
    g_shared.table[length] = 0;
    g_shared.damaged = false;
    ++g_shared.tables_written;
    return true;
}

// ---- test controls -----------------------------------------------------

const char* sim_shared_table()
{
    return g_shared.table;
}

void sim_set_shared_table(const char* text)
{
    std::snprintf(g_shared.table, sizeof g_shared.table, "%s", text);
    ++g_shared.generation;
}

void sim_damage_shared_table()
{
    g_shared.damaged = true;
    ++g_shared.generation;
}

void sim_tear_next_table_write()
{
    g_shared.tear_next = true;
}

void sim_keep_turn_elsewhere(uint32_t holder, uint64_t until_ms)
{
    g_shared.holder = holder;
    g_shared.kept_until = until_ms;
}

void sim_when_turn_given(void (*action)())
{
    g_shared.on_given = action;
}

void sim_pass_turn_to(uint32_t holder, uint64_t until_ms)
{
    g_shared.next_holder = holder;
    g_shared.next_until = until_ms;
}

int sim_shared_turns() { return g_shared.turns; }
bool sim_shared_turn_held() { return g_shared.held_by != 0; }
