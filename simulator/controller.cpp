#include "controller.h"

#include <algorithm>

#include "core/protocol.h"

namespace vortlink::sim {

namespace {

namespace op = protocol::opcode;
namespace device_error = protocol::device_error;

// Setters whose getter names a key with its whole request (none, one or two bytes) and answers
// the tail of what the setter last stored under that key.
struct stored_pair {
    uint8_t setter;
    uint8_t getter;
};
constexpr stored_pair stored_pairs[] = {
    {op::set_an_out, op::get_an_out},
    {op::set_dig_out, op::get_dig_out},
    {op::set_trigger_map, op::get_trigger_map},
    {op::set_hv_supply, op::get_hv_supply},
    {op::set_lv_supply, op::get_lv_supply},
    {op::set_pulse_out, op::get_pulse_out},
    {op::set_pulse, op::get_pulse},
    {op::set_ip, op::get_ip},
    {op::set_mac, op::get_mac},
    {op::set_repeat, op::get_repeat},
};
constexpr std::size_t max_key_length = 2;

// Diagnostics the firmware knows; each passes on the simulated hardware.
constexpr uint8_t last_diagnostic = 5;

uint16_t table_length(uint8_t opcode, bool request) {
    uint16_t length = 0;
    (void)protocol::lookup_command(opcode, request, length);
    return length;
}

uint32_t stored_key(uint8_t setter, std::span<const uint8_t> key) {
    uint32_t packed = setter;
    for (uint8_t byte : key)
        packed = (packed << 8) | byte;
    return packed | (static_cast<uint32_t>(key.size()) << 24);
}

int16_t check_range(uint32_t address, uint32_t count, uint32_t size) {
    if (address >= size || count > size - address)
        return device_error::bad_address;
    return 0;
}

} // namespace

controller::controller(const controller_settings &settings)
    : fw_version_(settings.fw_version.substr(0, fw_version_size)),
      status_word_(settings.status_word), memory_(memory_size, 0), eeprom_(eeprom_size, 0xFF) {}

uint16_t controller::status_word() const {
    std::lock_guard lock(mutex_);
    return status_word_;
}

void controller::set_status_word(uint16_t word) {
    std::lock_guard lock(mutex_);
    status_word_ = word;
}

std::string controller::fw_version() const {
    std::lock_guard lock(mutex_);
    return fw_version_;
}

int16_t controller::handle(uint8_t opcode, std::span<const uint8_t> request,
                           std::span<uint8_t> reply) {
    uint16_t request_length = 0;
    if (protocol::lookup_command(opcode, true, request_length) != 0)
        return device_error::unknown_command;
    if (request.size() != request_length || reply.size() != table_length(opcode, false))
        return device_error::bad_parameter;
    std::fill(reply.begin(), reply.end(), uint8_t{0});
    std::lock_guard lock(mutex_);
    return handle_locked(opcode, request, reply);
}

int16_t controller::handle_locked(uint8_t opcode, std::span<const uint8_t> request,
                                  std::span<uint8_t> reply) {
    switch (opcode) {
    case op::echo:
        std::copy(request.begin(), request.end(), reply.begin());
        return 0;
    case op::fw_version:
        std::copy(fw_version_.begin(), fw_version_.end(), reply.begin());
        return 0;
    case op::status:
        protocol::put_u16_be(reply.data(), status_word_);
        return 0;
    case op::run_diags:
        return request[0] <= last_diagnostic ? 0 : device_error::bad_parameter;
    case op::special:
        // No special function is modelled yet: each answers 0.
        return 0;
    case op::write_mem: {
        uint32_t address = 0;
        protocol::get_u32_be(request.data(), address);
        if (int16_t error = check_range(address, 1, memory_size))
            return error;
        memory_[address] = request[4];
        return 0;
    }
    case op::read_mem: {
        uint32_t address = 0;
        protocol::get_u32_be(request.data(), address);
        if (int16_t error = check_range(address, 1, memory_size))
            return error;
        reply[0] = memory_[address];
        return 0;
    }
    case op::write_mem_block:
        return write_block(memory_, request);
    case op::read_mem_block:
        return read_block(memory_, request, reply);
    case op::write_eemem_block:
        return write_block(eeprom_, request);
    case op::read_eemem_block:
        return read_block(eeprom_, request, reply);
    default:
        // Everything else answers with its table length: stored values for the simple pairs,
        // zeros for the rest.
        (void)serve_stored_pair(opcode, request, reply);
        return 0;
    }
}

// Block requests: u32 address, u16 count, then (writes) the 112-byte data field.
int16_t controller::write_block(std::vector<uint8_t> &store, std::span<const uint8_t> request) {
    uint32_t address = 0;
    uint16_t count = 0;
    const uint8_t *data =
        protocol::get_u16_be(protocol::get_u32_be(request.data(), address), count);
    if (count > block_field_size)
        return device_error::bad_parameter;
    if (int16_t error = check_range(address, count, static_cast<uint32_t>(store.size())))
        return error;
    std::copy(data, data + count, store.begin() + address);
    return 0;
}

int16_t controller::read_block(const std::vector<uint8_t> &store, std::span<const uint8_t> request,
                               std::span<uint8_t> reply) {
    uint32_t address = 0;
    uint16_t count = 0;
    protocol::get_u16_be(protocol::get_u32_be(request.data(), address), count);
    if (count > block_field_size)
        return device_error::bad_parameter;
    if (int16_t error = check_range(address, count, static_cast<uint32_t>(store.size())))
        return error;
    std::copy(store.begin() + address, store.begin() + address + count, reply.begin());
    return 0;
}

bool controller::serve_stored_pair(uint8_t opcode, std::span<const uint8_t> request,
                                   std::span<uint8_t> reply) {
    for (const stored_pair &pair : stored_pairs) {
        if (opcode != pair.setter && opcode != pair.getter)
            continue;
        const std::size_t setter_length = table_length(pair.setter, true);
        const std::size_t key_length = table_length(pair.getter, true);
        const std::size_t value_length = table_length(pair.getter, false);
        if (key_length > max_key_length || key_length > setter_length ||
            value_length > setter_length)
            return false;
        if (opcode == pair.setter) {
            stored_[stored_key(pair.setter, request.first(key_length))] =
                std::vector<uint8_t>(request.begin(), request.end());
            return true;
        }
        const auto found = stored_.find(stored_key(pair.setter, request));
        if (found != stored_.end())
            std::copy(found->second.end() - static_cast<std::ptrdiff_t>(value_length),
                      found->second.end(), reply.begin());
        return true;
    }
    return false;
}

} // namespace vortlink::sim
