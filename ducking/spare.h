// "Everyone but me": what a controller never wants lowered, so that its own
// voice stays up through `duck 20 *`. Spared applications are left out of
// every wildcard (`*`, `chat*`); a name written out in full in a duck
// still reaches them, so an assistant can duck its own music player.
#pragma once

#include "audio/session_table.h"

// "spare NAMES" (the names as a duck reads them): those applications from
// now on. "spare" alone: the process that started this appduck and every
// process descended from it, those started later too. Names accumulate up
// to the names text's length; later ones beyond it are not read.
void spare_command(const char* line);
// Whether a duck that names this entry only through a wildcard leaves it.
bool spared(const SessionEntry& entry);
// Spares nothing any more (a new run of the command loop in the tests).
void forget_spared();
