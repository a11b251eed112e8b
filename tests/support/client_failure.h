// The tests' own libpulse clients end with a line on stderr when the server
// refuses them, so that a test waiting for their streams says why.
#pragma once

#include <pulse/pulseaudio.h>

#include <cerrno>  // program_invocation_short_name
#include <cstdio>
#include <cstdlib>

inline void end_on_context_failure(pa_context* context)
{
    if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context)))
        return;
    std::fprintf(stderr, "%s: the sound server's connection failed: %s\n",
                 program_invocation_short_name, pa_strerror(pa_context_errno(context)));
    std::exit(1);
}

inline void end_on_stream_failure(pa_stream* stream, void*)
{
    if (pa_stream_get_state(stream) != PA_STREAM_FAILED)
        return;
    std::fprintf(stderr, "%s: the server refused a stream: %s\n", program_invocation_short_name,
                 pa_strerror(pa_context_errno(pa_stream_get_context(stream))));
    std::exit(3);
}
