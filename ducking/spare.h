// "Everyone but me": what a controller never wants lowered, so that its own
// voice stays up through `duck 20 *`. Spared applications are left out of
// every wildcard (`*`, `chat*`); a name written out in full in a duck
// still reaches them, so an assistant can duck its own music player.
#pragma once

#include "audio/session_table.h"
#include "ducking/name_match.h"

// What a controller spares: names, and the root of its own process tree.
struct Spared {
    Utf16Char names[kNamesText] = {};  // every name spared so far, ';' between
    int names_length = 0;
    // The controller, as the process that started this one, and when it
    // started: a process that takes its id later is not it.
    bool root_set = false;
    uint32_t root_pid = 0;
    uint64_t root_started = 0;
    // What one rebuild's processes were found to be, so that each process
    // is looked up once (a Toolhelp snapshot each on Windows), not per
    // session.
    struct Kin {
        uint32_t pid;
        bool spared;
    };
    static constexpr int kMaxKin = 64;
    Kin kin[kMaxKin];
    int kin_count = 0;
    unsigned kin_rebuild = 0;
};

// "spare NAMES" (the names as a duck reads them): those applications from
// now on. "spare" alone: the process that started this appduck and every
// process descended from it, those started later too. Names accumulate up
// to the names text's length; later ones beyond it are not read.
void spare_command(Spared& spared, const char* line);
// The process and every process descended from it, those started later
// too (what "spare" alone does for the process that started appduck).
void spare_tree_of(Spared& spared, uint32_t root);
// Whether a duck that names this entry, of the table's last rebuild, only
// through a wildcard leaves it.
bool is_spared(Spared& spared, const SessionTable& sessions, const SessionEntry& entry);
