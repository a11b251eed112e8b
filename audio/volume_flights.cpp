#include "volume_flights.h"

bool flight_send(VolumeFlight& flight, float level)
{
    if (flight.in_flight) {
        flight.waiting = true;
        flight.level = level;
        return false;
    }
    flight.in_flight = true;
    return true;
}

bool flight_answered(VolumeFlight& flight, float* next)
{
    flight.in_flight = flight.waiting;
    if (!flight.waiting)
        return false;
    flight.waiting = false;
    *next = flight.level;
    return true;
}
