#include "hook_arguments.h"

#include <cstdio>
#include <cstring>

namespace {

const char* const kForms[] = {"duck", "restore", "run", "list", "status"};

HookRequest mistake(const char* what)
{
    HookRequest request;
    request.form = HookForm::kMistake;
    request.mistake = what;
    return request;
}

// Letters, digits, '.', '_' and '-', not starting with '.': a name that
// is a file name in the shared directory and nothing more ("..", "a/b").
bool valid_hold_name(const char* name)
{
    const size_t length = std::strlen(name);
    if (length == 0 || length > static_cast<size_t>(kMaxHoldName) || name[0] == '.')
        return false;
    for (const char* c = name; *c; ++c) {
        const bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                           (*c >= '0' && *c <= '9') || *c == '.' || *c == '_' || *c == '-';
        if (!plain)
            return false;
    }
    return true;
}

// Whole digits, at most nine: a number nobody mistypes into a surprise.
bool read_whole(const char* text, uint64_t* value)
{
    const size_t length = std::strlen(text);
    if (length == 0 || length > 9)
        return false;
    *value = 0;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        *value = *value * 10 + static_cast<uint64_t>(*c - '0');
    }
    return true;
}

// Seconds, whole or with up to three decimals: "2", "0.5".
bool read_seconds(const char* text, uint64_t* ms)
{
    char whole[16];
    const char* point = std::strchr(text, '.');
    const size_t whole_length = point ? static_cast<size_t>(point - text) : std::strlen(text);
    if (whole_length == 0 || whole_length >= sizeof whole)
        return false;
    std::memcpy(whole, text, whole_length);
    whole[whole_length] = 0;
    uint64_t seconds = 0;
    if (!read_whole(whole, &seconds))
        return false;
    uint64_t fraction = 0;
    if (point) {
        const size_t digits = std::strlen(point + 1);
        if (digits == 0 || digits > 3 || !read_whole(point + 1, &fraction))
            return false;
        for (size_t i = digits; i < 3; ++i)
            fraction *= 10;
    }
    *ms = seconds * 1000 + fraction;
    return true;
}

// A percentage as the protocol takes it, but whole: an optional sign and
// digits (the protocol would read "abc" as 0 and duck to silence).
bool valid_percent(const char* text)
{
    if (*text == '+' || *text == '-')
        ++text;
    uint64_t ignored = 0;
    return read_whole(text, &ignored);
}

// "duck P NAMES", the names given one or more to an argument, joined by ';'.
bool make_duck_line(char* line, const char* percent, char** names, int count)
{
    int length = std::snprintf(line, kHookLineBytes, "duck %s ", percent);
    for (int i = 0; i < count; ++i) {
        const int wrote = std::snprintf(line + length, static_cast<size_t>(kHookLineBytes - length),
                                        "%s%s", i > 0 ? ";" : "", names[i]);
        if (wrote < 0 || wrote >= kHookLineBytes - length || std::strchr(names[i], '\n'))
            return false;
        length += wrote;
    }
    return true;
}

}  // namespace

bool is_hook_form(int argc, char** argv)
{
    if (argc < 2)
        return false;
    for (const char* form : kForms) {
        if (std::strcmp(argv[1], form) == 0)
            return true;
    }
    return false;
}

HookRequest read_hook_arguments(int argc, char** argv)
{
    HookRequest request;
    const char* form = argv[1];
    int i = 2;
    bool timed = false;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-' && argv[i][2]; ++i) {
        const char* option = argv[i];
        const bool has_value = i + 1 < argc;
        if (std::strcmp(option, "--as") == 0 && has_value) {
            if (!valid_hold_name(argv[++i]))
                return mistake("a hold's name is 1 to 32 letters, digits, '.', '_' or '-', "
                               "not starting with '.'");
            std::strcpy(request.name, argv[i]);
            request.named = true;
        } else if (std::strcmp(option, "--for") == 0 && has_value && !timed) {
            if (!read_seconds(argv[++i], &request.for_ms))
                return mistake("--for takes seconds: 30, 2.5, or 0 for until restored");
            timed = true;
        } else if (std::strcmp(option, "--while") == 0 && has_value && !timed) {
            uint64_t pid = 0;
            if (!read_whole(argv[++i], &pid) || pid == 0)
                return mistake("--while takes a process id");
            request.while_pid = static_cast<uint32_t>(pid);
            request.for_ms = 0;
            timed = true;
        } else if (std::strcmp(option, "--no-wait") == 0) {
            request.no_wait = true;
        } else if (std::strcmp(option, "--all") == 0) {
            request.all = true;
        } else {
            return mistake("unknown option, or one given twice or without its value");
        }
    }
    if (std::strcmp(form, "list") == 0 || std::strcmp(form, "status") == 0) {
        if (argc != 2)
            return mistake("list and status take no arguments");
        request.form = form[0] == 'l' ? HookForm::kList : HookForm::kStatus;
        return request;
    }
    if (std::strcmp(form, "restore") == 0) {
        if (i != argc || timed || request.no_wait || (request.all && request.named))
            return mistake("restore takes --as NAME or --all, nothing else");
        request.form = HookForm::kRestore;
        return request;
    }
    if (request.all)
        return mistake("--all is restore's");
    const bool run = std::strcmp(form, "run") == 0;
    int end = argc;
    if (run) {
        if (timed || request.no_wait)
            return mistake("run lasts as long as its command: no --for, --while or --no-wait");
        end = i;
        while (end < argc && std::strcmp(argv[end], "--") != 0)
            ++end;
        if (end == argc || end + 1 == argc)
            return mistake("run needs -- and a command after the names");
        request.command = argv + end + 1;
    }
    if (end - i < 2)
        return mistake("a percentage and at least one name are needed");
    if (!valid_percent(argv[i]))
        return mistake("the percentage is a whole number (0 to 100)");
    if (!make_duck_line(request.duck_line, argv[i], argv + i + 1, end - i - 1))
        return mistake("the names are too long for one command");
    request.form = run ? HookForm::kRun : HookForm::kDuck;
    return request;
}
