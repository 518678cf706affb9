#include "core/platform/regular_file.h"

#include <utility>

namespace vortlink::platform {

regular_file::regular_file(regular_file &&other) noexcept
    : handle_(std::exchange(other.handle_, -1)) {}

regular_file &regular_file::operator=(regular_file &&other) noexcept {
    if (this != &other) {
        (void)close();
        handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
}

regular_file::~regular_file() {
    (void)close();
}

bool regular_file::valid() const {
    return handle_ != -1;
}

bool regular_file::write_all(const void *bytes, std::size_t size) {
    const auto *next = static_cast<const char *>(bytes);
    while (size > 0) {
        const long written = write_once(next, size);
        if (written <= 0)
            return false;
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace vortlink::platform
