#include "session_list.h"

#include "audio/session_table.h"
#include "ducking/change_steps.h"
#include "json_writer.h"

#include <climits>

namespace {

// An executable is listed once, under its first session in table order;
// names differing only in letter case are one executable.
bool listed_before(const SessionTable& sessions, int index)
{
    const Utf16Char* name = session_at(sessions, index).exe_name;
    for (int i = 0; i < index; ++i) {
        if (compare_text_nocase(session_at(sessions, i).exe_name, name) == 0)
            return true;
    }
    return false;
}

// The application's name, one that `duck` accepts for it: where the
// platform's executables carry an extension, the name is cut at its last
// dot (whole without one); elsewhere the name is the whole file name.
void application_name(const Utf16Char* exe_name, Utf16Char* out)
{
    const bool extension = executable_names_have_extensions();
    int dot = -1;
    int length = 0;
    for (; exe_name[length]; ++length) {
        if (extension && exe_name[length] == UTF16_LITERAL('.'))
            dot = length;
    }
    const int keep = dot >= 0 ? dot : length;
    for (int i = 0; i < keep; ++i)
        out[i] = exe_name[i];
    out[keep] = 0;
}

// volume x 100 + 0.5, truncated. A server lets a stream go far above its
// own level (PulseAudio's maximum is about 3.5e13 as a linear factor),
// where the conversion to int would be undefined: such a level is listed
// as the largest int, and a NaN as 0.
int volume_percent(float volume)
{
    const float percent = volume * 100.0f + 0.5f;
    if (!(percent >= 0.0f))
        return 0;
    if (percent >= 2147483648.0f)
        return INT_MAX;
    return static_cast<int>(percent);
}

}  // namespace

void list_command(Controller& controller, const char*)
{
    rebuild_for_listing(controller);
    const SessionTable& sessions = controller.sessions;
    emit("[");
    bool first = true;
    for (int i = 0; i < session_count(sessions); ++i) {
        const SessionEntry& entry = session_at(sessions, i);
        if (entry.exe_name[0] == 0 || listed_before(sessions, i))
            continue;
        emit(first ? "{\"exe\":" : ",{\"exe\":");
        first = false;
        emit_json_string(entry.exe_name);
        Utf16Char name[kMaxExeName];
        application_name(entry.exe_name, name);
        emit(",\"name\":");
        emit_json_string(name);
        emit(",\"vol\":%d}", volume_percent(entry.volume));
    }
    emit("]");
    end_reply();
}
