#include "core/platform/ini_file.h"

#include <string>
#include <string_view>

#include "core/platform/text_file.h"

namespace vortlink::platform {

namespace {

// The catalogue is a few hundred KB; a file far beyond that is not one, and reading it on every
// lookup would stall the caller.
constexpr std::size_t max_ini_size = 16u << 20;

constexpr std::string_view utf8_byte_order_mark = "\xEF\xBB\xBF";

std::size_t copy_text(std::string_view text, char *buffer, std::size_t size) {
    if (size == 0 || buffer == nullptr)
        return 0;
    const std::size_t count = text.copy(buffer, size - 1);
    buffer[count] = '\0';
    return count;
}

bool find_value(std::string_view contents, std::string_view section, std::string_view key,
                std::string_view &value) {
    if (contents.starts_with(utf8_byte_order_mark))
        contents.remove_prefix(utf8_byte_order_mark.size());
    bool in_section = false;
    while (!contents.empty()) {
        const std::size_t newline = contents.find('\n');
        std::string_view line = contents.substr(0, newline);
        contents.remove_prefix(newline == contents.npos ? contents.size() : newline + 1);

        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        line = trim_blanks(line);
        // A NUL would cut the value short for the caller; such a line is junk.
        if (line.empty() || line.front() == ';' || line.front() == '#' ||
            line.find('\0') != line.npos)
            continue;
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            const std::string_view name = line.substr(1, close == line.npos ? close : close - 1);
            in_section = equal_ignoring_case(trim_blanks(name), section);
            continue;
        }
        const std::size_t equals = line.find('=');
        if (!in_section || equals == line.npos)
            continue;
        if (equal_ignoring_case(trim_blanks(line.substr(0, equals)), key)) {
            value = trim_blanks(line.substr(equals + 1));
            return true;
        }
    }
    return false;
}

} // namespace

std::size_t read_ini_string(const char *path, const char *section, const char *key,
                            const char *default_text, char *buffer, std::size_t size) {
    if (size == 0 || buffer == nullptr)
        return 0;
    const std::string_view fallback = default_text != nullptr ? default_text : "";
    if (path == nullptr || section == nullptr || key == nullptr)
        return copy_text(fallback, buffer, size);

    std::string contents;
    std::string_view value;
    if (read_small_file(path, max_ini_size, contents) == file_read::ok &&
        find_value(contents, section, key, value))
        return copy_text(value, buffer, size);
    return copy_text(fallback, buffer, size);
}

} // namespace vortlink::platform
