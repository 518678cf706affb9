#pragma once
// Motorola S-record files as the controller's firmware files have always been read: one record
// per line of at most 99 characters, byte counts up to 35, types S0 to S9 except S4 and S6. A
// file of any content (binary junk, endless lines, CR LF or LF line ends, no final line end)
// gives a status code, never a crash or a hang.

#include <cstdint>
#include <span>
#include <vector>

#include "common/status.h"
#include "core/platform/regular_file.h"

namespace vortlink::loader {

inline constexpr std::size_t srecord_max_data = 32;

struct SRecord {
    uint8_t type = 0;     // 0 to 9
    uint8_t length = 0;   // data bytes
    uint32_t address = 0; // 0 for types that carry none
    uint8_t data[srecord_max_data] = {};
};

// The one S-record file the loader has open at a time. Opening another closes the previous one.
class SRecordFile {
  public:
    SRecordFile() = default;
    SRecordFile(const SRecordFile &) = delete;
    SRecordFile &operator=(const SRecordFile &) = delete;

    // Closes any open file, opens path (a regular file) and reads its first record, which must
    // be S0. Returns srec_not_open when the path cannot be opened, the first record's read
    // status, or srec_no_header; after a failure no file is open.
    status_t OpenSRecordFile(const char *path);

    // The same for a file's contents already read: bytes must stay unchanged while it is open.
    // A caller that reads the file once and programs those bytes can never send one file and
    // name another.
    status_t OpenSRecordText(std::span<const uint8_t> bytes);

    // Reads and checks the next line. record is cleared first. srec_at_end when an earlier read
    // reached the end of the file, srec_read_failed when nothing could be read. A record whose
    // byte count leaves no room for its address and checksum fails with srec_bad_checksum.
    status_t ReadSRecord(SRecord &record);

    // Reads the remaining records into buffer (index = record address), after filling it with
    // 0xFF; later records overwrite earlier ones. S7, S8, S9 or the end of the file end the
    // load successfully. On success lowest and highest are the lowest address and the highest
    // data byte's address of the data records that carry data (0xFFFFFFFF and 0 when there are
    // none); on failure both are 0.
    status_t LoadSRecordImage(std::span<uint8_t> buffer, uint32_t &lowest, uint32_t &highest);

    void CloseSRecordFile();
    bool is_open() const { return open_; }

  private:
    // A line is read into 100 bytes, as the firmware files have always been read: 99 characters
    // and a terminator, so a longer line goes on as the next one.
    static constexpr std::size_t line_capacity = 100;

    std::size_t read_line(char (&line)[line_capacity]);
    // Reads the first record, which must be S0.
    status_t start();
    // The next character, or -1 at the end (or when the file cannot be read further).
    int next_char();
    // Puts back the character next_char just gave (the one after a lone CR).
    void unread_char() { --position_; }

    bool open_ = false;
    bool at_end_ = false;
    // A file is read through buffer_ (refilled as it is used up); a text is read in place.
    platform::regular_file file_;
    std::vector<uint8_t> buffer_;
    std::span<const uint8_t> window_;
    std::size_t position_ = 0;
};

} // namespace vortlink::loader
