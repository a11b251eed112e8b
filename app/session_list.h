// The reply to `list`: every distinct executable playing sound, with its
// name and the volume of its first session.
#pragma once

void list_command(const char* line);
