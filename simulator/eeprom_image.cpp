#include "eeprom_image.h"

#include <algorithm>
#include <bit>
#include <string_view>

#include "core/protocol.h"

namespace vortlink::sim {

namespace {

// The day the simulated factory built every controller and programmed its lighthead: the
// blocks stay byte-for-byte the same from run to run.
constexpr char factory_date_code[] = "0992026"; // day 99 (from 0) of 2026
constexpr char factory_programmed_on[] = "10-Apr-2026 9:30";
constexpr char default_eco_revision[] = "A";
constexpr std::string_view revision_marker = " Rev ";
constexpr char factory_lighthead_part[] = "LH-4400-01";

constexpr uint8_t mac_prefix[3] = {0x02, 0x4C, 0x51};
constexpr uint8_t ip_network[3] = {192, 168, 1};

// Block identifier, then the two bytes the loader writes after it.
void write_head(std::span<uint8_t> block, uint16_t id, uint8_t byte_4, uint8_t byte_5) {
    protocol::put_u16_be(&block[2], id);
    block[4] = byte_4;
    block[5] = byte_5;
}

void seal(std::span<uint8_t> block) {
    protocol::put_u16_be(block.data(), crc16(block.subspan(2)));
}

void put_text(std::span<uint8_t> field, const std::string &text) {
    std::fill(field.begin(), field.end(), uint8_t{0});
    std::copy_n(text.begin(), std::min(text.size(), field.size()), field.begin());
}

void build_mfg_block(std::span<uint8_t> block, const factory_identity &identity) {
    std::fill(block.begin(), block.end(), uint8_t{0});
    write_head(block, mfg_block_id, 0x01, 0x00);
    put_text(block.subspan(6, 16), identity.serial_number);
    put_text(block.subspan(22, 8), factory_date_code);
    std::string part = identity.hw_version;
    std::string revision = default_eco_revision;
    if (const std::size_t marker = part.rfind(revision_marker); marker != std::string::npos) {
        revision = part.substr(marker + revision_marker.size());
        part.resize(marker);
    }
    put_text(block.subspan(38, 16), part);
    put_text(block.subspan(54, 4), revision);
    const factory_network network = network_for_serial(identity.serial_number);
    std::copy(std::begin(network.mac), std::end(network.mac), block.begin() + 61);
    protocol::put_u32_be(&block[68], network.ip);
    block[72] = 0; // no 48 V limit
    seal(block);
}

void build_config_block(std::span<uint8_t> block) {
    std::fill(block.begin(), block.end(), uint8_t{0});
    write_head(block, config_block_id, 0x01, 0x0A);
    protocol::put_f32_be(&block[6], 5.0f);           // supply overhead
    std::fill_n(block.begin() + 14, 4, uint8_t{25}); // initial LED temperature per channel
    for (std::size_t record = 0; record < 4; ++record) {
        uint8_t *channel = &block[96 + 40 * record];
        channel[0] = 0;                          // no trigger input
        channel[1] = 1;                          // rising edge
        channel[2] = 1;                          // pulsed mode
        channel[3] = 0;                          // slowest slew rate
        protocol::put_u16_be(channel + 6, 0);    // delay
        protocol::put_f32_be(channel + 8, 1.0f); // current, A
        protocol::put_u32_be(channel + 12, 100); // width
    }
    seal(block);
}

void build_lighthead_image(std::span<uint8_t> image) {
    std::fill(image.begin(), image.end(), uint8_t{0});
    constexpr uint8_t head[6] = {0x00, 0x05, 0x01, 0x00, 0x0F, 0x07};
    std::copy(std::begin(head), std::end(head), image.begin() + 2);
    put_text(image.subspan(8, 16), factory_lighthead_part);
    put_text(image.subspan(24, 20), factory_programmed_on);
    // LED group 0; groups 1 to 3 stay unused (zero).
    uint8_t *group = &image[48];
    protocol::put_u16_be(group + 0, 25);     // 2.5 C/W
    protocol::put_u16_be(group + 2, 12000);  // 12 ms
    protocol::put_f32_be(group + 4, 0.4f);   // V/A
    protocol::put_u16_be(group + 8, 2900);   // 2.9 V
    group[10] = 125;                         // C
    group[11] = (4 << 4) | 6;                // 4 strings of 6 LEDs
    protocol::put_u16_be(group + 12, 8);     // 0.8 C/W
    protocol::put_u16_be(group + 14, 1000);  // 1.0 A
    protocol::put_u16_be(group + 16, 10000); // 10.0 A
    protocol::put_u16_be(group + 18, 500);   // 0.5 A, within what the editor allows 4 strings
    seal(image);
}

uint16_t be16(const uint8_t *bytes) {
    uint16_t value = 0;
    protocol::get_u16_be(bytes, value);
    return value;
}

float be_f32(const uint8_t *bytes) {
    uint32_t bits = 0;
    protocol::get_u32_be(bytes, bits);
    return std::bit_cast<float>(bits);
}

} // namespace

uint16_t crc16(std::span<const uint8_t> bytes) {
    uint16_t crc = 0;
    for (uint8_t byte : bytes) {
        for (int bit = 0; bit < 8; ++bit) {
            const bool feedback = ((byte ^ crc) & 1) != 0;
            crc = static_cast<uint16_t>(crc >> 1);
            if (feedback)
                crc ^= 0xA001;
            byte = static_cast<uint8_t>(byte >> 1);
        }
    }
    return crc;
}

bool block_valid(std::span<const uint8_t> block, uint16_t id) {
    if (block.size() < 4)
        return false;
    return be16(&block[2]) == id && be16(&block[0]) == crc16(block.subspan(2));
}

void write_factory_eeprom(std::span<uint8_t> eeprom, const factory_identity &identity) {
    std::fill(eeprom.begin(), eeprom.end(), uint8_t{0xFF});
    build_mfg_block(eeprom.subspan(mfg_block_address, mfg_block_size), identity);
    build_config_block(eeprom.subspan(config_block_address, config_block_size));
    if (identity.with_lighthead)
        build_lighthead_image(eeprom.subspan(lighthead_image_address, lighthead_image_size));
}

factory_network network_for_serial(const std::string &serial_number) {
    // The serial's digits, as one number, number the unit within the MAC block; a serial
    // without digits still gets a stable address.
    uint32_t unit = 0;
    bool any_digit = false;
    for (char c : serial_number) {
        if (c >= '0' && c <= '9') {
            unit = (unit * 10 + static_cast<uint32_t>(c - '0')) & 0xFFFFFF;
            any_digit = true;
        }
    }
    if (!any_digit)
        unit = crc16(std::span(reinterpret_cast<const uint8_t *>(serial_number.data()),
                               serial_number.size()));
    factory_network network{};
    std::copy(std::begin(mac_prefix), std::end(mac_prefix), network.mac);
    network.mac[3] = static_cast<uint8_t>(unit >> 16);
    network.mac[4] = static_cast<uint8_t>(unit >> 8);
    network.mac[5] = static_cast<uint8_t>(unit);
    network.ip = (uint32_t{ip_network[0]} << 24) | (uint32_t{ip_network[1]} << 16) |
                 (uint32_t{ip_network[2]} << 8) | (100 + unit % 150);
    return network;
}

std::optional<led_group> read_led_group(std::span<const uint8_t> eeprom, uint8_t group) {
    if (group >= led_group_count || eeprom.size() < lighthead_image_address + lighthead_image_size)
        return std::nullopt;
    const auto image = eeprom.subspan(lighthead_image_address, lighthead_image_size);
    if (!block_valid(image, lighthead_image_id))
        return std::nullopt;
    const uint8_t *field = &image[48 + 20 * std::size_t{group}];
    led_group led{};
    led.led_rth = be16(field + 0) / 10.0;
    led.tau_ms = be16(field + 2) / 1000.0;
    led.vf_slope = be_f32(field + 4);
    led.vf_offset = be16(field + 8) / 1000.0;
    led.tj_max = field[10];
    led.string_count = field[11] >> 4;
    led.leds_per_string = field[11] & 0x0F;
    led.heatsink_rth = be16(field + 12) / 10.0;
    led.default_current = be16(field + 14) / 1000.0;
    led.max_pulse_current = be16(field + 16) / 1000.0;
    led.max_cont_current = be16(field + 18) / 1000.0;
    return led;
}

std::optional<float> read_supply_overhead(std::span<const uint8_t> eeprom) {
    if (eeprom.size() < config_block_address + config_block_size)
        return std::nullopt;
    const auto block = eeprom.subspan(config_block_address, config_block_size);
    if (!block_valid(block, config_block_id))
        return std::nullopt;
    return be_f32(&block[6]);
}

} // namespace vortlink::sim
