#pragma once
// Text forms shared by the commands: hex dumps, hex parsing, progress.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vortlink::ctl {

// Sixteen bytes a line, each line led by its address.
std::string hex_dump(uint32_t address, const std::vector<uint8_t> &bytes);

// Bytes as two hex digits each, no separators.
std::string hex_string(const std::vector<uint8_t> &bytes);

// Accepts hex digits with optional spaces, colons or dashes between byte pairs. False on
// anything else or an odd digit count.
bool parse_hex_bytes(std::string_view text, std::vector<uint8_t> &bytes);

// Draws programming progress: a bar redrawn in place on a terminal, a line per new percentage
// otherwise.
class progress_printer {
  public:
    explicit progress_printer(bool terminal) : terminal_(terminal) {}
    void show(uint32_t percent);
    void finish();

  private:
    bool terminal_;
    int last_percent_ = -1;
};

} // namespace vortlink::ctl
