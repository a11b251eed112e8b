#include "volume_flights.h"

bool flight_send(VolumeFlight& flight)
{
    if (flight.in_flight) {
        flight.waiting = true;
        return false;
    }
    flight.in_flight = true;
    flight.waiting = false;  // this level replaces the one that waited
    return true;
}

void flight_answered(VolumeFlight& flight)
{
    flight.in_flight = false;
}

bool flight_take_waiting(VolumeFlight& flight)
{
    if (flight.in_flight || !flight.waiting)
        return false;
    flight.in_flight = true;
    flight.waiting = false;
    return true;
}
