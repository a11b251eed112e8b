#include "keeper_records.h"

#include "audio/audio_platform.h"
#include "audio/decimal.h"
#include "record_reader.h"

#include <cstdio>
#include <cstring>

const char kClearRecord[] = "clear";

namespace {

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

// Appends to out at *used; false once it no longer fits.
bool append(char* out, int capacity, int* used, const char* format, unsigned value)
{
    const int room = capacity - *used;
    const int wrote = std::snprintf(out + *used, static_cast<size_t>(room), format, value);
    if (wrote < 0 || wrote >= room)
        return false;
    *used += wrote;
    return true;
}

// Reads one number and the space after it.
bool next_number(const char** text, uint32_t* value)
{
    const char* end = nullptr;
    const uint64_t read = read_decimal_digits(*text, &end);
    if (end == *text || *end != ' ' || read > UINT32_MAX)
        return false;
    *value = static_cast<uint32_t>(read);
    *text = end + 1;
    return true;
}

bool parse_memory(const char* text, VolumeMemory* memory)
{
    uint32_t muted = 0;
    uint32_t channels = 0;
    if (!next_number(&text, &muted) || muted > 1 || !next_number(&text, &channels) ||
        channels == 0 || channels > kMaxChannels)
        return false;
    memory->muted = muted != 0;
    memory->channels = static_cast<int>(channels);
    uint32_t value = 0;
    for (uint32_t i = 0; i < channels; ++i) {
        if (!next_number(&text, &value) || value > 255)
            return false;
        memory->positions[i] = static_cast<uint8_t>(value);
    }
    for (uint32_t i = 0; i < channels; ++i) {
        if (!next_number(&text, &value))
            return false;
        memory->levels[i] = float_of(value);
    }
    const size_t length = std::strlen(text);
    if (length == 0 || length >= sizeof memory->key)
        return false;
    std::memcpy(memory->key, text, length + 1);
    return true;
}

}  // namespace

bool format_saved_record(const SavedVolume& saved, char* out, int capacity)
{
    const int wrote = std::snprintf(out, static_cast<size_t>(capacity), "save %u %u",
                                    static_cast<unsigned>(saved.pid),
                                    static_cast<unsigned>(bits_of(saved.volume)));
    return wrote > 0 && wrote < capacity;
}

bool format_memory_record(const VolumeMemory& memory, char* out, int capacity)
{
    int used = 0;
    if (memory.channels < 1 || memory.channels > kMaxChannels ||
        !append(out, capacity, &used, "memory %u", memory.muted ? 1u : 0u) ||
        !append(out, capacity, &used, " %u", static_cast<unsigned>(memory.channels)))
        return false;
    for (int i = 0; i < memory.channels; ++i) {
        if (!append(out, capacity, &used, " %u", memory.positions[i]))
            return false;
    }
    for (int i = 0; i < memory.channels; ++i) {
        if (!append(out, capacity, &used, " %u", static_cast<unsigned>(bits_of(memory.levels[i]))))
            return false;
    }
    const int key = static_cast<int>(std::strlen(memory.key));
    if (used + 1 + key >= capacity)
        return false;
    out[used++] = ' ';
    std::memcpy(out + used, memory.key, static_cast<size_t>(key) + 1);
    return true;
}

KeeperRecord parse_keeper_record(const char* record, SavedVolume* saved, VolumeMemory* memory)
{
    if (std::strcmp(record, kClearRecord) == 0)
        return KeeperRecord::kClear;
    if (std::strncmp(record, "save ", 5) == 0) {
        const char* text = record + 5;
        uint32_t pid = 0;
        uint32_t bits = 0;
        if (!next_number(&text, &pid) || !parse_uint32(text, &bits))
            return KeeperRecord::kUnknown;
        *saved = {pid, float_of(bits)};
        return KeeperRecord::kSave;
    }
    if (std::strncmp(record, "memory ", 7) == 0 && parse_memory(record + 7, memory))
        return KeeperRecord::kMemory;
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
