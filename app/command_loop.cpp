#include "command_loop.h"

#include "audio/session_table.h"
#include "ducking/ducking.h"
#include "ducking/keeper/keeper.h"
#include "ducking/spare.h"
#include "json_writer.h"
#include "session_list.h"

#include <cstdio>
#include <cstring>

namespace {

// Every line ducking reads was read here: a names text never outgrows
// what it converts at once.
static_assert(kLineBuffer <= 2 * kNamesText);

void reply_not_a_command(Controller&, const char*)
{
    emit("{\"ok\":false}");
    end_reply();
}

void reply_ok()
{
    emit("{\"ok\":true}");
    end_reply();
}

// Ducking says what happened; the replies' bytes are written here alone.
void duck_command(Controller& controller, const char* line)
{
    emit("{\"ok\":true,\"bajados\":%d}", duck_sessions(controller, line));
    end_reply();
}

void restore_and_reply(Controller& controller, const char* line)
{
    restore_command(controller, line);
    reply_ok();
}

void spare_and_reply(Controller& controller, const char* line)
{
    spare_command(controller.spared, line);
    reply_ok();
}

struct Command {
    const char* prefix;  // compared byte for byte with the line's start
    void (*handler)(Controller& controller, const char* line);  // null: leave the loop
};

// Only the prefix is compared, so "listing" is `list` and "quit now" `quit`.
const Command kCommands[] = {
    {"list", list_command},
    {"duck ", duck_command},
    {"restore", restore_and_reply},
    {"spare", spare_and_reply},
    {"quit", nullptr},
};

enum class LineRead { kLine, kTooLong, kEnd };

// Reads one line into buffer. A line longer than the buffer is read to its
// end and reported as too long, so that it gets one reply and not one per
// buffer-full: a controller pairs each reply with a line it wrote.
LineRead read_line(char* buffer)
{
    // fgets tells neither how much it read nor whether it stopped at a NUL
    // byte, so a mark in the last byte shows whether the buffer filled up.
    buffer[kLineBuffer - 1] = 1;
    // A line cut short by a read error or by the user stopping us is dropped.
    if (!std::fgets(buffer, kLineBuffer, stdin) || std::ferror(stdin) || input_interrupted())
        return LineRead::kEnd;
    if (buffer[kLineBuffer - 1] != 0 || buffer[kLineBuffer - 2] == '\n')
        return LineRead::kLine;
    // The buffer is full without a line feed. Carriage returns before the
    // line feed are part of the line ending, not of the line.
    int c = std::getchar();
    while (c == '\r')
        c = std::getchar();
    if (c == '\n' || c == EOF)
        return LineRead::kLine;
    while (c != '\n' && c != EOF)
        c = std::getchar();
    return LineRead::kTooLong;
}

void strip_line_ending(char* line)
{
    size_t length = std::strlen(line);
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n'))
        line[--length] = 0;
}

// Windows PowerShell 5.1 starts what it writes with a UTF-8 byte order mark
// when a script sets $OutputEncoding to UTF-8: it belongs to no command.
// Only the very start of the input is looked at.
void drop_byte_order_mark(char* line)
{
    constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
    constexpr size_t kMarkBytes = sizeof kByteOrderMark - 1;
    if (std::strncmp(line, kByteOrderMark, kMarkBytes) == 0)
        std::memmove(line, line + kMarkBytes, std::strlen(line) - kMarkBytes + 1);
}

const Command* find_command(const char* line)
{
    for (const Command& command : kCommands) {
        if (std::strncmp(line, command.prefix, std::strlen(command.prefix)) == 0)
            return &command;
    }
    return nullptr;
}

}  // namespace

bool run_command_line(Controller& controller, const char* line)
{
    const Command* command = find_command(line);
    if (!command) {
        reply_not_a_command(controller, line);
        return true;
    }
    if (!command->handler)
        return false;
    command->handler(controller, line);
    return true;
}

int run_command_loop(Controller& controller)
{
    join_object_runtime();
    static char line[kLineBuffer];
    for (bool first = true;; first = false) {
        const LineRead read = read_line(line);
        if (read == LineRead::kEnd)
            break;
        if (first)
            drop_byte_order_mark(line);
        if (read == LineRead::kTooLong) {
            reply_not_a_command(controller, line);
            continue;
        }
        strip_line_ending(line);
        if (!run_command_line(controller, line))
            break;
    }
    // Restores what is ducked: a controller that dies must never leave
    // other applications quiet. The last line written is always {"ok":true}.
    restore_command(controller, line);
    reply_ok();
    let_keeper_go(controller);
    release_sessions(controller.sessions);
    leave_object_runtime();
    return 0;
}
