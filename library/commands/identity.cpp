#include <cstring>

#include "commands/command.h"
#include "commands/lighthead.h"
#include "core/state.h"
#include "core/usb_transport.h"

using namespace vortlink;

namespace {

namespace opcode = protocol::opcode;

constexpr std::size_t fw_version_size = 20;
// A device string has at most 100 characters; callers provide room for them and the
// terminator. The driver gets room for 100 UTF-16 units and a terminating one.
constexpr std::size_t device_string_max = 100;
constexpr uint16_t device_string_buffer_size = 2 * (device_string_max + 1);
constexpr uint16_t string_index_serial_number = 3;
constexpr uint16_t string_index_fw_version = 4;
constexpr uint16_t string_index_hw_version = 5;

// Both texts the library reads from the manufacturing block fill 16-byte fields.
constexpr std::size_t mfg_field_size = mfg_layout::serial_number_size;
static_assert(mfg_layout::hardware_part_number_size == mfg_field_size);

bool over_tcp(uint8_t slot) {
    return slot_of(slot).transport == transport_kind::tcp;
}

void copy_text(char *text, const char *source, std::size_t max_length) {
    const std::size_t length = strnlen(source, max_length);
    std::memcpy(text, source, length);
    text[length] = '\0';
}

status_t read_device_string(uint8_t slot, uint16_t index, char *text) {
    char buffer[device_string_buffer_size] = {};
    if (status_t result = usb_read_string(slot, index, buffer, device_string_buffer_size);
        result != status::ok)
        return result;
    copy_text(text, buffer, device_string_max);
    return status::ok;
}

// A manufacturing block that was never written (or fails its CRC-16) is not an error: the
// controller simply has no identity yet, and the text stays empty.
status_t read_mfg_field(uint8_t slot, std::size_t offset, char *text) {
    uint8_t block[eeprom_block_size];
    if (status_t result =
            tkcmdset_read_eemem_block(slot, mfg_block_address, block, eeprom_block_size);
        result != status::ok)
        return result;
    if (!check_record(block, mfg_block_id))
        return status::ok;
    std::memcpy(text, block + offset, mfg_field_size);
    text[mfg_field_size] = '\0';
    return status::ok;
}

// An identity text: over USB the device string with the index, over TCP what read_over_tcp
// finds. The text is empty after a failure.
template <typename TcpRead>
status_t read_identity(uint8_t slot, char *text, uint16_t string_index, TcpRead read_over_tcp) {
    if (status_t result = check_slot(slot); result != status::ok)
        return result;
    text[0] = '\0';
    if (!over_tcp(slot))
        return read_device_string(slot, string_index, text);
    return read_over_tcp();
}

} // namespace

extern "C" {

VORTLINK_API int16_t tkcmdset_status(uint8_t slot, uint16_t *status_word) {
    if (status_t result = check_slot(slot); result != status::ok)
        return result;
    *status_word = 0;
    command_frames frames;
    status_t result = run_exchange(slot, header_pair::normal, protocol::opcode::status, frames,
                                   protocol::timeout_normal_ms);
    if (result != status::ok)
        return result;
    protocol::get_u16_be(frames.reply_data(), *status_word);
    return status::ok;
}

VORTLINK_API int16_t tkcmdset_fw_version(uint8_t slot, char *text) {
    return read_identity(slot, text, string_index_fw_version, [&] {
        command_frames frames;
        if (status_t result = run_exchange(slot, header_pair::normal, opcode::fw_version, frames,
                                           protocol::timeout_normal_ms);
            result != status::ok)
            return result;
        copy_text(text, reinterpret_cast<const char *>(frames.reply_data()), fw_version_size);
        return status::ok;
    });
}

VORTLINK_API int16_t tkcmdset_hw_version(uint8_t slot, char *text) {
    return read_identity(slot, text, string_index_hw_version, [&] {
        return read_mfg_field(slot, mfg_layout::hardware_part_number_offset, text);
    });
}

VORTLINK_API int16_t tkcmdset_serial_number(uint8_t slot, char *text) {
    return read_identity(slot, text, string_index_serial_number, [&] {
        return read_mfg_field(slot, mfg_layout::serial_number_offset, text);
    });
}

VORTLINK_API int16_t tkcmdset_echo(uint8_t slot, const uint8_t *data, uint8_t *reply) {
    constexpr std::size_t echo_size = TKCMDSET_ECHO_SIZE;
    if (status_t result = check_slot(slot); result != status::ok)
        return result;
    reply[0] = 0;
    command_frames frames;
    static_assert(sizeof frames.request - 2 == echo_size);
    std::memcpy(frames.request_data(), data, echo_size);
    if (status_t result = run_exchange(slot, header_pair::long_both, opcode::echo, frames,
                                       protocol::timeout_normal_ms);
        result != status::ok)
        return result;
    std::memcpy(reply, frames.reply_data(), echo_size);
    return status::ok;
}

VORTLINK_API int16_t tkcmdset_run_diags(uint8_t slot, uint8_t test) {
    return send_values(slot, opcode::run_diags, protocol::timeout_long_ms, test);
}

VORTLINK_API int16_t tkcmdset_special(uint8_t slot, uint16_t code, uint32_t param,
                                      uint32_t *result) {
    if (status_t checked = check_slot(slot); checked != status::ok)
        return checked;
    if (result != nullptr)
        *result = 0;
    command_frames frames;
    protocol::put_u32_be(protocol::put_u16_be(frames.request_data(), code), param);
    if (status_t exchanged = run_exchange(slot, header_pair::normal, opcode::special, frames,
                                          protocol::timeout_long_ms);
        exchanged != status::ok)
        return exchanged;
    if (result != nullptr)
        protocol::get_u32_be(frames.reply_data(), *result);
    return status::ok;
}

VORTLINK_API int16_t tkcmdset_execute(uint8_t slot, uint32_t address) {
    return send_values(slot, opcode::execute, protocol::timeout_normal_ms, address);
}
}
