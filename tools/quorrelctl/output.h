#pragma once
// Text forms shared by the commands: device texts made printable, aligned columns, numbers as
// a person and a JSON reader expect them, hex dumps, hex parsing, progress.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace vortlink::ctl {

// Texts from the controller (USB strings narrowed to their low byte, EEPROM bytes) as UTF-8:
// valid UTF-8 stays as it is, every other byte is read as Latin-1, so no byte is lost or breaks
// the output.
std::string device_text(std::string_view bytes);
// A fixed-size field of the controller: up to its first zero byte or its end.
std::string device_text(const char *field, std::size_t size);

// Text for the screen with every control character shown as \xNN (an escape sequence from a
// catalogue or a controller is seen, never obeyed): printable() for one value, printable_lines()
// for a whole text of ours, whose line feeds and tabs stay. JSON needs neither: it escapes them.
std::string printable(std::string_view text);
std::string printable_lines(std::string_view text);

// Terminal columns a UTF-8 text takes (one per character: the tool prints no wide characters).
std::size_t display_width(std::string_view text);
// text followed by blanks up to width columns.
std::string pad_right(std::string_view text, std::size_t width);

// A real as "%g" does: at most six significant digits, no trailing zeros.
std::string real_text(double value);
// A single-precision value as the JSON number that reads back as the same float: 38.79, not
// 38.790000915527344.
nlohmann::ordered_json json_real(float value);

// JSON on standard output; every character beyond ASCII escaped, so any reader takes it.
std::string json_text(const nlohmann::ordered_json &value, int indent = 2);

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
