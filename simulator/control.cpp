// Control protocol of quorrel-sim
//
// A line-based text protocol on the control port (always 127.0.0.1). The client sends one
// command per line (LF, optionally CR LF); the simulator answers each with exactly one line,
// "ok" with any result after a space, or "error <reason>". Words are separated by blanks.
// Numbers are decimal or 0x-prefixed hexadecimal, except CODE, which is signed decimal.
// Several control connections may be open at once; they share the controllers.
//
// A command applies to controller 1 unless the line starts with "device N " (N from 1 to the
// --usb-devices count). Controller 1 is the one the TCP server serves; the others are reached
// over the HID socket only, and the commands marked (TCP) below answer "error device N has no
// TCP side" for them.
//
// Faults are queued per controller; each applies, once, to the next reply that controller sends
// on any connection of either transport (a normal reply, an error reply, or the answer to a bad
// request), in the order they were queued:
//   delay MS          hold the reply MS milliseconds before sending it
//   split N MS        (TCP) send its first N bytes, pause MS milliseconds, then the rest
//   drop              send no reply at all
//   truncate N        (TCP) send only its first N bytes; the rest never comes
//   corrupt-crc       (TCP) flip every bit of its CRC-8 byte
//   error CODE        answer with an error reply carrying CODE (-32768..32767); the request is
//                     not carried out. Over USB bytes 2-3 of the error report hold CODE, high
//                     byte first
//   error CODE bad-crc  (TCP) the same with a wrong CRC-8
//   opcode OP         answer with OP in byte 1 and zero data of OP's reply length (correct CRC);
//                     for an OP in no row of the command table: header, OP and 4 zero bytes.
//                     Over USB: OP's reply report, zeros after OP. The request is not carried out
//   close             (TCP) close the connection instead of replying
//   report-id ID      send the USB reply report with ID in byte 0 (0..255); no effect on a
//                     TCP reply
//   flood MS          after the reply, keep sending for MS milliseconds what no request asked
//                     for: over TCP bytes 0xFF, over USB reply reports with 0xFF in byte 1 (an
//                     opcode in no row); the connection takes its next request after the flood
//   clear-faults      forget every queued fault                   -> ok
//   faults            how many are queued                         -> ok <count>
// Each fault command answers "ok"; MS is at most 600000, N at most 65535, and at most 1024
// faults wait at once. A TCP-only fault that a USB reply takes is used up and changes nothing,
// as does report-id on a TCP reply.
//
// Other commands:
//   stray HEX         (TCP) write these bytes (1 to 4096, as hex digits) to every open client
//                     at once, outside any reply                  -> ok <clients written>
//   status-word [N]   set the status word (0..0xFFFF) or, without N, read it
//                                                                 -> ok 0x<4 hex digits>
//   frames            (TCP) every request frame received since start-up or the last
//                     clear-frames (the most recent 16384), each header through CRC-8 as
//                     contiguous lowercase hex; a request whose opcode is in no row is logged as
//                     its header and opcode only       -> ok <count> <hex> <hex> ...
//   usb-frames        the output reports received, each whole as written, in the same form
//   clear-frames      empty both logs                             -> ok
//   clients           (TCP) open TCP client connections           -> ok <count>
//   features [DEV]    the feature reports the controller (DEV, else the selected one) took,
//                     whole, in the frames form (the most recent 1024)
//   unplug DEV MS     controller DEV leaves the USB bus: its device connections end at once, it
//                     is missing from the device list and cannot be opened for MS milliseconds
//                     (0: until plug DEV)                         -> ok
//   plug DEV          controller DEV is back on the bus now       -> ok
//   stall DEV MS      controller DEV answers every request for its identity over the HID socket
//                     (open, report description, strings) MS milliseconds late; 0 ends it -> ok
//   product TEXT      the product string (the rest of the line, at most 126 bytes)
//   serial TEXT       the serial number string (likewise)
//   serial-empty      an empty serial number string
//   serial-unreadable the serial number string cannot be read (until serial or serial-empty)
//   feature-usage on|off  whether the report descriptor has the feature report (usage 170);
//                     a connection sees the descriptor of the time it asks for it
//   wait-replies      wait (at most 60 s) until no USB reply of the controller is held back by
//                     a delay: then each has gone into its connection -> ok
//
// The controller model of DEV (these take the device as their first word, like unplug):
//   restart DEV loader|application  restart into that firmware (what feature codes 1 and 2 mean):
//                     off the USB bus for the restart delay, TCP connections closed -> ok
//   running DEV       the firmware running now                    -> ok loader|application
//   firmware DEV ADDR COUNT  COUNT bytes (1..0x40000) of the program flash from ADDR, as
//                     lowercase hex                               -> ok <hex>
//   firmware-crc DEV  the programmed part of the flash: the first and last address of the
//                     128-byte chunks holding programmed data, and the CRC-16 of the bytes from
//                     the one to the other        -> ok 0x<lowest> 0x<highest> 0x<crc> | ok none
//   ethernet DEV      the Ethernet processor: busy while it restarts, the images handed over
//                     since start-up, the last one's word count and CRC-16
//                                                 -> ok busy|ready <count> 0x<words> 0x<crc>
//   fail-diag DEV TEST CODE  self-test TEST (0..5) answers device error CODE (0: passes) -> ok
//   analog-in DEV CHANNEL VALUE  what analog input CHANNEL reads (0..0xFFFF) -> ok
//   digital-in DEV INPUT STATE   what digital input INPUT reads (0..0xFF)    -> ok
//   help              the command names                           -> ok <names>
//
// Errors: "error unknown command <word>", "error usage: <synopsis>", "error bad number <word>",
// "error no device <word>", "error device N has no TCP side", "error fault queue full",
// "error text too long", "error replies still held", "error range outside the flash",
// "error line too long" (lines over 16384 characters are discarded up to their end),
// "error empty line".

