#include "core/status_table.h"

#include "core/firmware_file_status.h"
#include "core/protocol.h"
#include "core/status.h"

namespace vortlink {

namespace {
using enum code_origin;
namespace device = protocol::device_error;
namespace firmware_file = firmware_file_status;

constexpr status_entry entries[] = {
    {status::ok, library, "No Error", "The operation completed successfully."},

    // Library: message pump
    {status::quit_requested, library, "Quit Requested",
     "The application was asked to quit while it waited for the controller's reply. The request "
     "had been sent; its reply was not read. Repeat the operation if the application keeps "
     "running."},

    // Library: USB and HID
    {status::bad_slot, library, "Invalid Device Slot",
     "The device slot number is above 49. Use a slot number from 0 to 49."},
    {status::bad_device_name, library, "Invalid Device Name",
     "The device name is missing, empty or longer than 125 characters. Pass the controller's USB "
     "product string, \"Kv Quorrel Controller\"."},
    {status::write_not_started, library, "USB Write Failed",
     "The request could not be sent to the USB controller. Check the USB cable and that the "
     "controller is powered, then select the device again."},
    {status::write_timeout, library, "USB Write Timeout",
     "The USB controller did not accept the request in time and the transfer was cancelled. The "
     "controller may be restarting or hung: wait a few seconds, or power-cycle it, then select the "
     "device again."},
    {status::read_not_started, library, "USB Read Failed",
     "The reply could not be read from the USB controller. Check the USB cable and that the "
     "controller is powered, then select the device again."},
    {status::read_timeout, library, "USB Read Timeout",
     "The USB controller did not answer within the time-out and the read was cancelled. Check "
     "that the controller runs its application (or boot loader) and repeat the operation; if it "
     "keeps failing, power-cycle the controller."},
    {status::bad_reports, library, "Unsupported USB Device",
     "The USB device's report description could not be read, lacks one of the command reports "
     "(usages 166 to 170), or describes reports this library cannot carry. The device is not a "
     "Quorrel controller, or its firmware is damaged: reprogram it or contact service."},
    {status::no_usb_device, library, "No USB Device Open",
     "The device slot has no open USB controller. Select (open) the controller first."},
    {status::flush_failed, library, "USB Flush Failed",
     "Stale input from the USB controller could not be discarded: the controller was probably "
     "unplugged, or it kept sending reports nobody asked for. Reconnect it and select the device "
     "again."},
    {status::feature_refused, library, "USB Feature Refused",
     "The USB controller refused the feature report that switches between boot loader and "
     "application. Reconnect the controller and try again."},
    {status::no_string, library, "USB String Unavailable",
     "The USB controller returned no text for the requested identity string (serial number, "
     "firmware or hardware version). Reconnect the controller and try again."},

    // Library: device discovery and the command exchange
    {status::no_device_matched, library, "No Device Found",
     "No connected USB device matched the name (and serial number) for this slot. Check that the "
     "controller is plugged in and powered, that you have access to it (see the udev rule), and "
     "that the slot number is not higher than the number of connected controllers."},
    {status::lock_busy, library, "Device Busy",
     "Another thread or program kept this device slot busy for more than 2 seconds, or the "
     "program issued a command on this slot from its event handling while a command on the same "
     "slot was waiting for its reply; nothing was sent. Close other programs that use the "
     "controller, or wait and try again."},
    {status::lock_failed, library, "Device Lock Failed",
     "The lock that serialises access to this device slot could not be obtained. Check that "
     "/dev/shm is available and writable, then restart the program."},
    {status::wrong_opcode, library, "Unexpected Reply",
     "The controller answered with the reply to another command. Repeat the operation; if it "
     "keeps failing, the controller firmware may not match this library."},
    {status::wrong_report_id, library, "Unexpected USB Report",
     "The USB controller answered in an unexpected report. Repeat the operation; if it keeps "
     "failing, the controller firmware may not match this library."},
    {status::bad_lighthead_data, library, "Invalid Lighthead Data",
     "The lighthead's data record failed its check (wrong identifier or CRC-16). The lighthead "
     "was never programmed, or its last programming was interrupted: program the lighthead data "
     "again."},
    {status::checksum_mismatch, library, "Reply Checksum Error",
     "The controller's reply failed its CRC-8 check: it was damaged on the way. Check the network "
     "connection and repeat the operation."},
    {status::unknown_opcode, library, "Unknown Command",
     "The request or the controller's reply carries a command code this library does not know. "
     "The controller firmware may not match this library: check both versions."},

    // Library: settings
    {status::settings_open_failed, library, "Settings Unavailable",
     "The settings file could not be opened or created. Check that HOME (or XDG_CONFIG_HOME) is "
     "set and that ~/.config/Kestrova/Quorrel is writable."},
    {status::settings_not_open, library, "Settings Not Open",
     "No settings file is open, so settings cannot be read or written. Check that HOME (or "
     "XDG_CONFIG_HOME) is set and writable, then restart the program."},
    {status::setting_read_failed, library, "Setting Unreadable",
     "A setting could not be read from the settings file. Check the file in "
     "~/.config/Kestrova/Quorrel for damaged lines, or delete it to restore the defaults."},
    {status::setting_write_failed, library, "Setting Not Saved",
     "A setting could not be written to the settings file. Check free disk space and the "
     "permissions of ~/.config/Kestrova/Quorrel."},

    // Library: TCP
    {status::bad_tcp_slot, library, "Not Connected",
     "The device slot is not connected over TCP, or its number is out of range. Connect the slot "
     "to the controller first (slots 0 to 49)."},
    {status::socket_failure, library, "Network Error",
     "The network connection to the controller failed, was refused or was closed. Check the "
     "controller's IP address, the \"TCP Port\" setting (default 1234), the cable and that the "
     "controller is powered, then connect again."},
    {status::host_unresolved, library, "Unknown Host",
     "The controller's address is neither a dotted IPv4 address nor a host name that resolves. "
     "Check the address you entered."},
    {status::reply_timeout, library, "Network Reply Timeout",
     "The controller did not send its complete reply in time, or kept sending data nobody asked "
     "for so that the request could not go out. Check that it is powered and reachable, and that "
     "nothing else talks to it; repeat the operation."},

    // Utility: firmware files
    {firmware_file::srec_at_end, utility, "End of File",
     "The firmware file has been read to its end."},
    {firmware_file::srec_read_failed, utility, "File Read Failed",
     "No further line could be read from the firmware file."},
    {firmware_file::srec_bad_type, utility, "Bad Record Type",
     "The firmware file holds a record of a type that is not allowed (S4, S6 or not S0 to S9). "
     "Check that you chose the right file, or rebuild it."},
    {firmware_file::srec_bad_checksum, utility, "Record Checksum Error",
     "A line of the firmware file failed its checksum: the file is damaged. Copy or build it "
     "again."},
    {firmware_file::srec_too_long, utility, "Record Too Long",
     "A record of the firmware file has a byte count above 35. Convert the file with shorter "
     "records: at most 32 data bytes in S1, 31 in S2 and 30 in S3 records."},
    {firmware_file::srec_not_a_record, utility, "Not an S-Record",
     "A line of the firmware file does not start with \"S\" (blank lines included). Check that "
     "the file is a Motorola S-record file and remove blank lines."},
    {firmware_file::srec_no_header, utility, "No Header Record",
     "The firmware file does not start with an S0 header record. Check that you chose the right "
     "file."},
    {firmware_file::srec_not_open, utility, "File Not Open",
     "The firmware file could not be opened. Check the file name and its permissions."},
    {firmware_file::srec_out_of_range, utility, "Address Out of Range",
     "The firmware file holds data beyond the 256 KiB image area. Check that the file is built "
     "for this controller."},
    {firmware_file::image_not_recognised, utility, "Image Not Recognised",
     "The firmware image is neither a controller image nor an Ethernet-processor image (wrong "
     "start address or missing signature). Check that you chose the right file."},
    {firmware_file::image_bad_body_start, utility, "Bad Image Header",
     "The firmware image header gives a body start beyond the image area. The file is damaged "
     "or not built for this controller."},
    {firmware_file::image_bad_body_end, utility, "Bad Image Header",
     "The firmware image header gives a body end before its start or beyond the image area. The "
     "file is damaged or not built for this controller."},

    // Controller error numbers
    {device::unknown_command, controller, "Command Not Supported",
     "The controller does not serve this command in its current firmware. Check that the "
     "application (not the boot loader) is running, or update the firmware."},
    {device::request_checksum, controller, "Request Damaged",
     "The controller received the request with a wrong checksum. Check the network connection "
     "and repeat the operation."},
    {device::bad_parameter, controller, "Parameter Out of Range",
     "The controller refused a value outside the range it accepts. Check the values you entered."},
    {device::bad_address, controller, "Address Out of Range",
     "The controller refused a memory or EEPROM address range outside the device. Check the "
     "address and length."},
    {device::test_failed, controller, "Self-Test Failed",
     "The controller's self-test found a fault in the part it tests. Repeat the test; if it "
     "fails again, return the unit for repair."},
    {device::wrong_firmware, controller, "Wrong Firmware Running",
     "This function needs the other firmware: programming needs the boot loader. Use \"Start "
     "Loader\" (or \"Start Application\") first."},
    {device::block_not_begun, controller, "Programming Out of Order",
     "The controller received firmware data outside a begun block. Start the programming again "
     "from the beginning."},
    {device::image_rejected, controller, "Firmware Image Rejected",
     "The controller's boot loader rejected the firmware image (header or CRC-16 wrong). Check "
     "the file and program it again."},
    {device::busy, controller, "Controller Busy",
     "The controller's Ethernet processor is restarting. Wait a few seconds and try again."},
    {device::supply_fault, controller, "Power Supply Fault",
     "The controller's power supply is out of tolerance, so testing stopped. Check the supply "
     "voltage and its connection before running the tests again."},
};
} // namespace

std::span<const status_entry> status_table() {
    return entries;
}

const status_entry *find_status(int16_t code) {
    for (const status_entry &entry : entries)
        if (entry.code == code)
            return &entry;
    return nullptr;
}

} // namespace vortlink
