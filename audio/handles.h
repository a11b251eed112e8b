// The opaque handles of the platform boundary are each backend's own
// records (a COM interface, a copy of a server's list entry, a simulated
// object) under another type: these are the two casts between them.
#pragma once

template <typename Handle, typename Record>
Handle* handle(Record* record)
{
    return reinterpret_cast<Handle*>(record);
}

template <typename Record, typename Handle>
Record* record(Handle* handle)
{
    return reinterpret_cast<Record*>(handle);
}