#include "control.h"
#include "text_numbers.h"

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "model_control.h"

namespace vortlink::sim {

namespace {

constexpr uint32_t max_milliseconds = 600000;
constexpr uint32_t max_byte_count = 65535;
constexpr std::size_t max_stray_bytes = 4096;
constexpr auto wait_replies_limit = std::chrono::seconds(60);

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t position = 0;
    while (position < line.size()) {
        const std::size_t start = line.find_first_not_of(" \t", position);
        if (start == std::string_view::npos)
            break;
        const std::size_t end = std::min(line.find_first_of(" \t", start), line.size());
        words.push_back(line.substr(start, end - start));
        position = end;
    }
    return words;
}

std::optional<std::vector<uint8_t>> parse_hex(std::string_view word) {
    if (word.empty() || word.size() % 2 != 0 || word.size() / 2 > max_stray_bytes)
        return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(word.size() / 2);
    for (std::size_t i = 0; i < word.size(); i += 2) {
        uint8_t value = 0;
        const char *first = word.data() + i;
        const auto [end, error] = std::from_chars(first, first + 2, value, 16);
        if (error != std::errc() || end != first + 2)
            return std::nullopt;
        bytes.push_back(value);
    }
    return bytes;
}

// What a command line says, checked before anything is changed. The words point into the line,
// which outlives it.
class command_line {
  public:
    command_line(std::vector<std::string_view> words, std::size_t first)
        : words_(std::move(words)), first_(first) {}

    std::string_view name() const { return words_[first_]; }
    std::size_t arguments() const { return words_.size() - first_ - 1; }
    std::string_view argument(std::size_t index) const { return words_[first_ + 1 + index]; }
    // Everything from the first argument to the end of the line, blanks inside kept.
    std::string_view rest() const {
        if (arguments() == 0)
            return {};
        const char *start = argument(0).data();
        const std::string_view last = words_.back();
        return {start, static_cast<std::size_t>(last.data() + last.size() - start)};
    }

