// The keeper's pipe, as this program frames it: the keeper's marker on its
// command line, the pipe's size, and one record a line, each written whole
// in one write (a pipe takes up to 4096 bytes at once or not at all), so
// the keeper never sees half of one. The platform only moves the bytes.
#pragma once

#include "ducking/keeper/record_reader.h"
#include "ducking/records.h"

// The keeper's command line: the program itself, with this one argument.
constexpr char kKeeperMarker[] = "--keeper";
// A record and its line feed go in one atomic write: a Linux pipe takes
// 4096 bytes (PIPE_BUF) at once, a Windows pipe more.
static_assert(kMaxRecord + 1 <= 4096);
// Room in the keeper's pipe for every record of a full table twice (all of
// them told afresh after a drop, say, while the last telling is unread), so
// a write never finds it full while the keeper is alive and reading.
constexpr int kKeeperPipeBytes = 1 << 20;
static_assert(kKeeperPipeBytes >= 2 * kMaxSaved * (kMaxRecord + 1));

// In this program: one record to the keeper, framed and written whole;
// false when it was not delivered (the keeper gone or behind).
bool send_keeper_record(const char* record);
// In the keeper: the next record the program sent, without its line feed;
// false once the pipe has ended. A line too long for a record, and a last
// line without its line feed, are dropped.
bool receive_keeper_record(RecordReader& incoming, char* record, int capacity);
