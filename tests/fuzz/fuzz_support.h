#pragma once
// What the fuzz targets share: the invariant check, inputs cut into replies, and the scripted
// controller of the reply targets, which answers each request the library sends with the next
// reply of the input, in the same thread and without waiting.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzz {

inline void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

using bytes = std::vector<uint8_t>;
using command_function = int16_t (*)(uint8_t slot);

// The fuzzer's bytes after the first are replies, each a length byte and that many bytes.
// A length running past the end takes what is left.
inline std::vector<bytes> split_replies(const uint8_t *data, std::size_t size) {
    std::vector<bytes> replies;
    std::size_t at = 0;
    while (at < size) {
        const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
        ++at;
        replies.emplace_back(data + at, data + at + length);
        at += length;
    }
    return replies;
}

// The text up to the first NUL, for the readers that take C strings.
inline std::string c_text(std::string_view text) {
    return std::string(text.substr(0, text.find('\0')));
}

// The controller of one input: the command it is asked, and the replies it gives. After the
// command, a call that succeeded must have had every request answered, and each
// answer must be one the request allows (`answers`, the transport's own rule).
class scripted_controller {
  public:
    scripted_controller(command_function command, const uint8_t *replies, std::size_t size)
        : command_(command), replies_(split_replies(replies, size)) {}

    // The reply to a request, or null once the replies are used up.
    const bytes *answer(const uint8_t *request, std::size_t length) {
        ++requests_;
        if (exchanges_.size() == replies_.size())
            return nullptr;
        exchanges_.emplace_back(bytes(request, request + length), replies_[exchanges_.size()]);
        return &exchanges_.back().second;
    }
    bool used_up() const { return exchanges_.size() == replies_.size(); }

    template <typename answers_t> void run(uint8_t slot, answers_t answers) {
        const int16_t result = command_(slot);
        require(result != 0 || requests_ == exchanges_.size());
        if (result == 0)
            for (const auto &[request, reply] : exchanges_)
                require(answers(request, reply));
    }

  private:
    command_function command_;
    std::vector<bytes> replies_;
    std::vector<std::pair<bytes, bytes>> exchanges_;
    std::size_t requests_ = 0;
};

} // namespace fuzz
