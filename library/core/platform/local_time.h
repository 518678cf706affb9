#pragma once
// The calendar time in the user's time zone, as the system keeps it.

#include <ctime>

namespace vortlink::platform {

// The broken-down local time of `when`; false when the system cannot give it.
bool local_time(std::time_t when, std::tm &local);

} // namespace vortlink::platform
