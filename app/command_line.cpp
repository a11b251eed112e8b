#include "command_line.h"

#include "ducking/keeper/keeper_pipe.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char kUsage[] =
    "usage: appduck [--help | --version]\n"
    "       appduck duck [--as NAME] [--for SECONDS | --while PID] [--no-wait] P NAMES...\n"
    "       appduck restore [--as NAME | --all]\n"
    "       appduck run [--as NAME] P NAMES... -- COMMAND [ARGS...]\n"
    "       appduck list | status\n"
    "\n"
    "appduck reads one command per line on standard input and answers each\n"
    "with one line of JSON on standard output:\n"
    "  list            the applications playing sound, with their volumes\n"
    "  duck P NAMES    lower the named applications (';' between names, a\n"
    "                  trailing '*' for every name it begins) to P percent\n"
    "                  of their own volume\n"
    "  restore         bring back everything this appduck lowered\n"
    "  spare [NAMES]   never lower these through a wildcard; without names,\n"
    "                  the program that started appduck and its children\n"
    "  quit            restore and exit (so does the end of input)\n"
    "\n"
    "\n"
    "From a hook, one command per event: `duck` keeps a named hold (\"default\")\n"
    "in a resident appduck until `restore`, its --for (default 300 seconds; 0:\n"
    "until restored) or the --while process ends; `run` ducks while COMMAND\n"
    "runs and exits with its status; `status` prints every hold.\n"
    "\n"
    "APPDUCK_DEBUG=1 in the environment writes each failure to standard error.\n"
    "See man appduck.\n";

}  // namespace

Invocation read_arguments(int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[1], kKeeperMarker) == 0)
        return Invocation::kRun;
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return Invocation::kVersion;
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        return Invocation::kHelp;
    return Invocation::kMistake;
}

void print_version()
{
    std::printf("appduck %s\n", APPDUCK_VERSION);
}

void print_usage(bool asked)
{
    std::fputs(kUsage, asked ? stdout : stderr);
}
