#include "core/usb_transport.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/message_pump.h"
#include "core/platform/clock.h"
#include "core/platform/hid_backend.h"
#include "core/platform/random.h"
#include "core/protocol.h"
#include "core/resync.h"
#include "core/state.h"
#include "core/transport.h"

namespace vortlink {

namespace {
constexpr std::size_t max_name_length = 125;
// After stale reports were flushed, a device that sends another within this time is taken to be
// still sending.
constexpr uint32_t still_sending_ms = 5;
// The longest a device search may take, whatever the devices do.
constexpr uint32_t device_search_limit_ms = 5000;

platform::hid_device *device_of(uint8_t slot) {
    return slot_of(slot).hid_device.get();
}

// Names are 8-bit texts; each byte becomes one UTF-16 unit (bytes above 127 as Latin-1).
std::u16string widen(const char *text) {
    std::u16string wide;
    for (const unsigned char *cursor = reinterpret_cast<const unsigned char *>(text); *cursor != 0;
         ++cursor)
        wide.push_back(static_cast<char16_t>(*cursor));
    return wide;
}

bool argument_fits(const char *text) {
    return strnlen(text, max_name_length + 1) <= max_name_length;
}

// Opens the slot-th device with the product name (or the one with the serial number) into the
// slot's record.
status_t open_matching_device(uint8_t slot, const char *name, const char *serial) {
    const std::u16string wide_name = widen(name);
    const bool by_serial = serial != nullptr && serial[0] != '\0';
    const std::u16string wide_serial = by_serial ? widen(serial) : std::u16string();

    close_hid_slot(slot); // the slot is closed even when the search finds nothing

    // A device that answers each step slowly must not hold the caller for the sum of every
    // step's limit over every device: the whole search has one budget.
    const platform::hid_request_budget budget(device_search_limit_ms);
    platform::hid_backend &backend = platform::system_hid_backend();
    slot_record &record = slot_of(slot);
    unsigned candidates = 0;
    for (const std::string &path : backend.list_devices()) {
        if (budget.spent())
            break;
        std::unique_ptr<platform::hid_device> device = backend.open_device(path);
        if (!device)
            continue;
        platform::hid_report_lengths lengths;
        if (!device->report_lengths(lengths))
            continue;
        record.input_report_length = lengths.input;
        record.output_report_length = lengths.output;
        record.feature_report_length = lengths.feature;

        std::u16string product;
        if (!device->product_string(product) || product != wide_name)
            continue;
        std::u16string device_serial;
        if (!device->serial_number_string(device_serial))
            continue;
        // Without a serial number the slot-th candidate matches, except that a device with an
        // empty serial number is taken at once.
        const bool matched = by_serial ? device_serial == wide_serial
                                       : (candidates == slot || device_serial.empty());
        if (!matched) {
            ++candidates;
            continue;
        }
        record.hid_device = std::move(device);
        return status::ok;
    }
    return status::no_device_matched;
}

// Reports longer than the commands' frame buffers cannot be carried: such a device is refused
// when it is opened rather than overflowing a buffer later.
bool report_lengths_fit(uint8_t slot) {
    const slot_record &record = slot_of(slot);
    return record.input_report_length <= max_report_length &&
           record.output_report_length <= max_report_length &&
           record.feature_report_length <= max_report_length;
}

// The long reports size the block commands' chunks: each must hold the block header and at
// least one data byte, and a whole chunk must fit the frame buffers.
bool long_report_counts_fit(uint8_t slot) {
    const auto &reports = slot_of(slot).reports;
    for (unsigned usage : {usage_index_long_request, usage_index_long_reply}) {
        const uint16_t count = reports[usage].report_count;
        if (count < min_long_report_count || count > max_report_length)
            return false;
    }
    return true;
}
} // namespace

status_t usb_slot_valid(uint8_t slot) {
    if (slot >= slot_count)
        return status::bad_slot;
    if (device_of(slot) == nullptr)
        return status::no_usb_device;
    return status::ok;
}

status_t usb_flush(uint8_t slot, const stale_input_budget &budget) {
    if (slot >= slot_count)
        return status::bad_slot;
    platform::hid_device *device = device_of(slot);
    if (device == nullptr)
        return status::flush_failed;
    // Normally the flush finds nothing. Once it discarded reports, a device that sends more
    // within a few milliseconds is still sending.
    bool settle = false;
    return discard_stale_input(budget, status::flush_failed, [&](bool &emptied) {
        if (settle)
            platform::sleep_ms(still_sending_ms);
        std::size_t discarded = 0;
        if (!device->discard_input(discarded))
            return status::flush_failed;
        emptied = discarded == 0;
        settle = true;
        return status::ok;
    });
}

status_t usb_write_report(uint8_t slot, const uint8_t *bytes, uint16_t timeout_ms) {
    if (slot >= slot_count)
        return status::bad_slot;
    platform::hid_device *device = device_of(slot);
    if (device == nullptr)
        return status::write_not_started;
    switch (device->write_report(bytes, slot_of(slot).output_report_length, timeout_ms)) {
    case platform::hid_io_result::done:
        return status::ok;
    case platform::hid_io_result::not_started:
        return status::write_not_started;
    case platform::hid_io_result::timed_out:
        break;
    }
    return status::write_timeout;
}

status_t usb_read_report(uint8_t slot, uint8_t *buffer, uint16_t timeout_ms) {
    if (slot >= slot_count)
        return status::bad_slot;
    platform::hid_device *device = device_of(slot);
    if (device == nullptr)
        return status::read_not_started;
    const uint32_t start = platform::monotonic_ms();
    const uint32_t slice = pump_slice_ms();
    for (bool first = true;; first = false) {
        const uint32_t elapsed = platform::monotonic_ms() - start;
        if (!first && elapsed >= timeout_ms)
            return status::read_timeout;
        uint32_t wait = elapsed < timeout_ms ? timeout_ms - elapsed : 0;
        if (slice != 0 && wait > slice)
            wait = slice;
        switch (device->read_report(buffer, slot_of(slot).input_report_length, wait)) {
        case platform::hid_io_result::done:
            return status::ok;
        case platform::hid_io_result::not_started:
            return status::read_not_started;
        case platform::hid_io_result::timed_out:
            break;
        }
        // Between slices the application's window gets its turn.
        if (status_t result = pump_once(); result != status::ok)
            return result;
    }
}

status_t usb_query_usage(uint8_t slot, uint8_t usage, uint8_t &report_id, uint16_t &report_count) {
    if (status_t result = usb_slot_valid(slot); result != status::ok)
        return result;
    platform::hid_value_report report;
    if (!device_of(slot)->find_value_usage(usage, report))
        return status::bad_reports;
    report_id = report.report_id;
    report_count = report.report_count;
    return status::ok;
}

status_t usb_send_feature(uint8_t slot, const uint8_t *bytes) {
    if (status_t result = usb_slot_valid(slot); result != status::ok)
        return result;
    return device_of(slot)->send_feature(bytes, slot_of(slot).feature_report_length)
               ? status::ok
               : status::feature_refused;
}

status_t usb_read_string(uint8_t slot, uint16_t index, char *destination, uint16_t length) {
    if (status_t result = usb_slot_valid(slot); result != status::ok)
        return result;
    // The device gets room for length / 2 UTF-16 units, terminator included, so the text
    // always ends within the length bytes written.
    std::u16string text;
    const std::size_t room = length / 2;
    if (room == 0 || !device_of(slot)->indexed_string(index, text, room))
        return status::no_string;
    if (text.size() >= room)
        text.resize(room - 1);
    // Latin-1 characters keep their byte; anything beyond becomes '?', never a byte that could
    // end the text early or stand for another character.
    for (uint16_t i = 0; i < length; ++i) {
        const char16_t unit = i < text.size() ? text[i] : u'\0';
        destination[i] = unit <= 0xFF ? static_cast<char>(unit) : '?';
    }
    return status::ok;
}

void close_hid_slot(uint8_t slot) {
    slot_of(slot).hid_device.reset();
}

namespace {

// The output report goes out as the command built it, in the slot's output report length.
status_t frame_request(uint8_t slot, uint8_t *, uint16_t &length) {
    length = slot_of(slot).output_report_length;
    return status::ok;
}

status_t send_report(uint8_t slot, const uint8_t *frame, uint16_t, uint16_t timeout_ms) {
    return usb_write_report(slot, frame, timeout_ms);
}

status_t receive_report(uint8_t slot, uint8_t *reply, uint16_t timeout_ms, uint16_t &length) {
    length = 0;
    if (status_t result = usb_read_report(slot, reply, timeout_ms); result != status::ok)
        return result;
    length = slot_of(slot).input_report_length;
    return status::ok;
}

// Any report may carry an error reply; every other reply comes in the report the request
// names. An error reply carries its code high byte first in bytes 2 and 3.
status_t check_report(const uint8_t *reply, uint16_t, uint8_t expected_report_id,
                      uint16_t &error_code) {
    if (reply[1] != protocol::error_reply_marker && reply[0] != expected_report_id)
        return status::wrong_report_id;
    error_code = static_cast<uint16_t>(reply[2] << 8 | reply[3]);
    return status::ok;
}

// Over USB the whole long report is echoed; the pattern fills what both reports carry.
status_t frame_echo(uint8_t slot, uint8_t *request, uint16_t &length, uint16_t &compared) {
    const slot_record &record = slot_of(slot);
    const std::size_t carried =
        std::min<std::size_t>(record.output_report_length, record.input_report_length);
    if (carried < 3)
        return status::bad_reports;
    compared = static_cast<uint16_t>(std::min<std::size_t>(carried - 2, resync_pattern_size));
    request[0] = record.reports[usage_index_long_request].report_id;
    request[1] = protocol::opcode::echo;
    platform::random_bytes(request + 2, record.output_report_length - 2u);
    length = record.output_report_length;
    return status::ok;
}

status_t await_echo(uint8_t slot, const uint8_t *request, uint16_t compared,
                    const stale_input_budget &budget) {
    uint8_t reply[max_report_length] = {};
    for (;;) {
        const uint16_t left = time_left(budget);
        const status_t result =
            left == 0 ? status::read_timeout : usb_read_report(slot, reply, left);
        if (result != status::ok)
            return result;
        if (reply[1] == protocol::opcode::echo &&
            std::memcmp(reply + 2, request + 2, compared) == 0)
            return status::ok;
    }
}

// In the order of the table: kind, trace name, lock, whether failures are counted, operations.
// clang-format off
constexpr transport_operations usb_road = {
    transport_kind::usb, "usb", &slot_record::usb_lock, false,
    usb_slot_valid, usb_flush, frame_request, send_report,
    receive_report, check_report, frame_echo, await_echo};
// clang-format on

} // namespace

const transport_operations &usb_operations() {
    return usb_road;
}

} // namespace vortlink

