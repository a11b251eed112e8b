#include "ducking/sharing/shared_holds.h"

#include "audio/decimal.h"
#include "ducking/record_text.h"

#include <cstring>

namespace {

constexpr char kFormatWord[] = "appduck-holds";
// 3 added the ended holds; a table of 2 reads as ours.
constexpr uint64_t kFormat = 3;
constexpr uint64_t kOldestFormat = 2;

bool same_holder(const Holder& a, const Holder& b)
{
    return a.pid == b.pid && a.started == b.started;
}

bool held_by_anyone(const HeldSession& held)
{
    for (const float share : held.shares) {
        if (share >= 0.0f)
            return true;
    }
    return false;
}

// Holders are numbered in the text by their order there, not by slot.
struct TextHolders {
    int slots[kMaxHolders];
    int count;
};

bool parse_holder_line(const char* line, HoldTable& table, TextHolders& order)
{
    Holder holder{};
    if (!parse_holder_record(line, &holder.pid, &holder.started) || holder.pid == 0 ||
        order.count == kMaxHolders)
        return false;
    const int slot = holder_slot(table, holder);
    if (slot < 0)
        return false;
    order.slots[order.count++] = slot;
    return true;
}

bool parse_hold_line(const char* line, HoldTable& table, const TextHolders& order)
{
    RecordFields fields{line};
    uint64_t holder = 0;
    float share = 0.0f;
    if (table.session_count == 0 || !read_word(fields, "hold") ||
        !read_number(fields, kMaxHolders - 1, &holder) || !read_float(fields, &share) ||
        !fields_end(fields) || static_cast<int>(holder) >= order.count ||
        !(share >= 0.0f && share <= 1.0f))
        return false;
    HeldSession& held = table.sessions[table.session_count - 1];
    hold_at(held, order.slots[holder], share);
    return true;
}

bool parse_ended_line(const char* line, HoldTable& table, const TextHolders& order)
{
    RecordFields fields{line};
    uint64_t holder = 0;
    uint64_t pid = 0;
    uint64_t instance = 0;
    if (!read_word(fields, "ended") || !read_number(fields, kMaxHolders - 1, &holder) ||
        !read_number(fields, UINT32_MAX, &pid) || !read_number(fields, kDecimalCeiling - 1, &instance) ||
        !fields_end(fields) || static_cast<int>(holder) >= order.count ||
        table.ended_count == kMaxSaved)
        return false;
    table.ended[table.ended_count++] = {order.slots[holder], static_cast<uint32_t>(pid), instance};
    return true;
}

bool parse_save_line(const char* line, HoldTable& table)
{
    SavedSession original;
    if (!parse_saved_record(line, &original) || find_held(table, original.pid, original.instance))
        return false;
    return add_held(table, original) != nullptr;
}

bool parse_line(const char* line, HoldTable& table, TextHolders& order)
{
    RecordFields fields{line};
    if (read_word(fields, "holder"))
        return parse_holder_line(line, table, order);
    fields = {line};
    if (read_word(fields, "hold"))
        return parse_hold_line(line, table, order);
    fields = {line};
    if (read_word(fields, "ended"))
        return parse_ended_line(line, table, order);
    return parse_save_line(line, table);
}

// The format line: ours, a newer one, or none at all.
TableText read_format(const char* line)
{
    RecordFields fields{line};
    uint64_t format = 0;
    if (!read_word(fields, kFormatWord) || !read_number(fields, kDecimalCeiling - 1, &format))
        return TableText::kDamaged;
    if (format >= kOldestFormat && format <= kFormat && fields_end(fields))
        return TableText::kOurs;
    return format > kFormat ? TableText::kNewer : TableText::kDamaged;
}

// Appends a line to out at *used; false once it no longer fits.
bool append_line(char* out, int capacity, int* used, const char* line)
{
    const int length = static_cast<int>(std::strlen(line));
    if (length + 2 > capacity - *used)
        return false;
    std::memcpy(out + *used, line, static_cast<size_t>(length));
    out[*used + length] = '\n';
    out[*used + length + 1] = 0;
    *used += length + 1;
    return true;
}

}  // namespace

void clear_holds(HoldTable& table)
{
    for (Holder& holder : table.holders)
        holder = {};
    table.session_count = 0;
    table.ended_count = 0;
}

int holder_slot(HoldTable& table, const Holder& holder)
{
    const int known = find_holder(table, holder);
    if (known >= 0)
        return known;
    for (int slot = 0; slot < kMaxHolders; ++slot) {
        if (table.holders[slot].pid == 0) {
            table.holders[slot] = holder;
            return slot;
        }
    }
    return -1;
}

