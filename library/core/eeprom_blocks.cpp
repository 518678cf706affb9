#include "core/eeprom_blocks.h"

#include "core/byte_order.h"

namespace vortlink {

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

bool check_record(std::span<const uint8_t> block, uint16_t identifier) {
    return block.size() >= 4 && get_u16_be(block.data() + 2) == identifier &&
           crc16(block.subspan(2)) == get_u16_be(block.data());
}

void seal_record(std::span<uint8_t> block) {
    put_u16_be(block.data(), crc16(block.subspan(2)));
}

} // namespace vortlink
