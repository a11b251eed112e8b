// What a run of the command loop must have answered, whatever its input.
#pragma once

#include <string>

// The number of replies the loop owes for this input: one per line, one for
// a line too long for a read, none for `quit` and nothing after it, and the
// final {"ok":true}.
int expected_reply_count(const std::string& input);

// Whether one reply line (without its line feed) has one of the protocol's
// shapes: {"ok":false}, {"ok":true}, {"ok":true,"bajados":0|1}, or a list
// of {"exe":…,"name":…,"vol":N} with valid JSON strings of UTF-8 text.
bool is_valid_reply(const std::string& reply);
