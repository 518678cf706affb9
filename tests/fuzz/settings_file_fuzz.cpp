// Arbitrary bytes as a settings file. The input's first line is a value name; the rest is the
// file. Besides the sanitizers' findings: a value read back stands in the file as written, a
// string without line feeds or NUL bytes; a value written under the fuzzed name reads back as
// written, and every other value that was readable before the write reads the same after it.

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "core/platform/settings_file.h"
#include "fuzz_support.h"

namespace {

using namespace fuzz;
using vortlink::platform::read_setting_value;
using vortlink::platform::setting_value;

std::string file;

bool same(const std::optional<setting_value> &a, const std::optional<setting_value> &b) {
    if (a.has_value() != b.has_value())
        return false;
    return !a || (a->type == b->type && a->text == b->text && a->dword == b->dword);
}

// Names that the library's settings files hold.
const char *const known_names[] = {"TCP Port", "CommandFailCount", "ErrorCodesFile", "Trace"};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char directory[] = "/dev/shm/settings_file_fuzz.XXXXXX";
    require(mkdtemp(directory) != nullptr);
    file = std::string(directory) + "/fuzz.conf";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);
    const std::size_t name_end = std::min(input.find('\n'), input.size());
    const std::string name(input.substr(0, name_end));
    input.remove_prefix(std::min(name_end + 1, input.size()));

    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    require(fd >= 0 && write(fd, input.data(), input.size()) == static_cast<ssize_t>(input.size()));
    close(fd);

    const std::optional<setting_value> before = read_setting_value(file, name);
    if (before && before->type == setting_value::kind::string) {
        require(input.find(before->text) != std::string_view::npos);
        require(before->text.find_first_of(std::string_view("\n\0", 2)) == std::string::npos);
    }
    std::optional<setting_value> others[std::size(known_names)];
    for (std::size_t i = 0; i < std::size(known_names); ++i)
        others[i] = read_setting_value(file, known_names[i]);

    // A value derived from the input, of the kind the first byte says.
    setting_value written;
    if (!input.empty() && (input[0] & 1) != 0) {
        written.type = setting_value::kind::dword;
        written.dword = static_cast<uint32_t>(input.size() * 2654435761u);
    } else {
        written.text = std::string(input.substr(0, std::min<std::size_t>(input.size(), 40)));
    }
    if (!vortlink::platform::write_setting_value(file, name, written))
        return 0;
    require(same(read_setting_value(file, name), written));
    for (std::size_t i = 0; i < std::size(known_names); ++i) {
        const bool same_name = strcasecmp(known_names[i], name.c_str()) == 0;
        require(same_name || same(read_setting_value(file, known_names[i]), others[i]));
    }
    return 0;
}
