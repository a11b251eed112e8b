// The only two ways anything reaches standard output. Both write, in call
// order, to the C runtime's buffered stdout; the caller flushes once its
// reply line is complete.
#pragma once

#include "audio/text.h"

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void emit(const char* format, ...);

// Writes text as a quoted JSON string in UTF-8: `"` and `\` are escaped with
// a backslash, bytes 0x01 to 0x1F as \u00xx, all other bytes (multi-byte
// UTF-8 included) as they are. Text that cannot be converted is written as "".
void emit_json_string(const Utf16Char* text);

// Ends a reply line and makes it visible to the controller at once.
void end_reply();
