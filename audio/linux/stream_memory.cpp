// The sound server's memory of stream volumes (PulseAudio's
// module-stream-restore, WirePlumber's stream state), written back for an
// application whose stream ended while ducked, so that its next stream
// starts at its own level.
#include "audio/audio_platform.h"
#include "audio/diagnostics.h"
#include "audio/linux/backend.h"
#include "audio/linux/pulse_library.h"

#include <cstring>

namespace {

struct MuteLookup {
    const char* key;
    bool found;
    bool muted;
};

void on_memory_entry(pa_context*, const pa_ext_stream_restore_info* info, int eol, void* userdata)
{
    note_answer();
    MuteLookup& lookup = *static_cast<MuteLookup*>(userdata);
    if (eol == 0 && info && info->name && std::strcmp(info->name, lookup.key) == 0) {
        lookup.found = true;
        lookup.muted = info->mute != 0;
    }
}

// A memory's write carries a mute too, and appduck never changes one: the
// memory's own where the server lists it (PulseAudio does; PipeWire lists
// none), else the last stream's under the name, else the mute it had when
// it was saved.
bool present_mute(pa_context* context, const VolumeMemory& memory)
{
    MuteLookup lookup{memory.key, false, false};
    if (wait_for(pulse.pa_ext_stream_restore_read(context, on_memory_entry, &lookup),
                 "reading the stream memory") &&
        lookup.found)
        return lookup.muted;
    bool muted = memory.muted;
    if (last_seen_mute(memory.key, &muted)) {
        diagnose("the server lists no stream memory %s: it keeps the mute its last stream had",
                 memory.key);
        return muted;
    }
    diagnose("the stream memory %s lists no mute: it keeps the one it had when saved", memory.key);
    return memory.muted;
}

}  // namespace

bool volume_memory_writable()
{
    return true;
}

void write_volume_memory(const VolumeMemory& memory)
{
    pa_context* context = sound_server();
    if (!context) {
        diagnose("writing the stream memory %s failed: %s", memory.key, sound_server_error());
        note_change_lost();
        return;
    }
    // WirePlumber takes a written memory only when it differs from the last
    // one written, while it also follows stream volumes by itself: the same
    // level written after an earlier restore would be lost. So each write
    // is two entries under the name, a level a quarter away and then the
    // real one; the server applies them in order, in one answer.
    pa_ext_stream_restore_info entries[2]{};
    const SessionLevel& level = memory.level;
    if (level.channels < 1 || level.channels > kMaxChannels)
        return;
    const bool muted = present_mute(context, memory);
    context = sound_server();
    if (!context) {
        note_change_lost();
        return;
    }
    for (pa_ext_stream_restore_info& entry : entries) {
        entry.name = memory.key;
        entry.channel_map.channels = static_cast<uint8_t>(level.channels);
        entry.volume.channels = static_cast<uint8_t>(level.channels);
        entry.device = nullptr;
        entry.mute = muted ? 1 : 0;
    }
    for (int i = 0; i < level.channels; ++i) {
        const double linear = pulse.pa_sw_volume_to_linear(level.values[i]);
        const double away = linear >= 0.5 ? linear - 0.25 : linear + 0.25;
        for (pa_ext_stream_restore_info& entry : entries)
            entry.channel_map.map[i] = static_cast<pa_channel_position_t>(level.positions[i]);
        entries[0].volume.values[i] = pulse.pa_sw_volume_from_linear(away);
        entries[1].volume.values[i] = level.values[i];
    }
    if (!pulse.pa_channel_map_valid(&entries[1].channel_map))
        return;
    // Replaced, and applied at once to live streams under the same name; a
    // server without a stream memory answers no, which is an answer too.
    track_change(pulse.pa_ext_stream_restore_write(context, PA_UPDATE_REPLACE, entries, 2, 1,
                                                   on_change_answered, nullptr),
                 "writing a stream memory");
    run_pending();
}
