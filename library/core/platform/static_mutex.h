#pragma once
// A mutex for state that the library's load and unload hooks use: constant-initialised and
// trivially destructible, so it works before any dynamic initialiser and after static
// destruction. Linux's std::mutex is such a mutex; Windows' (winpthreads) is not, so there it is
// a slim reader/writer lock taken exclusively.

#include <mutex>
#include <type_traits>

namespace vortlink::platform {

#if defined(_WIN32)
class static_mutex {
  public:
    constexpr static_mutex() = default;
    static_mutex(const static_mutex &) = delete;
    static_mutex &operator=(const static_mutex &) = delete;
    void lock();
    void unlock();

  private:
    void *slim_lock_ = nullptr; // an SRWLOCK, whose initial state is all zero
};
#else
using static_mutex = std::mutex;
#endif

static_assert(std::is_trivially_destructible_v<static_mutex>);

} // namespace vortlink::platform
