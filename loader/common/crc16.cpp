#include "common/crc16.h"

namespace vortlink::loader {

uint16_t crc16(std::span<const uint8_t> bytes) {
    uint16_t crc = 0;
    for (uint8_t byte : bytes) {
        crc = static_cast<uint16_t>(crc ^ byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                                 : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

} // namespace vortlink::loader