using namespace vortlink;

extern "C" {

VORTLINK_API int16_t tkcmdset_init_ex(uint8_t slot, const char *name, const char *serial) {
    if (slot >= slot_count)
        return status::bad_slot;
    if (name == nullptr || name[0] == '\0' || !argument_fits(name))
        return status::bad_device_name;
    if (serial != nullptr && !argument_fits(serial))
        return status::bad_device_name;

    status_t result = open_matching_device(slot, name, serial);
    if (result != status::ok)
        return result;
    if (!report_lengths_fit(slot)) {
        close_hid_slot(slot);
        return status::bad_reports;
    }

    // Queried in this order; the first failure leaves the device open and the transport kind
    // as it was.
    static constexpr struct {
        uint8_t usage;
        report_usage index;
    } queries[] = {{protocol::usage_request, usage_index_request},
                   {protocol::usage_reply, usage_index_reply},
                   {protocol::usage_long_request, usage_index_long_request},
                   {protocol::usage_long_reply, usage_index_long_reply},
                   {protocol::usage_feature, usage_index_feature}};
    for (const auto &query : queries) {
        report_entry &entry = slot_of(slot).reports[query.index];
        if ((result = usb_query_usage(slot, query.usage, entry.report_id, entry.report_count)) !=
            status::ok)
            return result;
    }
    if (!long_report_counts_fit(slot)) {
        close_hid_slot(slot);
        return status::bad_reports;
    }
    // A newly opened device has no reply of an earlier exchange on its way to this handle.
    mark_slot_out_of_step(transport_kind::usb, slot, false);
    slot_of(slot).transport = transport_kind::usb;
    slot_of(slot).road = &usb_operations();
    return status::ok;
}

VORTLINK_API int16_t tkcmdset_shutdown(uint8_t slot) {
    if (status_t result = check_slot(slot); result != status::ok)
        return result;
    close_hid_slot(slot);
    return status::ok;
}

VORTLINK_API int16_t tkcmdset_set_feature(uint8_t slot, uint16_t feature) {
    switch (feature) {
    case 101:
        feature = 1;
        break;
    case 102:
        feature = 2;
        break;
    case 103:
        feature = 3;
        break;
    default:
        break;
    }
    if (slot >= slot_count)
        return status::bad_slot;
    uint8_t report[max_report_length] = {};
    report[0] = slot_of(slot).reports[usage_index_feature].report_id;
    protocol::put_u16_be(report + 1, feature);
    return usb_send_feature(slot, report);
}
}
