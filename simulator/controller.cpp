#include "controller.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

#include "core/protocol.h"
#include "eeprom_image.h"
#include "state_store.h"
#include "thermal_model.h"

namespace vortlink::sim {

namespace {

namespace op = protocol::opcode;
namespace device_error = protocol::device_error;

// A run of block writes is written to the state files as one, this long after the last.
constexpr auto state_quiet_period = std::chrono::milliseconds(100);

// The analog inputs read mid-scale of a 12-bit converter over 0 to 10 V until a test sets them.
constexpr uint16_t analog_input_rest = 2048;
constexpr float analog_full_scale_v = 10.0f;
constexpr float analog_steps = 4096.0f;

// Codes of the USB feature report that restart the controller.
constexpr uint16_t feature_boot_loader = 1;
constexpr uint16_t feature_application = 2;

uint16_t table_length(uint8_t opcode, bool request) {
    uint16_t length = 0;
    (void)protocol::lookup_command(opcode, request, length);
    return length;
}

int16_t check_range(uint32_t address, uint32_t count, uint32_t size) {
    if (address >= size || count > size - address)
        return device_error::bad_address;
    return 0;
}

uint16_t u16_at(std::span<const uint8_t> bytes, std::size_t offset) {
    uint16_t value = 0;
    protocol::get_u16_be(&bytes[offset], value);
    return value;
}

uint32_t u32_at(std::span<const uint8_t> bytes, std::size_t offset) {
    uint32_t value = 0;
    protocol::get_u32_be(&bytes[offset], value);
    return value;
}

float f32_at(std::span<const uint8_t> bytes, std::size_t offset) {
    return std::bit_cast<float>(u32_at(bytes, offset));
}

template <std::size_t size>
void take(std::array<uint8_t, size> &field, std::span<const uint8_t> bytes) {
    std::copy_n(bytes.begin(), size, field.begin());
}

template <std::size_t size> void give(const std::array<uint8_t, size> &field, uint8_t *out) {
    std::copy(field.begin(), field.end(), out);
}

} // namespace

bool known_device_error(int16_t code) {
    switch (code) {
    case device_error::unknown_command:
    case device_error::request_checksum:
    case device_error::bad_parameter:
    case device_error::bad_address:
    case device_error::test_failed:
    case device_error::wrong_firmware:
    case device_error::block_not_begun:
    case device_error::image_rejected:
    case device_error::busy:
    case device_error::supply_fault:
        return true;
    default:
        return false;
    }
}

controller::controller(const controller_settings &settings)
    : application_version_(settings.fw_version.substr(0, fw_version_size)),
      boot_loader_version_(settings.boot_loader_version.substr(0, fw_version_size)),
      serial_number_(settings.serial_number), lighthead_(settings.lighthead),
      lighthead_serial_(settings.lighthead ? settings.lighthead_serial : 0),
      restart_delay_ms_(settings.restart_delay_ms), ethernet_restart_(settings.ethernet_restart_ms),
      running_(settings.start_in_boot_loader ? firmware_kind::boot_loader
                                             : firmware_kind::application),
      status_word_(settings.status_word), memory_(memory_size, 0), eeprom_(eeprom_size, 0xFF),
      diagnostic_errors_(settings.diagnostic_errors) {
    if (!settings.erased_eeprom)
        write_factory_eeprom(eeprom_, {settings.serial_number, settings.hw_version, lighthead_});
    analog_in_.fill(analog_input_rest);
    const factory_network network = network_for_serial(settings.serial_number);
    std::copy(std::begin(network.mac), std::end(network.mac), mac_.begin());
    protocol::put_u32_be(&ip_[0], network.ip);
    protocol::put_u32_be(&ip_[4], 0xFFFFFF00);                    // mask
    protocol::put_u32_be(&ip_[8], (network.ip & 0xFFFFFF00) | 1); // gateway
    if (!settings.state_directory.empty())
        load_state(settings);
}

controller::~controller() {
    writer_.reset();
}

void controller::load_state(const controller_settings &settings) {
    const state_files files(settings.state_directory, serial_number_);
    bool eeprom_fresh = true;
    std::string problem;
    switch (state_files::load(files.eeprom_path(), eeprom_, problem)) {
    case load_result::loaded:
        eeprom_fresh = false;
        break;
    case load_result::missing:
        break;
    case load_result::damaged:
        std::fprintf(stderr, "quorrel-sim: %s is damaged (%s); controller %s starts with %s\n",
                     files.eeprom_path().c_str(), problem.c_str(), serial_number_.c_str(),
                     settings.erased_eeprom ? "an erased EEPROM" : "the factory EEPROM");
        break;
    }
    bool flash_fresh = true;
    std::vector<uint8_t> saved(programming_area::serialized_size);
    switch (state_files::load(files.firmware_path(), saved, problem)) {
    case load_result::loaded:
        flash_fresh = !flash_.deserialize(saved);
        break;
    case load_result::missing:
        break;
    case load_result::damaged:
        std::fprintf(stderr, "quorrel-sim: %s is damaged (%s); controller %s starts unprogrammed\n",
                     files.firmware_path().c_str(), problem.c_str(), serial_number_.c_str());
        break;
    }
    writer_ = std::make_unique<state_writer>(
        files,
        [this](bool want_eeprom, std::vector<uint8_t> &eeprom, bool want_firmware,
               std::vector<uint8_t> &firmware) {
            std::lock_guard lock(mutex_);
            if (want_eeprom)
                eeprom = eeprom_;
            if (want_firmware)
                firmware = flash_.serialize();
        },
        state_quiet_period);
    // A fresh part is written at once, so the files always match what the controller holds.
    if (eeprom_fresh)
        writer_->eeprom_changed();
    if (flash_fresh)
        writer_->firmware_changed();
}

void controller::eeprom_changed() {
    if (writer_)
        writer_->eeprom_changed();
}

void controller::flash_changed() {
    if (writer_)
        writer_->firmware_changed();
}

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
    return running_ == firmware_kind::boot_loader ? boot_loader_version_ : application_version_;
}

