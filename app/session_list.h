// The reply to `list`: every distinct executable playing sound, with its
// name and the volume of its first session.
#pragma once

#include "ducking/controller.h"

void list_command(Controller& controller, const char* line);