  private:
    std::vector<std::string_view> words_;
    std::size_t first_;
};

// The controller a line addresses, and whether the TCP server reaches it.
struct addressed {
    device &target;
    std::size_t number;
    bool has_tcp;
};

std::string bad_number(std::string_view word) {
    return "error bad number " + std::string(word);
}

std::string no_tcp_side(const addressed &selected) {
    return "error device " + std::to_string(selected.number) + " has no TCP side";
}

std::string queue_fault(device &target, const fault &entry) {
    return target.faults.push(entry) ? "ok" : "error fault queue full";
}

std::optional<std::size_t> parse_device(std::string_view word, const device_list &devices) {
    const auto number = parse_unsigned(word, static_cast<uint32_t>(devices.size()));
    if (!number || *number == 0)
        return std::nullopt;
    return *number;
}

// The fault commands; nullopt when the line names none of them.
std::optional<std::string> run_fault_command(const command_line &command,
                                             const addressed &selected) {
    const std::string_view name = command.name();
    const std::size_t count = command.arguments();
    const bool tcp_only = name == "split" || name == "truncate" || name == "corrupt-crc" ||
                          name == "close" || (name == "error" && count == 2);
    if (tcp_only && !selected.has_tcp)
        return no_tcp_side(selected);
    fault entry;
    if (name == "delay" || name == "flood") {
        if (count != 1)
            return "error usage: " + std::string(name) + " MS";
        const auto milliseconds = parse_unsigned(command.argument(0), max_milliseconds);
        if (!milliseconds)
            return bad_number(command.argument(0));
        entry.kind = name == "delay" ? fault_kind::delay : fault_kind::flood;
        entry.milliseconds = *milliseconds;
    } else if (name == "split") {
        if (count != 2)
            return "error usage: split N MS";
        const auto bytes = parse_unsigned(command.argument(0), max_byte_count);
        if (!bytes)
            return bad_number(command.argument(0));
        const auto milliseconds = parse_unsigned(command.argument(1), max_milliseconds);
        if (!milliseconds)
            return bad_number(command.argument(1));
        entry.kind = fault_kind::split;
        entry.count = *bytes;
        entry.milliseconds = *milliseconds;
    } else if (name == "drop" || name == "corrupt-crc" || name == "close") {
        if (count != 0)
            return "error usage: " + std::string(name);
        entry.kind = name == "drop"    ? fault_kind::drop
                     : name == "close" ? fault_kind::close
                                       : fault_kind::corrupt_crc;
    } else if (name == "truncate") {
        if (count != 1)
            return "error usage: truncate N";
        const auto bytes = parse_unsigned(command.argument(0), max_byte_count);
        if (!bytes)
            return bad_number(command.argument(0));
        entry.kind = fault_kind::truncate;
        entry.count = *bytes;
    } else if (name == "error") {
        if (count < 1 || count > 2 || (count == 2 && command.argument(1) != "bad-crc"))
            return "error usage: error CODE [bad-crc]";
        const auto code = parse_code(command.argument(0));
        if (!code)
            return bad_number(command.argument(0));
        entry.kind = fault_kind::error_reply;
        entry.error_code = *code;
        entry.bad_crc = count == 2;
    } else if (name == "opcode" || name == "report-id") {
        if (count != 1)
            return "error usage: " + std::string(name) + (name == "opcode" ? " OP" : " ID");
        const auto value = parse_unsigned(command.argument(0), 0xFF);
        if (!value)
            return bad_number(command.argument(0));
        entry.kind = name == "opcode" ? fault_kind::opcode : fault_kind::report_id;
        entry.opcode = static_cast<uint8_t>(*value);
        entry.report_id = static_cast<uint8_t>(*value);
    } else {
        return std::nullopt;
    }
    return queue_fault(selected.target, entry);
}

std::string list_reply(const std::vector<std::vector<uint8_t>> &entries) {
    std::string reply = "ok " + std::to_string(entries.size());
    for (const auto &entry : entries) {
        reply.push_back(' ');
        reply += to_hex(entry);
    }
    return reply;
}

std::string set_text(const command_line &command, void (usb_state::*setter)(std::string),
                     device &target) {
    const std::string_view text = command.rest();
    if (text.empty())
        return "error usage: " + std::string(command.name()) + " TEXT";
    if (text.size() > usb_identity::max_string_length)
        return "error text too long";
    (target.usb.*setter)(std::string(text));
    return "ok";
}

// The commands of the simulated USB bus and the device's identity on it; nullopt when the line
// names none of them.
std::optional<std::string> run_usb_command(const command_line &command, const addressed &selected,
                                           device_list &devices) {
    const std::string_view name = command.name();
    const std::size_t count = command.arguments();
    device &target = selected.target;
    if (name == "unplug" || name == "plug") {
        const bool unplug = name == "unplug";
        if (count != (unplug ? 2u : 1u))
            return unplug ? "error usage: unplug DEV MS" : "error usage: plug DEV";
        const auto number = parse_device(command.argument(0), devices);
        if (!number)
            return "error no device " + std::string(command.argument(0));
        usb_state &usb = devices[*number - 1]->usb;
        if (!unplug) {
            usb.plug();
            return "ok";
        }
        const auto milliseconds = parse_unsigned(command.argument(1), max_milliseconds);
        if (!milliseconds)
            return bad_number(command.argument(1));
        usb.unplug(*milliseconds);
        return "ok";
    }
    if (name == "stall") {
        if (count != 2)
            return "error usage: stall DEV MS";
        const auto number = parse_device(command.argument(0), devices);
        if (!number)
            return "error no device " + std::string(command.argument(0));
        const auto milliseconds = parse_unsigned(command.argument(1), max_milliseconds);
        if (!milliseconds)
            return bad_number(command.argument(1));
        devices[*number - 1]->usb.set_stall(*milliseconds);
        return "ok";
    }
    if (name == "features") {
        if (count > 1)
            return "error usage: features [DEV]";
        device *source = &target;
        if (count == 1) {
            const auto number = parse_device(command.argument(0), devices);
            if (!number)
                return "error no device " + std::string(command.argument(0));
            source = devices[*number - 1].get();
        }
        return list_reply(source->usb.features());
    }
    if (name == "product")
        return set_text(command, &usb_state::set_product, target);
    if (name == "serial")
        return set_text(command, &usb_state::set_serial, target);
    if (name == "feature-usage") {
        if (count != 1 || (command.argument(0) != "on" && command.argument(0) != "off"))
            return "error usage: feature-usage on|off";
        target.usb.set_feature_usage(command.argument(0) == "on");
        return "ok";
    }
    const bool plain = name == "usb-frames" || name == "serial-empty" ||
                       name == "serial-unreadable" || name == "wait-replies";
    if (!plain)
        return std::nullopt;
    if (count != 0)
        return "error usage: " + std::string(name);
    if (name == "usb-frames")
        return list_reply(target.usb.frames.snapshot());
    if (name == "serial-empty") {
        target.usb.set_serial({});
        return "ok";
    }
    if (name == "serial-unreadable") {
        target.usb.make_serial_unreadable();
        return "ok";
    }
    return target.usb.wait_none_held(wait_replies_limit) ? "ok" : "error replies still held";
}

std::string run_command(const command_line &command, const addressed &selected,
                        device_list &devices, client_registry &clients) {
    if (auto reply = run_fault_command(command, selected))
        return *reply;
    if (auto reply = run_usb_command(command, selected, devices))
        return *reply;
    std::vector<std::string_view> arguments;
    for (std::size_t index = 0; index < command.arguments(); ++index)
        arguments.push_back(command.argument(index));
    const auto lookup = [&devices](std::string_view word) -> controller * {
        const auto number = parse_device(word, devices);
        return number ? &devices[*number - 1]->model : nullptr;
    };
    if (auto reply = run_model_command(command.name(), arguments, lookup))
        return *reply;

    device &target = selected.target;
    const std::string_view name = command.name();
    const std::size_t count = command.arguments();
    if (!selected.has_tcp && (name == "stray" || name == "frames" || name == "clients"))
        return no_tcp_side(selected);
    if (name == "stray") {
        if (count != 1)
            return "error usage: stray HEX";
        const auto bytes = parse_hex(command.argument(0));
        if (!bytes)
            return "error bad hex " + std::string(command.argument(0));
        return "ok " + std::to_string(clients.write_to_all(*bytes));
    }
    if (name == "status-word") {
        if (count > 1)
            return "error usage: status-word [N]";
        if (count == 1) {
            const auto word = parse_unsigned(command.argument(0), 0xFFFF);
            if (!word)
                return bad_number(command.argument(0));
            target.model.set_status_word(static_cast<uint16_t>(*word));
        }
        char word_text[8];
        std::snprintf(word_text, sizeof word_text, "0x%04x", target.model.status_word());
        return std::string("ok ") + word_text;
    }
    if (count != 0 && (name == "frames" || name == "clear-frames" || name == "clients" ||
                       name == "faults" || name == "clear-faults" || name == "help"))
        return "error usage: " + std::string(name);
    if (name == "frames")
        return list_reply(target.frames.snapshot());
    if (name == "clear-frames") {
        target.frames.clear();
        target.usb.frames.clear();
        return "ok";
    }
    if (name == "clients")
        return "ok " + std::to_string(clients.open_clients());
    if (name == "faults")
        return "ok " + std::to_string(target.faults.size());
    if (name == "clear-faults") {
        target.faults.clear();
        return "ok";
    }
    if (name == "help")
        return "ok device delay split drop truncate corrupt-crc error opcode close report-id "
               "clear-faults faults stray status-word frames usb-frames clear-frames clients "
               "features unplug plug stall product serial serial-empty serial-unreadable "
               "feature-usage "
               "wait-replies " +
               std::string(model_command_names) + " help";
    return "error unknown command " + std::string(name);
}

} // namespace

std::string run_control_command(std::string_view line, device_list &devices,
                                client_registry &clients) {
    std::vector<std::string_view> words = split_words(line);
    if (words.empty())
        return "error empty line";
    std::size_t number = 1;
    std::size_t first = 0;
    if (words[0] == "device") {
        if (words.size() < 3)
            return "error usage: device N COMMAND";
        const auto selected = parse_device(words[1], devices);
        if (!selected)
            return "error no device " + std::string(words[1]);
        number = *selected;
        first = 2;
    }
    const command_line command(std::move(words), first);
    const addressed selected{*devices[number - 1], number, number == 1};
    return run_command(command, selected, devices, clients);
}

} // namespace vortlink::sim