firmware_kind controller::running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void controller::add_restart_listener(restart_listener listener) {
    std::lock_guard lock(mutex_);
    restart_listeners_.push_back(std::move(listener));
}

void controller::restart(firmware_kind kind) {
    std::vector<restart_listener> listeners;
    {
        std::lock_guard lock(mutex_);
        running_ = kind;
        // A programming run does not survive a restart: its blocks must be begun again.
        flash_.close_blocks();
        listeners = restart_listeners_;
    }
    for (const restart_listener &listener : listeners)
        listener(kind, restart_delay_ms_);
}

void controller::take_feature(uint16_t code) {
    if (code == feature_boot_loader)
        restart(firmware_kind::boot_loader);
    else if (code == feature_application)
        restart(firmware_kind::application);
}

bool controller::set_diagnostic_error(uint8_t test, int16_t code) {
    if (test >= diagnostic_count || (code != 0 && !known_device_error(code)))
        return false;
    std::lock_guard lock(mutex_);
    diagnostic_errors_[test] = code;
    return true;
}

void controller::set_analog_input(uint8_t channel, uint16_t value) {
    std::lock_guard lock(mutex_);
    analog_in_[channel] = value;
}

void controller::set_digital_input(uint8_t input, uint8_t state) {
    std::lock_guard lock(mutex_);
    digital_in_[input] = state;
}

std::optional<controller::programmed_summary> controller::programmed() const {
    std::lock_guard lock(mutex_);
    const auto range = flash_.programmed_range();
    if (!range)
        return std::nullopt;
    const auto bytes = flash_.bytes().subspan(range->lowest, range->highest - range->lowest + 1);
    return programmed_summary{range->lowest, range->highest, crc16(bytes)};
}

bool controller::read_flash(uint32_t address, uint32_t count, std::vector<uint8_t> &bytes) const {
    if (check_range(address, count, programming_area::size) != 0)
        return false;
    std::lock_guard lock(mutex_);
    const auto source = flash_.bytes().subspan(address, count);
    bytes.assign(source.begin(), source.end());
    return true;
}

bool controller::read_eeprom(uint32_t address, uint32_t count, std::vector<uint8_t> &bytes) const {
    if (check_range(address, count, eeprom_size) != 0)
        return false;
    std::lock_guard lock(mutex_);
    bytes.assign(eeprom_.begin() + address, eeprom_.begin() + address + count);
    return true;
}

controller::ethernet_summary controller::ethernet() const {
    std::lock_guard lock(mutex_);
    return {ethernet_busy_locked(), ethernet_images_, ethernet_last_words_, ethernet_last_crc_};
}

bool controller::ethernet_busy_locked() const {
    return ethernet_back_at_ && steady::now() < *ethernet_back_at_;
}

int16_t controller::handle(uint8_t opcode, std::span<const uint8_t> request,
                           std::span<uint8_t> reply) {
    uint16_t request_length = 0;
    if (protocol::lookup_command(opcode, true, request_length) != 0)
        return device_error::unknown_command;
    if (request.size() < request_length || reply.size() < table_length(opcode, false))
        return device_error::bad_parameter;
    std::fill(reply.begin(), reply.end(), uint8_t{0});
    std::lock_guard lock(mutex_);
    return handle_locked(opcode, request, reply);
}

