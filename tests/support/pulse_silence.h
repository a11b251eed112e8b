// What the tests' own libpulse clients play: silence, as fast as a stream
// asks for it (a stream's write callback).
#pragma once

#include <pulse/pulseaudio.h>

#include <cstring>

inline void write_silence(pa_stream* stream, size_t bytes, void*)
{
    void* data = nullptr;
    if (pa_stream_begin_write(stream, &data, &bytes) < 0 || !data)
        return;
    std::memset(data, 0, bytes);
    pa_stream_write(stream, data, bytes, nullptr, 0, PA_SEEK_RELATIVE);
}
