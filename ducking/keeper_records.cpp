#include "keeper_records.h"

#include "audio/audio_platform.h"
#include "audio/decimal.h"
#include "record_reader.h"

#include <cstdio>
#include <cstring>

const char kClearRecord[] = "clear";

uint32_t bits_of(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float float_of(uint32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

namespace {

// Appends to out at *used; false once it no longer fits.
bool append(char* out, int capacity, int* used, const char* format, unsigned long long value)
{
    const int room = capacity - *used;
    const int wrote = std::snprintf(out + *used, static_cast<size_t>(room), format, value);
    if (wrote < 0 || wrote >= room)
        return false;
    *used += wrote;
    return true;
}

// Reads one number and the space after it, or the end of the record.
bool next_number(const char** text, uint64_t* value, uint64_t largest)
{
    const char* end = nullptr;
    const uint64_t read = read_decimal_digits(*text, &end);
    if (end == *text || (*end != ' ' && *end != 0) || read > largest)
        return false;
    *value = read;
    *text = *end ? end + 1 : end;
    return true;
}

bool next_u32(const char** text, uint32_t* value)
{
    uint64_t read = 0;
    if (!next_number(text, &read, UINT32_MAX))
        return false;
    *value = static_cast<uint32_t>(read);
    return true;
}

bool parse_save(const char* text, SavedSession* saved)
{
    uint32_t volume = 0;
    uint32_t share = 0;
    uint32_t muted = 0;
    uint32_t channels = 0;
    if (!next_u32(&text, &saved->pid) || !next_number(&text, &saved->instance, kDecimalCeiling - 1) ||
        !next_u32(&text, &volume) || !next_u32(&text, &share) || !next_u32(&text, &muted) ||
        muted > 1 || !next_u32(&text, &channels) || channels == 0 || channels > kMaxChannels)
        return false;
    saved->volume = float_of(volume);
    saved->share = float_of(share);
    saved->own.muted = muted != 0;
    saved->own.level.channels = static_cast<int>(channels);
    for (uint32_t i = 0; i < channels; ++i) {
        uint64_t position = 0;
        if (!next_number(&text, &position, 255))
            return false;
        saved->own.level.positions[i] = static_cast<uint8_t>(position);
    }
    for (uint32_t i = 0; i < channels; ++i) {
        if (!next_u32(&text, &saved->own.level.values[i]))
            return false;
    }
    const size_t length = std::strlen(text);
    if (length >= sizeof saved->own.key)
        return false;
    std::memcpy(saved->own.key, text, length + 1);
    return true;
}

}  // namespace

bool format_saved_record(const SavedSession& saved, char* out, int capacity)
{
    const SessionLevel& level = saved.own.level;
    int used = 0;
    if (level.channels < 1 || level.channels > kMaxChannels ||
        !append(out, capacity, &used, "save %llu", saved.pid) ||
        !append(out, capacity, &used, " %llu", saved.instance) ||
        !append(out, capacity, &used, " %llu", bits_of(saved.volume)) ||
        !append(out, capacity, &used, " %llu", bits_of(saved.share)) ||
        !append(out, capacity, &used, " %llu", saved.own.muted ? 1u : 0u) ||
        !append(out, capacity, &used, " %llu", static_cast<unsigned>(level.channels)))
        return false;
    for (int i = 0; i < level.channels; ++i) {
        if (!append(out, capacity, &used, " %llu", level.positions[i]))
            return false;
    }
    for (int i = 0; i < level.channels; ++i) {
        if (!append(out, capacity, &used, " %llu", level.values[i]))
            return false;
    }
    if (!saved.own.key[0])
        return true;
    const int key = static_cast<int>(std::strlen(saved.own.key));
    if (used + 1 + key >= capacity)
        return false;
    out[used++] = ' ';
    std::memcpy(out + used, saved.own.key, static_cast<size_t>(key) + 1);
    return true;
}

bool format_holder_record(uint32_t pid, uint64_t started, char* out, int capacity)
{
    int used = 0;
    return append(out, capacity, &used, "holder %llu", pid) &&
           append(out, capacity, &used, " %llu", started);
}

bool parse_holder_record(const char* record, uint32_t* pid, uint64_t* started)
{
    if (std::strncmp(record, "holder ", 7) != 0)
        return false;
    const char* text = record + 7;
    return next_u32(&text, pid) && next_number(&text, started, kDecimalCeiling - 1) && !*text;
}

KeeperRecord parse_keeper_record(const char* record, SavedSession* saved)
{
    if (std::strcmp(record, kClearRecord) == 0)
        return KeeperRecord::kClear;
    if (std::strncmp(record, "save ", 5) == 0 && parse_save(record + 5, saved))
        return KeeperRecord::kSave;
    return KeeperRecord::kUnknown;
}

bool send_keeper_record(const char* record)
{
    char line[kMaxKeeperRecord + 1];
    const size_t length = std::strlen(record);
    if (length > static_cast<size_t>(kMaxKeeperRecord))
        return false;
    std::memcpy(line, record, length);
    line[length] = '\n';
    return write_to_keeper(line, static_cast<int>(length + 1));
}

bool receive_keeper_record(char* record, int capacity)
{
    static RecordReader incoming;
    return next_record(incoming, record, capacity, read_from_controller);
}
