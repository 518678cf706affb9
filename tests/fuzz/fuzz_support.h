#pragma once
// What the fuzz targets share: the invariant check, inputs cut into replies, and a scripted
// peer on a real socket that answers each request the library sends with the next reply.

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace fuzz {

inline void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

using bytes = std::vector<uint8_t>;

// libFuzzer's time-out alarm interrupts system calls; they are simply made again.
template <typename call_t> auto retried(call_t call) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR)
            return result;
    }
}

inline int accept_peer(int listener) {
    return retried([&] { return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); });
}

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

// The far end of one connection. Every message the library sends is a request; the peer answers
// it through `answer`, which sends the next reply or whatever the protocol wants. When the
// replies are used up the peer stops writing, so the library sees the stream end instead of
// waiting out its time-out; so it does when the library sends nothing within a short while
// (a reply that left it waiting for more).
class scripted_peer {
  public:
    // answer(fd, request): false to stop writing.
    using answer_function = std::function<bool(int fd, const bytes &request)>;

    scripted_peer(int fd, answer_function answer) : fd_(fd), answer_(std::move(answer)) {
        thread_ = std::thread([this] { serve(); });
    }
    ~scripted_peer() {
        // Wakes the peer wherever it waits.
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    scripted_peer(const scripted_peer &) = delete;
    scripted_peer &operator=(const scripted_peer &) = delete;

    static constexpr int quiet_ms = 10;

  private:
    void serve() {
        bool writing = true;
        bool answered = false;
        for (;;) {
            pollfd watched{fd_, POLLIN, 0};
            const int ready =
                retried([&] { return ::poll(&watched, 1, writing && answered ? quiet_ms : -1); });
            if (ready < 0)
                return;
            if (ready == 0) {
                ::shutdown(fd_, SHUT_WR);
                writing = false;
                continue;
            }
            uint8_t buffer[4096];
            const ssize_t got = retried([&] { return ::recv(fd_, buffer, sizeof buffer, 0); });
            if (got <= 0)
                return;
            answered = true;
            if (writing && !answer_(fd_, bytes(buffer, buffer + got))) {
                ::shutdown(fd_, SHUT_WR);
                writing = false;
            }
        }
    }

    int fd_;
    answer_function answer_;
    std::thread thread_;
};

inline bool send_bytes(int fd, const bytes &data) {
    return data.empty() || retried([&] {
                               return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
                           }) == static_cast<ssize_t>(data.size());
}

} // namespace fuzz
