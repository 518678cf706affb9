// Arbitrary bytes as an error catalogue. The input's first line names the section, its second
// the key, a byte after them the buffer size; the rest is the file. Besides the sanitizers'
// findings: the reader fills at most size - 1 characters and a zero and counts them, and what it
// gives is the default (cut to fit) or a value that stands in the file as written, without line
// feeds or blanks around it. The library's catalogue lookup reads the same file by status code.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "core/platform/ini_file.h"
#include "core/settings.h"
#include "fuzz_support.h"
#include "vortlink.h"

namespace {

using namespace fuzz;

const char *const default_text = "default \xE2\x80\x94 none";
char path[40];
int fd = -1;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

void check_reading(std::string_view file, const std::string &section, const std::string &key,
                   std::size_t size) {
    std::string buffer(size + 1, '\x7F');
    const std::size_t copied = vortlink::platform::read_ini_string(
        path, section.c_str(), key.c_str(), default_text, buffer.data(), size);
    if (size == 0) {
        require(copied == 0 && buffer[0] == '\x7F');
        return;
    }
    require(copied < size && buffer[copied] == '\0' && std::strlen(buffer.c_str()) == copied);
    const std::string value = buffer.substr(0, copied);
    if (std::string_view(default_text).substr(0, copied) == value)
        return;
    require(file.find(value) != std::string_view::npos);
    require(value.find('\n') == std::string::npos);
    const bool cut = copied == size - 1;
    require(value.empty() || (!is_blank(value.front()) && (cut || !is_blank(value.back()))));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char home[] = "/dev/shm/ini_file_fuzz.XXXXXX";
    require(mkdtemp(home) != nullptr);
    setenv("XDG_CONFIG_HOME", home, 1);
    fd = memfd_create("ini_file_fuzz", MFD_CLOEXEC);
    require(fd >= 0);
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    require(vortlink::open_settings_key(vortlink::library_settings_key) == 0 &&
            vortlink::write_setting_string("ErrorCodesFile", path) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);
    const std::size_t section_end = std::min(input.find('\n'), input.size());
    const std::string section = c_text(input.substr(0, section_end));
    input.remove_prefix(std::min(section_end + 1, input.size()));
    const std::size_t key_end = std::min(input.find('\n'), input.size());
    const std::string key = c_text(input.substr(0, key_end));
    input.remove_prefix(std::min(key_end + 1, input.size()));
    const std::size_t buffer_size = input.empty() ? 64 : static_cast<uint8_t>(input[0]);
    if (!input.empty())
        input.remove_prefix(1);

    require(ftruncate(fd, 0) == 0);
    require(input.empty() ||
            pwrite(fd, input.data(), input.size(), 0) == static_cast<ssize_t>(input.size()));
    check_reading(input, section, key, buffer_size);

    // The catalogue's own lookups, by the code the section names when it is one.
    char *end = nullptr;
    const long code = std::strtol(section.c_str(), &end, 10);
    char text[256];
    std::memset(text, 0x7F, sizeof text);
    const auto text_size = static_cast<uint16_t>(buffer_size);
    require(tkcmdset_get_error_name(static_cast<int16_t>(code), text, text_size) == 0);
    require(text_size == 0 || std::memchr(text, 0, text_size) != nullptr);
    require(tkcmdset_get_error_text(static_cast<int16_t>(code), text, text_size) == 0);
    require(text_size == 0 || std::memchr(text, 0, text_size) != nullptr);
    return 0;
}
