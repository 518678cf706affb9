#include "firmware/firmware_image.h"

#include <cstring>

#include "common/byte_order.h"
#include "common/crc16.h"

namespace vortlink::loader {

status_t classify_image(const_image_span image, uint32_t lowest, uint32_t highest,
                        image_layout &layout) {
    layout = image_layout{};
    if (highest < lowest || highest >= image_area_size)
        return status::image_not_recognised;
    switch (lowest) {
    case 0x10000:
    case 0x20000:
    case 0x30000:
        layout.kind = image_kind::controller;
        return status::ok;
    case 0:
        break;
    default:
        return status::image_not_recognised;
    }
    if (std::memcmp(image.data() + ethernet_header::signature_address, ethernet_header::signature,
                    sizeof ethernet_header::signature) != 0)
        return status::image_not_recognised;
    if (ethernet_word_count(lowest, highest) > ethernet_word_limit)
        return status::image_not_recognised;
    layout.kind = image_kind::ethernet;
    layout.staging_offset =
        highest - lowest < 0xFFFF ? ethernet_staging_high : ethernet_staging_low;
    return status::ok;
}

void seal_ethernet_header(image_span image) {
    const uint16_t crc =
        crc16(image.subspan(ethernet_header::covered_address, ethernet_header::covered_length));
    put_u16_be(image.data() + ethernet_header::crc_address, crc);
}

status_t seal_controller_header(image_span image, uint32_t lowest) {
    if (lowest >
        image_area_size - (controller_header::covered_offset + controller_header::covered_length))
        return status::image_not_recognised;
    uint8_t *header = image.data() + lowest;
    const uint32_t body_start = get_u32_be(header + controller_header::body_start_offset);
    const uint32_t body_end = get_u32_be(header + controller_header::body_end_offset);
    if (body_start > image_area_size)
        return status::image_bad_body_start;
    if (body_end < body_start || body_end > image_area_size)
        return status::image_bad_body_end;
    put_u16_be(header + controller_header::body_crc_offset,
               crc16(image.subspan(body_start, body_end - body_start)));
    put_u16_be(header + controller_header::crc_offset,
               crc16(image.subspan(lowest + controller_header::covered_offset,
                                   controller_header::covered_length)));
    return status::ok;
}

uint32_t ethernet_word_count(uint32_t lowest, uint32_t highest) {
    return (highest - lowest) / 2 + 1;
}

uint32_t forward_argument(uint32_t lowest, uint32_t highest, uint32_t staging_offset) {
    return ethernet_word_count(lowest, highest) | ((lowest + staging_offset) & 0xFFFF0000);
}

uint32_t progress_percent(uint32_t address, uint32_t lowest, uint32_t highest) {
    const uint32_t span = highest - lowest;
    return span == 0 ? 0 : (address - lowest) * 100 / span;
}

} // namespace vortlink::loader
