#include "shared_holds.h"

#include "audio/decimal.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char kFormatLine[] = "appduck-holds 1";

bool same_holder(const Holder& a, const Holder& b)
{
    return a.pid == b.pid && a.started == b.started;
}

void clear_session_holds(HeldSession& held)
{
    for (float& share : held.shares)
        share = -1.0f;
}

bool held_by_anyone(const HeldSession& held)
{
    for (const float share : held.shares) {
        if (share >= 0.0f)
            return true;
    }
    return false;
}

// Reads `count` numbers separated by single spaces, each at most `largest`,
// and nothing after them.
bool read_numbers(const char* text, uint64_t* values, int count, uint64_t largest)
{
    for (int i = 0; i < count; ++i) {
        const char* end = nullptr;
        values[i] = read_decimal_digits(text, &end);
        if (end == text || values[i] > largest || *end != (i + 1 < count ? ' ' : 0))
            return false;
        text = end + (i + 1 < count ? 1 : 0);
    }
    return true;
}

bool parse_holder(const char* text, HoldTable& table)
{
    uint64_t fields[3];
    if (!read_numbers(text, fields, 3, kDecimalCeiling - 1) || fields[0] >= kMaxHolders ||
        fields[1] == 0 || fields[1] > UINT32_MAX)
        return false;
    table.holders[fields[0]] = {static_cast<uint32_t>(fields[1]), fields[2]};
    return true;
}

bool parse_hold(const char* text, HoldTable& table)
{
    uint64_t fields[2];
    if (table.session_count == 0 || !read_numbers(text, fields, 2, UINT32_MAX) ||
        fields[0] >= kMaxHolders || table.holders[fields[0]].pid == 0)
        return false;
    const float share = float_of(static_cast<uint32_t>(fields[1]));
    if (!(share >= 0.0f && share <= 1.0f))
        return false;
    table.sessions[table.session_count - 1].shares[fields[0]] = share;
    return true;
}

bool parse_line(const char* line, HoldTable& table)
{
    if (std::strncmp(line, "holder ", 7) == 0)
        return parse_holder(line + 7, table);
    if (std::strncmp(line, "hold ", 5) == 0)
        return parse_hold(line + 5, table);
    SavedSession original = {};
    if (table.session_count == kMaxSaved ||
        parse_keeper_record(line, &original) != KeeperRecord::kSave ||
        find_held(table, original.pid, original.instance))
        return false;
    HeldSession& held = table.sessions[table.session_count++];
    held.original = original;
    clear_session_holds(held);
    return true;
}

// Appends to out at *used; false once it no longer fits.
bool append(char* out, int capacity, int* used, const char* text)
{
    const int length = static_cast<int>(std::strlen(text));
    if (length + 1 > capacity - *used)
        return false;
    std::memcpy(out + *used, text, static_cast<size_t>(length) + 1);
    *used += length;
    return true;
}

}  // namespace

void clear_holds(HoldTable& table)
{
    for (Holder& holder : table.holders)
        holder = {};
    table.session_count = 0;
}

int holder_slot(HoldTable& table, const Holder& holder)
{
    int free = -1;
    for (int slot = 0; slot < kMaxHolders; ++slot) {
        if (same_holder(table.holders[slot], holder))
            return slot;
        if (free < 0 && table.holders[slot].pid == 0)
            free = slot;
    }
    if (free >= 0)
        table.holders[free] = holder;
    return free;
}

HeldSession* find_held(HoldTable& table, uint32_t pid, uint64_t instance)
{
    for (int i = 0; i < table.session_count; ++i) {
        const SavedSession& original = table.sessions[i].original;
        if (original.pid == pid && original.instance == instance)
            return &table.sessions[i];
    }
    return nullptr;
}

HeldSession* hold_session(HoldTable& table, int slot, const SavedSession& read_now, float share)
{
    HeldSession* held = find_held(table, read_now.pid, read_now.instance);
    if (!held) {
        if (table.session_count == kMaxSaved)
            return nullptr;
        held = &table.sessions[table.session_count++];
        held->original = read_now;
        clear_session_holds(*held);
    }
    held->shares[slot] = share;
    held->original.share = least_share(*held);
    return held;
}

float least_share(const HeldSession& held)
{
    float least = 1.0f;
    for (const float share : held.shares) {
        if (share >= 0.0f && share < least)
            least = share;
    }
    return least;
}

void release_holder(HoldTable& table, int slot)
{
    table.holders[slot] = {};
    for (int i = 0; i < table.session_count; ++i) {
        HeldSession& held = table.sessions[i];
        held.shares[slot] = -1.0f;
        held.original.share = least_share(held);
    }
}

void drop_unheld(HoldTable& table)
{
    int kept = 0;
    for (int i = 0; i < table.session_count; ++i) {
        if (held_by_anyone(table.sessions[i]))
            table.sessions[kept++] = table.sessions[i];
    }
    table.session_count = kept;
}

bool format_hold_table(const HoldTable& table, char* out, int capacity)
{
    int used = 0;
    char line[kMaxKeeperRecord + 1];
    if (!append(out, capacity, &used, kFormatLine) || !append(out, capacity, &used, "\n"))
        return false;
    for (int slot = 0; slot < kMaxHolders; ++slot) {
        const Holder& holder = table.holders[slot];
        if (holder.pid == 0)
            continue;
        std::snprintf(line, sizeof line, "holder %d %lu %llu\n", slot,
                      static_cast<unsigned long>(holder.pid),
                      static_cast<unsigned long long>(holder.started));
        if (!append(out, capacity, &used, line))
            return false;
    }
    for (int i = 0; i < table.session_count; ++i) {
        const HeldSession& held = table.sessions[i];
        if (!format_saved_record(held.original, line, static_cast<int>(sizeof line) - 1))
            return false;
        std::strcat(line, "\n");
        if (!append(out, capacity, &used, line))
            return false;
        for (int slot = 0; slot < kMaxHolders; ++slot) {
            if (held.shares[slot] < 0.0f)
                continue;
            std::snprintf(line, sizeof line, "hold %d %lu\n", slot,
                          static_cast<unsigned long>(bits_of(held.shares[slot])));
            if (!append(out, capacity, &used, line))
                return false;
        }
    }
    return true;
}

bool parse_hold_table(const char* text, HoldTable& table)
{
    clear_holds(table);
    const size_t format = std::strlen(kFormatLine);
    if (std::strncmp(text, kFormatLine, format) != 0 || text[format] != '\n')
        return false;
    text += format + 1;
    char line[kMaxKeeperRecord + 1];
    while (*text) {
        const char* end = std::strchr(text, '\n');
        if (!end || end - text >= static_cast<long>(sizeof line)) {
            clear_holds(table);
            return false;
        }
        std::memcpy(line, text, static_cast<size_t>(end - text));
        line[end - text] = 0;
        if (!parse_line(line, table)) {
            clear_holds(table);
            return false;
        }
        text = end + 1;
    }
    return true;
}
