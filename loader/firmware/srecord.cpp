#include "firmware/srecord.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/hex_digit.h"

namespace vortlink::loader {

namespace {

constexpr std::size_t max_line_length = 99;
constexpr uint8_t max_byte_count = 35;
// How much of a file is read at a time.
constexpr std::size_t read_chunk = 64 * 1024;

// Two characters read as base 16: reading stops at the first character that is not a digit, so
// a pair that starts with one gives 0. Characters past the end of the line count as non-digits.
uint8_t hex_pair(const char *line, std::size_t length, std::size_t position) {
    unsigned value = 0;
    for (std::size_t i = position; i < position + 2 && i < length; ++i) {
        const int digit = hex_digit_value(line[i]);
        if (digit < 0)
            break;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return static_cast<uint8_t>(value);
}

// Address bytes by record type; -1 for the types that are not allowed. S5 carries none.
int address_length(uint8_t type) {
    switch (type) {
    case 0:
    case 1:
    case 9:
        return 2;
    case 2:
    case 8:
        return 3;
    case 3:
    case 7:
        return 4;
    case 5:
        return 0;
    default:
        return -1;
    }
}

} // namespace

status_t SRecordFile::OpenSRecordFile(const char *path) {
    CloseSRecordFile();
    if (path == nullptr || *path == '\0')
        return status::srec_not_open;
    // Never through a planted link, never waiting on a FIFO; only regular files are read.
    platform::path_kind refusal = platform::path_kind::unknown;
    std::string reason;
    file_ = platform::open_regular_file(path, platform::file_use::read, refusal, reason);
    if (!file_.valid())
        return status::srec_not_open;
    buffer_.resize(read_chunk);
    return start();
}

status_t SRecordFile::OpenSRecordText(std::span<const uint8_t> bytes) {
    CloseSRecordFile();
    window_ = bytes;
    return start();
}

void SRecordFile::CloseSRecordFile() {
    (void)file_.close();
    buffer_.clear();
    window_ = {};
    position_ = 0;
    open_ = false;
    at_end_ = false;
}

status_t SRecordFile::start() {
    open_ = true;
    SRecord header;
    status_t status = ReadSRecord(header);
    if (status == status::ok && header.type != 0)
        status = status::srec_no_header;
    if (status != status::ok)
        CloseSRecordFile();
    return status;
}

int SRecordFile::next_char() {
    if (position_ == window_.size() && file_.valid()) {
        // A failed read ends the file, as it ends a line for fgets.
        const long got = file_.read(buffer_.data(), buffer_.size());
        window_ = std::span<const uint8_t>(buffer_).first(got > 0 ? static_cast<std::size_t>(got) : 0);
        position_ = 0;
    }
    if (position_ >= window_.size()) {
        at_end_ = true;
        return -1;
    }
    return window_[position_++];
}

// What a text-mode fgets into a 100-byte buffer reads: up to 99 characters, ending after a line
// end, with CR LF taken as one line end. A longer line goes on as the next one.
std::size_t SRecordFile::read_line(char (&line)[line_capacity]) {
    std::size_t length = 0;
    while (length < max_line_length) {
        int c = next_char();
        if (c < 0)
            break;
        if (c == '\r') {
            const int next = next_char();
            if (next == '\n')
                c = '\n';
            else if (next >= 0)
                unread_char();
        }
        line[length++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    return length;
}

status_t SRecordFile::ReadSRecord(SRecord &record) {
    record = SRecord{};
    if (!open_)
        return status::srec_not_open;
    if (at_end_)
        return status::srec_at_end;

    char line[line_capacity];
    const std::size_t length = read_line(line);
    if (length == 0)
        return status::srec_read_failed;
    if (line[0] != 'S')
        return status::srec_not_a_record;
    const auto type = static_cast<uint8_t>((length > 1 ? line[1] : '\0') - '0');

    const uint8_t count = hex_pair(line, length, 2);
    if (count > max_byte_count)
        return status::srec_too_long;
    uint8_t bytes[max_byte_count];
    unsigned sum = count;
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = hex_pair(line, length, 4 + 2 * i);
        sum += bytes[i];
    }
    if ((sum & 0xFF) != 0xFF)
        return status::srec_bad_checksum;

    const int address_bytes = address_length(type);
    if (address_bytes < 0)
        return status::srec_bad_type;
    // S5 carries a record count where the others carry an address; it is read as no data.
    const uint8_t effective_count = type == 5 ? 1 : count;
    // The count is covered by the checksum, so one too small for its own type is a damaged line.
    if (effective_count < address_bytes + 1)
        return status::srec_bad_checksum;

    record.type = type;
    for (int i = 0; i < address_bytes; ++i)
        record.address = record.address << 8 | bytes[i];
    record.length = static_cast<uint8_t>(effective_count - address_bytes - 1);
    std::memcpy(record.data, bytes + address_bytes, record.length);
    return status::ok;
}

status_t SRecordFile::LoadSRecordImage(std::span<uint8_t> buffer, uint32_t &lowest,
                                       uint32_t &highest) {
    lowest = 0;
    highest = 0;
    if (!open_)
        return status::srec_not_open;
    std::fill(buffer.begin(), buffer.end(), uint8_t{0xFF});
    uint32_t minimum = 0xFFFFFFFF;
    uint32_t maximum = 0;

    for (;;) {
        SRecord record;
        const status_t status = ReadSRecord(record);
        if (status == status::srec_at_end || status == status::srec_read_failed)
            break; // a file without a termination record is accepted
        if (status != status::ok)
            return status;
        if (record.type >= 7)
            break;
        if (record.type < 1 || record.type > 3 || record.length == 0)
            continue; // S0 and S5 are skipped; a data record without data changes nothing
        if (uint64_t{record.address} + record.length > buffer.size())
            return status::srec_out_of_range;
        minimum = std::min(minimum, record.address);
        maximum = std::max(maximum, record.address + record.length - 1);
        std::memcpy(buffer.data() + record.address, record.data, record.length);
    }
    lowest = minimum;
    highest = maximum;
    return status::ok;
}

} // namespace vortlink::loader
