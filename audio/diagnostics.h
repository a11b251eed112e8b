// Opt-in diagnostics for integrators: with APPDUCK_DEBUG=1 in the
// environment, one line on standard error for each platform call that
// failed and for each connection made or lost. Without it nothing is ever
// written there, and the replies are the same either way.
#pragma once

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void diagnose(const char* format, ...);
