#include "firmware_image.h"

#include <algorithm>
#include <cstring>

#include "core/protocol.h"
#include "eeprom_image.h"

namespace vortlink::sim {

namespace {

namespace device_error = protocol::device_error;

// Controller image header, at the image's base.
constexpr uint32_t header_crc_offset = 0x00;
constexpr uint32_t header_covered_from = 0x02;
constexpr uint32_t header_covered_end = 0x88; // the first 8 bytes of the first data chunk too
constexpr uint32_t body_start_offset = 0x4A;
constexpr uint32_t body_end_offset = 0x4E;
constexpr uint32_t body_crc_offset = 0x52;

// Ethernet-processor image header, relative to the image's start.
constexpr uint32_t ethernet_header = 0x500;
constexpr uint32_t ethernet_header_end = 0x588;
constexpr uint32_t ethernet_signature_offset = 0x506;
constexpr char ethernet_signature[] = "Kv Quorrel Ethernet";

constexpr bool image_base(uint32_t address) {
    return address == 0x10000 || address == 0x20000 || address == 0x30000;
}

uint16_t be16_at(std::span<const uint8_t> bytes, uint32_t address) {
    uint16_t value = 0;
    protocol::get_u16_be(&bytes[address], value);
    return value;
}

uint32_t be32_at(std::span<const uint8_t> bytes, uint32_t address) {
    uint32_t value = 0;
    protocol::get_u32_be(&bytes[address], value);
    return value;
}

} // namespace

programming_area::programming_area() : flash_(size, 0xFF) {}

int16_t programming_area::begin_block(uint32_t base) {
    if (base % block_size != 0)
        return device_error::bad_parameter;
    if (base < first_programmable || base >= size)
        return device_error::bad_address;
    std::fill_n(flash_.begin() + base, block_size, uint8_t{0xFF});
    for (uint32_t chunk = base / chunk_size; chunk < (base + block_size) / chunk_size; ++chunk)
        programmed_.reset(chunk);
    begun_[base / block_size] = true;
    return 0;
}

int16_t programming_area::store_chunk(uint32_t target, std::span<const uint8_t, chunk_size> data) {
    if (target % chunk_size != 0 || target < first_programmable || target >= size)
        return device_error::bad_address;
    if (!begun_[target / block_size])
        return device_error::block_not_begun;
    const std::size_t chunk = target / chunk_size;
    const bool is_header = image_base(target) && programmed_.test(chunk + 1);
    uint8_t previous[chunk_size];
    std::memcpy(previous, &flash_[target], chunk_size);
    const bool was_programmed = programmed_.test(chunk);
    std::copy(data.begin(), data.end(), flash_.begin() + target);
    programmed_.set(chunk);
    if (is_header && !header_holds(target)) {
        std::memcpy(&flash_[target], previous, chunk_size);
        programmed_.set(chunk, was_programmed);
        return device_error::image_rejected;
    }
    return 0;
}

bool programming_area::header_holds(uint32_t base) const {
    const std::span<const uint8_t> flash(flash_);
    const uint16_t header_crc =
        crc16(flash.subspan(base + header_covered_from, header_covered_end - header_covered_from));
    if (header_crc != be16_at(flash, base + header_crc_offset))
        return false;
    const uint32_t body_start = be32_at(flash, base + body_start_offset);
    const uint32_t body_end = be32_at(flash, base + body_end_offset);
    if (body_start > size || body_end < body_start || body_end > size)
        return false;
    const uint16_t body_crc = crc16(flash.subspan(body_start, body_end - body_start));
    return body_crc == be16_at(flash, base + body_crc_offset);
}

void programming_area::close_blocks() {
    begun_.fill(false);
}

int16_t programming_area::check_staged_image(uint32_t staging, uint32_t byte_count,
                                             uint16_t &image_crc) const {
    image_crc = 0;
    if (byte_count == 0 || staging % block_size != 0)
        return device_error::bad_parameter;
    if (staging < first_programmable || staging >= size || byte_count > size - staging)
        return device_error::bad_address;
    const std::size_t first_chunk = staging / chunk_size;
    const std::size_t end_chunk = (staging + byte_count + chunk_size - 1) / chunk_size;
    for (std::size_t chunk = first_chunk; chunk < end_chunk; ++chunk)
        if (!programmed_.test(chunk))
            return device_error::bad_parameter; // nothing staged there
    if (byte_count < ethernet_header_end)
        return device_error::image_rejected;
    const std::span<const uint8_t> image = std::span<const uint8_t>(flash_).subspan(staging);
    const auto signature = image.subspan(ethernet_signature_offset, sizeof ethernet_signature);
    if (!std::equal(signature.begin(), signature.end(),
                    reinterpret_cast<const uint8_t *>(ethernet_signature)))
        return device_error::image_rejected;
    const uint16_t header_crc =
        crc16(image.subspan(ethernet_header + 2, ethernet_header_end - ethernet_header - 2));
    if (header_crc != be16_at(image, ethernet_header))
        return device_error::image_rejected;
    image_crc = crc16(image.first(byte_count));
    return 0;
}

std::optional<programming_area::range> programming_area::programmed_range() const {
    if (programmed_.none())
        return std::nullopt;
    std::size_t first = 0;
    while (!programmed_.test(first))
        ++first;
    std::size_t last = chunk_count - 1;
    while (!programmed_.test(last))
        --last;
    return range{static_cast<uint32_t>(first * chunk_size),
                 static_cast<uint32_t>((last + 1) * chunk_size - 1)};
}

std::vector<uint8_t> programming_area::serialize() const {
    std::vector<uint8_t> saved(flash_);
    saved.resize(serialized_size, 0);
    for (std::size_t chunk = 0; chunk < chunk_count; ++chunk)
        if (programmed_.test(chunk))
            saved[size + chunk / 8] |= static_cast<uint8_t>(1u << (chunk % 8));
    return saved;
}

bool programming_area::deserialize(std::span<const uint8_t> saved) {
    if (saved.size() != serialized_size)
        return false;
    std::copy_n(saved.begin(), size, flash_.begin());
    for (std::size_t chunk = 0; chunk < chunk_count; ++chunk)
        programmed_.set(chunk, (saved[size + chunk / 8] >> (chunk % 8)) & 1);
    begun_.fill(false);
    return true;
}

} // namespace vortlink::sim
