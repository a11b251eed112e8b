#include "volume_flights.h"

bool flight_send(VolumeFlight& flight)
{
    if (flight.in_flight) {
        flight.waiting = true;
        return false;
    }
    flight.in_flight = true;
    return true;
}

bool flight_answered(VolumeFlight& flight)
{
    flight.in_flight = flight.waiting;
    flight.waiting = false;
    return flight.in_flight;
}
