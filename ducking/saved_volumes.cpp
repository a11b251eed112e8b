#include "ducking/saved_volumes.h"

#include "ducking/written_levels.h"

#include <cassert>

namespace {

void changed(SavedVolumes& saved, const SavedSession& record)
{
    saved.untold[index_of(saved, record)] = true;
}

// A key that cannot travel as one line to the keeper is not kept.
bool travels_as_one_line(const char* key)
{
    for (; *key; ++key) {
        if (static_cast<unsigned char>(*key) < 0x20)
            return false;
    }
    return true;
}

// The session's own level as the platform gives it now.
bool read_own_level(const SessionEntry& entry, SavedSession& record)
{
    record.volume = entry.volume;
    record.ramp_count = 0;
    record.own = {};
    if (entry.memory_key[0] && travels_as_one_line(entry.memory_key)) {
        static_assert(sizeof record.own.key == sizeof entry.memory_key);
        for (int i = 0; i < kMaxMemoryKey; ++i)
            record.own.key[i] = entry.memory_key[i];
        if (!get_session_mute(entry.volume_control, &record.own.muted))
            record.own.muted = false;
    }
    return get_session_level(entry.volume_control, &record.own.level);
}

}  // namespace

float current_share(const SavedSession& record, float volume)
{
    return record.volume > 0.0f ? volume / record.volume : 1.0f;
}

SavedSession* find_saved(SavedVolumes& saved, uint32_t pid, uint64_t instance)
{
    for (int i = 0; i < saved.count; ++i) {
        if (saved.records[i].pid == pid && saved.records[i].instance == instance)
            return &saved.records[i];
    }
    return nullptr;
}

SavedSession* save_session(SavedVolumes& saved, const SessionEntry& entry,
                           const SavedSession* original)
{
    if (saved.count == kMaxSaved)
        return nullptr;
    // A session that cannot tell its instance this time may be one already
    // saved by instance, now at its ducked level: that is no level of its own.
    for (int i = 0; i < saved.count && entry.instance == 0; ++i) {
        if (saved.records[i].pid == entry.pid && saved.records[i].instance != 0)
            return nullptr;
    }
    SavedSession& record = saved.records[saved.count];
    if (original) {
        record = *original;
    } else if (!read_own_level(entry, record)) {
        return nullptr;
    }
    record.pid = entry.pid;
    record.instance = entry.instance;
    record.share = 1.0f;
    record.held = 1.0f;
    ++saved.count;
    changed(saved, record);
    return &record;
}

void set_share(SavedVolumes& saved, SavedSession& record, float share, float held)
{
    if (record.share != share || record.held != held)
        changed(saved, record);
    record.share = share;
    record.held = held;
}

void set_original(SavedVolumes& saved, SavedSession& record, const SavedSession& original)
{
    record.volume = original.volume;
    record.own = original.own;
    for (int i = 0; i < original.ramp_count; ++i)
        add_ramp(record.ramps, &record.ramp_count, original.ramps[i].from, original.ramps[i].to);
    changed(saved, record);
}

void note_ramp(SavedVolumes& saved, SavedSession& record, float from, float to)
{
    add_ramp(record.ramps, &record.ramp_count, from, to);
    changed(saved, record);
}

bool nothing_saved(const SavedVolumes& saved)
{
    return saved.count == 0;
}

void forget_saved_volumes(SavedVolumes& saved)
{
    saved.count = 0;
    ++saved.times_rewritten;
}

SavedSession* keep_record(SavedVolumes& saved, const SavedSession& record)
{
    SavedSession* same = find_saved(saved, record.pid, record.instance);
    if (!same && saved.count == kMaxSaved)
        return nullptr;
    if (!same)
        same = &saved.records[saved.count++];
    *same = record;
    changed(saved, *same);
    return same;
}

void drop_records(SavedVolumes& saved,
                  bool (*settled)(const SavedSession& record, int index, void* context),
                  void* context)
{
    int kept = 0;
    for (int i = 0; i < saved.count; ++i) {
        if (!settled(saved.records[i], i, context)) {
            saved.untold[kept] = saved.untold[i];
            saved.records[kept++] = saved.records[i];
        }
    }
    if (kept != saved.count)
        ++saved.times_rewritten;
    saved.count = kept;
}

int saved_count(const SavedVolumes& saved) { return saved.count; }
SavedSession& saved_at(SavedVolumes& saved, int index) { return saved.records[index]; }
const SavedSession& saved_at(const SavedVolumes& saved, int index) { return saved.records[index]; }
unsigned times_rewritten(const SavedVolumes& saved) { return saved.times_rewritten; }

int index_of(const SavedVolumes& saved, const SavedSession& record)
{
    assert(&record >= saved.records && &record < saved.records + kMaxSaved);
    return static_cast<int>(&record - saved.records);
}

bool take_untold(SavedVolumes& saved, int index)
{
    const bool untold = saved.untold[index];
    saved.untold[index] = false;
    return untold;
}
