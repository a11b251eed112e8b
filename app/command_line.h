// What the program's arguments ask for. The controller gives none; a
// person at a terminal may ask for the version or a short usage.
#pragma once

enum class Invocation {
    kRun,      // no argument (or the keeper's marker without its pipe)
    kVersion,  // --version
    kHelp,     // --help
    kMistake,  // anything else
};
Invocation read_arguments(int argc, char** argv);

// "appduck X.Y.Z" on standard output.
void print_version();
// What appduck reads, its commands, APPDUCK_DEBUG and the manual page, on
// standard output (asked for) or standard error (a mistake).
void print_usage(bool asked);
