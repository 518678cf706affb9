#include "core/platform/local_time.h"

namespace vortlink::platform {

bool local_time(std::time_t when, std::tm &local) {
    return ::localtime_s(&local, &when) == 0;
}

} // namespace vortlink::platform