int16_t controller::handle_locked(uint8_t opcode, std::span<const uint8_t> request,
                                  std::span<uint8_t> reply) {
    switch (opcode) {
    case op::echo:
        // The Ethernet processor answers echo; while it restarts nobody does.
        if (ethernet_busy_locked())
            return device_error::busy;
        std::copy_n(request.begin(), std::min(request.size(), reply.size()), reply.begin());
        return 0;
    case op::fw_version: {
        const std::string &text =
            running_ == firmware_kind::boot_loader ? boot_loader_version_ : application_version_;
        std::copy(text.begin(), text.end(), reply.begin());
        return 0;
    }
    case op::status:
        protocol::put_u16_be(reply.data(), status_word_);
        return 0;
    case op::run_diags:
        if (request[0] >= diagnostic_count)
            return device_error::bad_parameter;
        return diagnostic_errors_[request[0]];
    case op::special:
        return special(request, reply);
    case op::write_mem: {
        const uint32_t address = u32_at(request, 0);
        if (int16_t error = check_range(address, 1, memory_size))
            return error;
        memory_[address] = request[4];
        return 0;
    }
    case op::read_mem: {
        const uint32_t address = u32_at(request, 0);
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
        if (int16_t error = write_block(eeprom_, request))
            return error;
        eeprom_changed();
        return 0;
    case op::read_eemem_block:
        return read_block(eeprom_, request, reply);
    case op::calc_led_temp:
    case op::calc_max_width:
    case op::calc_max_current:
    case op::calc_max_freq:
    case op::calc_supply_voltage:
        return thermal_query(opcode, request, reply);
    default:
        // Settings and their read-back; the rows no command of the firmware serves answer
        // zeros of their length.
        return serve_setting(opcode, request, reply);
    }
}

// Request data: u16 code, u32 param. Reply data: u32 result.
int16_t controller::special(std::span<const uint8_t> request, std::span<uint8_t> reply) {
    const uint16_t code = u16_at(request, 0);
    const uint32_t param = u32_at(request, 2);
    uint32_t result = 0;
    const bool in_boot_loader = running_ == firmware_kind::boot_loader;
    switch (code) {
    case special_lighthead_serial:
        result = lighthead_serial_;
        break;
    case special_transfer_buffer:
        result = transfer_buffer_address;
        break;
    case special_begin_block:
        if (!in_boot_loader)
            return device_error::wrong_firmware;
        if (int16_t error = flash_.begin_block(param))
            return error;
        flash_changed();
        break;
    case special_commit_chunk: {
        if (!in_boot_loader)
            return device_error::wrong_firmware;
        const std::span<const uint8_t, programming_area::chunk_size> chunk(
            memory_.data() + transfer_buffer_address, programming_area::chunk_size);
        if (int16_t error = flash_.store_chunk(param, chunk))
            return error;
        flash_changed();
        break;
    }
    case special_forward_image:
        if (!in_boot_loader)
            return device_error::wrong_firmware;
        if (int16_t error = forward_image(param))
            return error;
        break;
    default:
        break;
    }
    protocol::put_u32_be(reply.data(), result);
    return 0;
}

// The argument names the staging block in its upper half and the image's length in 16-bit
// words in its lower half.
int16_t controller::forward_image(uint32_t param) {
    const uint32_t staging = param & 0xFFFF0000;
    const uint32_t words = param & 0xFFFF;
    uint16_t image_crc = 0;
    if (int16_t error = flash_.check_staged_image(staging, words * 2, image_crc))
        return error;
    ethernet_back_at_ = steady::now() + ethernet_restart_;
    ++ethernet_images_;
    ethernet_last_words_ = words;
    ethernet_last_crc_ = image_crc;
    return 0;
}

// Request data: u8 channel (the LED group), then u32 width in microseconds and/or f32 current
// in amperes as the query needs them.
int16_t controller::thermal_query(uint8_t opcode, std::span<const uint8_t> request,
                                  std::span<uint8_t> reply) const {
    const std::optional<led_group> led = read_led_group(eeprom_, request[0]);
    if (!led || !thermal::usable(*led))
        return device_error::bad_parameter;
    uint32_t width_us = 0;
    float current = 0.0f;
    switch (opcode) {
    case op::calc_max_width:
        current = f32_at(request, 1);
        break;
    case op::calc_max_current:
        width_us = u32_at(request, 1);
        break;
    default:
        width_us = u32_at(request, 1);
        current = f32_at(request, 5);
        break;
    }
    if (!std::isfinite(current) || current < 0.0f)
        return device_error::bad_parameter;
    switch (opcode) {
    case op::calc_led_temp:
        protocol::put_f32_be(
            reply.data(), static_cast<float>(thermal::led_temperature_c(*led, width_us, current)));
        break;
    case op::calc_max_width:
        protocol::put_u32_be(reply.data(), thermal::max_width_us(*led, current));
        break;
    case op::calc_max_current:
        protocol::put_f32_be(reply.data(),
                             static_cast<float>(thermal::max_current_a(*led, width_us)));
        break;
    case op::calc_max_freq:
        protocol::put_u16_be(reply.data(), thermal::max_frequency_hz(*led, width_us, current));
        break;
    default: {
        const std::optional<float> overhead = read_supply_overhead(eeprom_);
        const bool overhead_usable =
            overhead && std::isfinite(*overhead) && *overhead >= 0.0f && *overhead <= 100.0f;
        const double overhead_v = overhead_usable ? *overhead : thermal::default_supply_overhead_v;
        protocol::put_f32_be(
            reply.data(), static_cast<float>(thermal::supply_voltage_v(*led, current, overhead_v)));
        break;
    }
    }
    return 0;
}

// Each setter keeps its fields by the channel or index in its first request byte, and its
// getter answers them in the same byte order. Over TCP a few rows carry less than the library
// packs: 0x86 brings the supply's first three bytes (the last reads as zero), 0x89 a single
// byte taken as the setting of output 0, and 0x87 and 0x8A no index (output or supply 0).
// A transport that hands over more bytes gets the full layout.
int16_t controller::serve_setting(uint8_t opcode, std::span<const uint8_t> request,
                                  std::span<uint8_t> reply) {
    const uint8_t key = request.empty() ? 0 : request[0];
    const std::span<const uint8_t> fields = request.empty() ? request : request.subspan(1);
    switch (opcode) {
    case op::set_an_out:
        analog_out_[key] = u16_at(fields, 0);
        break;
    case op::get_an_out:
        protocol::put_u16_be(reply.data(), analog_out_[key]);
        break;
    case op::get_an_in:
        protocol::put_u16_be(reply.data(), analog_in_[key]);
        break;
    case op::get_volts:
        protocol::put_f32_be(reply.data(), analog_in_[key] * analog_full_scale_v / analog_steps);
        break;
    case op::set_dig_out:
        digital_out_[key] = fields[0];
        break;
    case op::get_dig_out:
        reply[0] = digital_out_[key];
        break;
    case op::get_dig_in:
        reply[0] = digital_in_[key];
        break;
    case op::set_trigger_map:
        take(trigger_map_[key], fields);
        break;
    case op::get_trigger_map:
        reply[0] = key;
        give(trigger_map_[key], &reply[1]);
        break;
    case op::set_gate_map:
        take(gate_map_[key], fields);
        break;
    case op::set_hv_supply:
        take(hv_supply_[key], fields);
        break;
    case op::get_hv_supply:
        give(hv_supply_[key], reply.data());
        break;
    case op::set_lv_supply: {
        std::array<uint8_t, 4> volts{};
        std::copy_n(fields.begin(), std::min<std::size_t>(fields.size(), volts.size()),
                    volts.begin());
        lv_supply_[key] = volts;
        break;
    }
    case op::get_lv_supply:
        give(lv_supply_[key], reply.data());
        break;
    case op::set_pulse_out:
        if (fields.empty())
            pulse_out_[0] = key;
        else
            pulse_out_[key] = fields[0];
        break;
    case op::get_pulse_out:
        reply[0] = pulse_out_[key];
        break;
    case op::set_pulse:
        take(pulse_[key], fields);
        break;
    case op::get_pulse:
        reply[0] = key;
        give(pulse_[key], &reply[1]);
        break;
    case op::set_repeat:
        take(repeat_[key], fields);
        break;
    case op::get_repeat:
        give(repeat_[key], reply.data());
        break;
    case op::set_ip:
        take(ip_, request);
        break;
    case op::get_ip:
        give(ip_, reply.data());
        break;
    case op::set_mac:
        take(mac_, request);
        break;
    case op::get_mac:
        give(mac_, reply.data());
        break;
    default:
        break;
    }
    return 0;
}

// Block requests: u32 address, u16 count, then (writes) the data field.
int16_t controller::write_block(std::vector<uint8_t> &store, std::span<const uint8_t> request) {
    const uint32_t address = u32_at(request, 0);
    const uint16_t count = u16_at(request, 4);
    // The transport hands over the whole data field it carried (112 bytes over TCP, the long
    // report over USB): the count must fit in it.
    if (request.size() < 6 || count > request.size() - 6)
        return device_error::bad_parameter;
    if (int16_t error = check_range(address, count, static_cast<uint32_t>(store.size())))
        return error;
    std::copy_n(request.begin() + 6, count, store.begin() + address);
    return 0;
}

int16_t controller::read_block(const std::vector<uint8_t> &store, std::span<const uint8_t> request,
                               std::span<uint8_t> reply) {
    const uint32_t address = u32_at(request, 0);
    const uint16_t count = u16_at(request, 4);
    if (count > reply.size())
        return device_error::bad_parameter;
    if (int16_t error = check_range(address, count, static_cast<uint32_t>(store.size())))
        return error;
    std::copy_n(store.begin() + address, count, reply.begin());
    return 0;
}

} // namespace vortlink::sim
