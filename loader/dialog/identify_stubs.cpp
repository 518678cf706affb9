#include "dialog/identify_stubs.h"

namespace vortlink::loader {

// TODO: read, validate and show the configuration block when the block editor lands.
status_t ReadConfigBlock(LoaderDialog &) {
    return status::ok;
}

// TODO: read the lighthead serial number and record when the lighthead editor lands.
bool read_lighthead(LoaderDialog &) {
    return false;
}

} // namespace vortlink::loader