int find_holder(const HoldTable& table, const Holder& holder)
{
    for (int slot = 0; slot < kMaxHolders; ++slot) {
        if (same_holder(table.holders[slot], holder))
            return slot;
    }
    return -1;
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

HeldSession* add_held(HoldTable& table, const SavedSession& original)
{
    if (table.session_count == kMaxSaved)
        return nullptr;
    HeldSession& held = table.sessions[table.session_count++];
    held.original = original;
    for (float& share : held.shares)
        share = -1.0f;
    held.original.share = 1.0f;
    return &held;
}

void hold_at(HeldSession& held, int slot, float share)
{
    held.shares[slot] = share;
    held.original.share = least_share(held);
}

HeldSession* hold_session(HoldTable& table, int slot, const SavedSession& read_now, float share)
{
    HeldSession* held = find_held(table, read_now.pid, read_now.instance);
    if (!held)
        held = add_held(table, read_now);
    if (held)
        hold_at(*held, slot, share);
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
    for (int i = 0; i < table.session_count; ++i)
        hold_at(table.sessions[i], slot, -1.0f);
    int kept = 0;
    for (int i = 0; i < table.ended_count; ++i) {
        if (table.ended[i].slot != slot)
            table.ended[kept++] = table.ended[i];
    }
    table.ended_count = kept;
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

void end_holds_for_user(HoldTable& table, int index, int except)
{
    const HeldSession held = table.sessions[index];
    for (int slot = 0; slot < kMaxHolders; ++slot) {
        if (slot == except || held.shares[slot] < 0.0f ||
            hold_ended(table, slot, held.original.pid, held.original.instance))
            continue;
        // A full list forgets its oldest: that holder still judges the
        // session's level itself at its next change.
        if (table.ended_count == kMaxSaved) {
            for (int i = 1; i < kMaxSaved; ++i)
                table.ended[i - 1] = table.ended[i];
            --table.ended_count;
        }
        table.ended[table.ended_count++] = {slot, held.original.pid, held.original.instance};
    }
    for (int i = index + 1; i < table.session_count; ++i)
        table.sessions[i - 1] = table.sessions[i];
    --table.session_count;
}

bool hold_ended(const HoldTable& table, int slot, uint32_t pid, uint64_t instance)
{
    for (int i = 0; i < table.ended_count; ++i) {
        const EndedHold& ended = table.ended[i];
        if (ended.slot == slot && ended.pid == pid && ended.instance == instance)
            return true;
    }
    return false;
}

void forget_ended_hold(HoldTable& table, int slot, uint32_t pid, uint64_t instance)
{
    int kept = 0;
    for (int i = 0; i < table.ended_count; ++i) {
        const EndedHold& ended = table.ended[i];
        if (ended.slot != slot || ended.pid != pid || ended.instance != instance)
            table.ended[kept++] = ended;
    }
    table.ended_count = kept;
}

bool format_hold_table(const HoldTable& table, char* out, int capacity)
{
    int used = 0;
    char line[kMaxRecord + 1];
    RecordBuilder format = start_record(line, sizeof line, kFormatWord);
    add_number(format, kFormat);
    if (capacity < 1 || !append_line(out, capacity, &used, line))
        return false;
    // Holders are numbered by their order here.
    int number[kMaxHolders];
    int holders = 0;
    for (int slot = 0; slot < kMaxHolders; ++slot) {
        const Holder& holder = table.holders[slot];
        number[slot] = holder.pid ? holders++ : -1;
        if (holder.pid && (!format_holder_record(holder.pid, holder.started, line, sizeof line) ||
                           !append_line(out, capacity, &used, line)))
            return false;
    }
    for (int i = 0; i < table.session_count; ++i) {
        const HeldSession& held = table.sessions[i];
        if (!format_saved_record(held.original, line, sizeof line) ||
            !append_line(out, capacity, &used, line))
            return false;
        for (int slot = 0; slot < kMaxHolders; ++slot) {
            if (held.shares[slot] < 0.0f || number[slot] < 0)
                continue;
            RecordBuilder hold = start_record(line, sizeof line, "hold");
            add_number(hold, static_cast<uint64_t>(number[slot]));
            add_float(hold, held.shares[slot]);
            if (!append_line(out, capacity, &used, line))
                return false;
        }
    }
    for (int i = 0; i < table.ended_count; ++i) {
        const EndedHold& ended = table.ended[i];
        if (number[ended.slot] < 0)
            continue;
        RecordBuilder record = start_record(line, sizeof line, "ended");
        add_number(record, static_cast<uint64_t>(number[ended.slot]));
        add_number(record, ended.pid);
        add_number(record, ended.instance);
        if (!append_line(out, capacity, &used, line))
            return false;
    }
    return true;
}

TableText parse_hold_table(const char* text, HoldTable& table)
{
    clear_holds(table);
    if (!*text)
        return TableText::kOurs;
    char line[kMaxRecord + 1];
    TextHolders order{};
    TableText kind = TableText::kDamaged;
    for (bool first = true; *text; first = false) {
        const char* end = std::strchr(text, '\n');
        if (!end || end - text >= static_cast<long>(sizeof line)) {
            if (kind == TableText::kNewer)
                return kind;  // read as far as it goes
            clear_holds(table);
            return TableText::kDamaged;
        }
        std::memcpy(line, text, static_cast<size_t>(end - text));
        line[end - text] = 0;
        text = end + 1;
        if (first) {
            kind = read_format(line);
            if (kind == TableText::kDamaged)
                return kind;
            continue;
        }
        // A newer program's lines that this one does not know are passed over.
        if (!parse_line(line, table, order) && kind == TableText::kOurs) {
            clear_holds(table);
            return TableText::kDamaged;
        }
    }
    return kind;
}
