// Control protocol of quorrel-sim
//
// A line-based text protocol on the control port (always 127.0.0.1). The client sends one
// command per line (LF, optionally CR LF); the simulator answers each with exactly one line,
// "ok" with any result after a space, or "error <reason>". Words are separated by blanks.
// Numbers are decimal or 0x-prefixed hexadecimal, except CODE, which is signed decimal.
// Several control connections may be open at once; they share one controller.
//
// Faults are queued; each applies, once, to the next reply the controller sends on any client
// connection (a normal reply, an error reply, or the answer to a bad request), in the order
// they were queued:
//   delay MS          hold the reply MS milliseconds before sending it
//   split N MS        send its first N bytes, pause MS milliseconds, then the rest
//   drop              send no reply at all
//   truncate N        send only its first N bytes; the rest never comes
//   corrupt-crc       flip every bit of its CRC-8 byte
//   error CODE        answer with an error reply carrying CODE (-32768..32767); the request is
//                     not carried out
//   error CODE bad-crc  the same with a wrong CRC-8
//   opcode OP         answer with OP in byte 1 and zero data of OP's reply length (correct CRC);
//                     for an OP in no row of the command table: header, OP and 4 zero bytes. The
//                     request is not carried out
//   close             close the connection instead of replying
//   clear-faults      forget every queued fault                   -> ok
//   faults            how many are queued                         -> ok <count>
// Each fault command answers "ok"; MS is at most 600000, N at most 65535, and at most 1024
// faults wait at once.
//
// Other commands:
//   stray HEX         write these bytes (1 to 4096, as hex digits) to every open client at
//                     once, outside any reply                     -> ok <clients written>
//   status-word [N]   set the status word (0..0xFFFF) or, without N, read it
//                                                                 -> ok 0x<4 hex digits>
//   frames            every request frame received since start-up or the last clear-frames
//                     (the most recent 16384), each header through CRC-8 as contiguous
//                     lowercase hex; a request whose opcode is in no row is logged as its
//                     header and opcode only           -> ok <count> <hex> <hex> ...
//   clear-frames                                                  -> ok
//   clients           open TCP client connections                 -> ok <count>
//   help              the command names                           -> ok <names>
//
// Errors: "error unknown command <word>", "error usage: <synopsis>", "error bad number <word>",
// "error fault queue full", "error line too long" (lines over 16384 characters are discarded
// up to their end), "error empty line".

#include "control.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

namespace vortlink::sim {

namespace {

constexpr uint32_t max_milliseconds = 600000;
constexpr uint32_t max_byte_count = 65535;
constexpr std::size_t max_stray_bytes = 4096;

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

std::optional<uint32_t> parse_unsigned(std::string_view word, uint32_t max) {
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        word.remove_prefix(2);
        base = 16;
    }
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, base);
    if (word.empty() || error != std::errc() || end != word.data() + word.size() || value > max)
        return std::nullopt;
    return value;
}

std::optional<int16_t> parse_code(std::string_view word) {
    int16_t value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (word.empty() || error != std::errc() || end != word.data() + word.size())
        return std::nullopt;
    return value;
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

std::string to_hex(const std::vector<uint8_t> &bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

// What a command line says, checked before anything is changed.
class command_line {
  public:
    explicit command_line(std::string_view line) : words_(split_words(line)) {}

    bool empty() const { return words_.empty(); }
    std::string_view name() const { return words_.front(); }
    std::size_t arguments() const { return words_.size() - 1; }
    std::string_view argument(std::size_t index) const { return words_[index + 1]; }

  private:
    std::vector<std::string_view> words_;
};

std::string bad_number(std::string_view word) {
    return "error bad number " + std::string(word);
}

std::string queue_fault(device &target, const fault &entry) {
    return target.faults.push(entry) ? "ok" : "error fault queue full";
}

// The fault commands; nullopt when the line names none of them.
std::optional<std::string> run_fault_command(const command_line &command, device &target) {
    const std::string_view name = command.name();
    const std::size_t count = command.arguments();
    fault entry;
    if (name == "delay") {
        if (count != 1)
            return "error usage: delay MS";
        const auto milliseconds = parse_unsigned(command.argument(0), max_milliseconds);
        if (!milliseconds)
            return bad_number(command.argument(0));
        entry.kind = fault_kind::delay;
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
    } else if (name == "opcode") {
        if (count != 1)
            return "error usage: opcode OP";
        const auto opcode = parse_unsigned(command.argument(0), 0xFF);
        if (!opcode)
            return bad_number(command.argument(0));
        entry.kind = fault_kind::opcode;
        entry.opcode = static_cast<uint8_t>(*opcode);
    } else {
        return std::nullopt;
    }
    return queue_fault(target, entry);
}

std::string run_frames(device &target) {
    const auto frames = target.frames.snapshot();
    std::string reply = "ok " + std::to_string(frames.size());
    for (const auto &frame : frames) {
        reply.push_back(' ');
        reply += to_hex(frame);
    }
    return reply;
}

} // namespace

std::string run_control_command(std::string_view line, device &target, client_registry &clients) {
    const command_line command(line);
    if (command.empty())
        return "error empty line";
    if (auto reply = run_fault_command(command, target))
        return *reply;

    const std::string_view name = command.name();
    const std::size_t count = command.arguments();
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
        return run_frames(target);
    if (name == "clear-frames") {
        target.frames.clear();
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
        return "ok delay split drop truncate corrupt-crc error opcode close clear-faults faults "
               "stray status-word frames clear-frames clients help";
    return "error unknown command " + std::string(name);
}

} // namespace vortlink::sim
