// The command-line forms at work: a duck or restore through the hold's
// resident, `run` beside a duck, and the one-shot `list` and `status`.
#pragma once

#include "ducking/controller.h"
#include "hook_arguments.h"

// Returns the exit status: 0 done, 1 an error said on standard error, 2 a
// usage mistake; `run` gives its command's.
int run_hook_form(Controller& controller, const HookRequest& request);
