// A shared object has no version block: the version is the one compiled in.
#include "core/platform/version_info.h"

#include "core/version.h"

namespace vortlink::platform {

uint16_t library_version_word() {
    return VORTLINK_VERSION_WORD;
}

} // namespace vortlink::platform
