#include "ducking/keeper/keeper_pipe.h"

#include "audio/audio_platform.h"

#include <cstring>

bool send_keeper_record(const char* record)
{
    char line[kMaxRecord + 1];
    const size_t length = std::strlen(record);
    if (length > static_cast<size_t>(kMaxRecord))
        return false;
    std::memcpy(line, record, length);
    line[length] = '\n';
    return write_to_keeper(line, static_cast<int>(length + 1));
}

bool receive_keeper_record(RecordReader& incoming, char* record, int capacity)
{
    return next_record(incoming, record, capacity, read_from_controller);
}
