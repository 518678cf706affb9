#include "dialog/identify_stubs.h"

#include <span>

#include "common/byte_order.h"
#include "common/crc16.h"

namespace vortlink::loader {

// TODO: read, validate and show the configuration block when the block editor lands.
status_t ReadConfigBlock(LoaderDialog &) {
    return status::ok;
}

bool IsValidMfgBlock(const uint8_t (&block)[128]) {
    constexpr uint16_t mfg_block_identifier = 2;
    return get_u16_be(block + 2) == mfg_block_identifier &&
           crc16(std::span<const uint8_t>(block + 2, 126)) == get_u16_be(block);
}

// TODO: read the lighthead serial number and record when the lighthead editor lands.
bool read_lighthead(LoaderDialog &) {
    return false;
}

} // namespace vortlink::loader
