#include "ducking/records.h"

#include "audio/decimal.h"

#include <cstring>

const char kClearRecord[] = "clear";

namespace {

bool read_level(RecordFields& fields, SessionLevel* level)
{
    uint32_t channels = 0;
    if (!read_u32(fields, &channels) || channels == 0 || channels > kMaxChannels)
        return false;
    level->channels = static_cast<int>(channels);
    for (uint32_t i = 0; i < channels; ++i) {
        uint64_t position = 0;
        if (!read_number(fields, 255, &position))
            return false;
        level->positions[i] = static_cast<uint8_t>(position);
    }
    for (uint32_t i = 0; i < channels; ++i) {
        if (!read_u32(fields, &level->values[i]))
            return false;
    }
    return true;
}

bool read_ramps(RecordFields& fields, SavedSession* saved)
{
    uint32_t count = 0;
    if (!read_u32(fields, &count) || count > kRampsKept)
        return false;
    saved->ramp_count = static_cast<int>(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (!read_float(fields, &saved->ramps[i].from) || !read_float(fields, &saved->ramps[i].to))
            return false;
    }
    return true;
}

}  // namespace

bool format_saved_record(const SavedSession& saved, char* out, int capacity)
{
    const SessionLevel& level = saved.own.level;
    if (level.channels < 1 || level.channels > kMaxChannels || saved.ramp_count < 0 ||
        saved.ramp_count > kRampsKept)
        return false;
    RecordBuilder record = start_record(out, capacity, "save");
    add_number(record, saved.pid);
    add_number(record, saved.instance);
    add_float(record, saved.volume);
    add_float(record, saved.share);
    add_number(record, saved.own.muted ? 1 : 0);
    add_number(record, static_cast<uint64_t>(level.channels));
    for (int i = 0; i < level.channels; ++i)
        add_number(record, level.positions[i]);
    for (int i = 0; i < level.channels; ++i)
        add_number(record, level.values[i]);
    add_number(record, static_cast<uint64_t>(saved.ramp_count));
    for (int i = 0; i < saved.ramp_count; ++i) {
        add_float(record, saved.ramps[i].from);
        add_float(record, saved.ramps[i].to);
    }
    if (saved.own.key[0])
        add_text(record, saved.own.key);
    return record.fits;
}

bool parse_saved_record(const char* record, SavedSession* saved)
{
    RecordFields fields{record};
    uint32_t muted = 0;
    *saved = {};
    if (!read_word(fields, "save") || !read_u32(fields, &saved->pid) ||
        !read_number(fields, kDecimalCeiling - 1, &saved->instance) ||
        !read_float(fields, &saved->volume) || !read_float(fields, &saved->share) ||
        !read_u32(fields, &muted) || muted > 1 || !read_level(fields, &saved->own.level) ||
        !read_ramps(fields, saved))
        return false;
    saved->own.muted = muted != 0;
    saved->held = saved->share;
    // The key is the rest of the line, spaces and all.
    const size_t length = std::strlen(fields.at);
    if (length >= sizeof saved->own.key)
        return false;
    std::memcpy(saved->own.key, fields.at, length + 1);
    return true;
}

namespace {

// "WORD PID NUMBER": a holder and when it started, a release and its instance.
bool format_process_record(const char* word, uint32_t pid, uint64_t number, char* out,
                           int capacity)
{
    RecordBuilder record = start_record(out, capacity, word);
    add_number(record, pid);
    add_number(record, number);
    return record.fits;
}

bool parse_process_record(const char* record, const char* word, uint32_t* pid, uint64_t* number)
{
    RecordFields fields{record};
    return read_word(fields, word) && read_u32(fields, pid) &&
           read_number(fields, kDecimalCeiling - 1, number) && fields_end(fields);
}

}  // namespace

bool format_holder_record(uint32_t pid, uint64_t started, char* out, int capacity)
{
    return format_process_record("holder", pid, started, out, capacity);
}

bool parse_holder_record(const char* record, uint32_t* pid, uint64_t* started)
{
    return parse_process_record(record, "holder", pid, started);
}

bool format_release_record(uint32_t pid, uint64_t instance, char* out, int capacity)
{
    return format_process_record("release", pid, instance, out, capacity);
}

bool parse_release_record(const char* record, uint32_t* pid, uint64_t* instance)
{
    return parse_process_record(record, "release", pid, instance);
}
