#include "core/platform/shared_segment.h"
#include "core/platform/text_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

namespace vortlink::platform {

namespace {

// Bumped whenever segment_layout changes, so a process running an older build of the library
// never interprets our block with its own layout (or we with ours).
constexpr uint64_t segment_magic = 0x6b6e696c74726f76; // "vortlink" in memory on little-endian
constexpr uint32_t layout_version = 2;

// The library needs 100 slot locks; the rest is headroom for names added later.
constexpr std::size_t lock_table_size = 128;
constexpr std::size_t lock_name_size = 32;

struct lock_entry {
    pthread_mutex_t mutex;
    uint32_t in_use;
    char name[lock_name_size];
};

struct segment_layout {
    uint64_t magic;
    uint32_t version;
    uint32_t size; // catches a 32-bit build of the same version, whose pthread types differ
    pthread_mutex_t table_mutex; // held while a lock-table entry is looked up and claimed
    shared_data data;
    lock_entry locks[lock_table_size];
};

static_assert(sizeof(segment_layout) <= UINT32_MAX);

class file_descriptor {
  public:
    explicit file_descriptor(int descriptor) noexcept : value(descriptor) {}
    ~file_descriptor() {
        if (value >= 0)
            ::close(value);
    }
    file_descriptor(const file_descriptor &) = delete;
    file_descriptor &operator=(const file_descriptor &) = delete;
    file_descriptor &operator=(file_descriptor &&other) noexcept {
        if (this != &other) {
            if (value >= 0)
                ::close(value);
            value = other.release();
        }
        return *this;
    }

    int get() const noexcept { return value; }
    bool valid() const noexcept { return value >= 0; }
    int release() noexcept {
        const int descriptor = value;
        value = -1;
        return descriptor;
    }

  private:
    int value;
};

class segment_mapping {
  public:
    segment_mapping() = default;
    ~segment_mapping() {
        if (address != nullptr)
            ::munmap(address, sizeof(segment_layout));
    }
    segment_mapping(const segment_mapping &) = delete;
    segment_mapping &operator=(const segment_mapping &) = delete;

    bool map(int descriptor) {
        void *mapped = ::mmap(nullptr, sizeof(segment_layout), PROT_READ | PROT_WRITE, MAP_SHARED,
                              descriptor, 0);
        if (mapped == MAP_FAILED)
            return false;
        address = static_cast<segment_layout *>(mapped);
        return true;
    }
    segment_layout *get() const noexcept { return address; }
    segment_layout *release() noexcept {
        segment_layout *mapped = address;
        address = nullptr;
        return mapped;
    }

  private:
    segment_layout *address = nullptr;
};

// Every wait of an attach or detach ends by this long after it began: the load hook must never
// hold a program before main for longer.
constexpr uint32_t attach_limit_ms = 2000;

uint64_t now_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

// flock without an unbounded wait: retried in short sleeps until the deadline (ms since boot).
bool lock_file_until(int descriptor, int operation, uint64_t deadline) {
    const uint64_t now = now_ms();
    return lock_file_within(descriptor, operation,
                            deadline > now ? static_cast<uint32_t>(deadline - now) : 0);
}

// Why an object cannot be used; empty when it can.
using refusal = const char *;

// Opens (creating when missing) one of our objects and proves it is ours: a regular file, not
// reached through a symbolic link, owned by this user and accessible to nobody else. Another
// user may have created the name first; such an object is never locked, mapped or trusted.
int open_own_object(const char *path, refusal &why) {
    const int descriptor =
        ::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600);
    if (descriptor < 0) {
        why = errno == ELOOP ? "it is a symbolic link" : "it cannot be opened";
        return -1;
    }
    struct stat status {};
    why = nullptr;
    if (::fstat(descriptor, &status) != 0)
        why = "it cannot be examined";
    else if (!S_ISREG(status.st_mode))
        why = "it is not a regular file";
    else if (status.st_uid != ::geteuid())
        why = "another user owns it";
    else if ((status.st_mode & 077) != 0)
        why = "other users have access to it";
    else if (status.st_nlink != 1)
        why = "it has other names"; // a hard link to some file of the user's, never to be cleared
    if (why != nullptr) {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

// Holds the guard object's exclusive flock for its lifetime. Every attach and detach runs under
// it. The guard is removed with the block by the last process to leave, so a guard that was
// waited for may no longer be the one under the name: then it is opened afresh.
class init_guard {
  public:
    init_guard(const char *guard_path, uint64_t deadline, refusal &why) {
        for (;;) {
            descriptor = file_descriptor(open_own_object(guard_path, why));
            if (!descriptor.valid())
                return;
            if (!lock_file_until(descriptor.get(), LOCK_EX, deadline)) {
                why = "its guard stayed locked";
                return;
            }
            struct stat held_status {};
            struct stat named_status {};
            if (::fstat(descriptor.get(), &held_status) == 0 &&
                ::lstat(guard_path, &named_status) == 0 &&
                held_status.st_ino == named_status.st_ino &&
                held_status.st_dev == named_status.st_dev) {
                held = true;
                return;
            }
            if (now_ms() >= deadline) {
                why = "its guard kept being replaced";
                return;
            }
        }
    }
    bool holds() const noexcept { return held; }

  private:
    file_descriptor descriptor{-1}; // closing it drops the flock
    bool held = false;
};

} // namespace

// The entry is set while the handle is open (open_count above 0). Waits and releases read it
// without the process mutex, so that exchanges on different slots never queue behind each other
// in this process; opens and closes change it under the mutex.
struct named_lock {
    std::atomic<lock_entry *> entry;
    uint32_t open_count;
};

namespace {

// Waits for a process-shared mutex until a CLOCK_MONOTONIC deadline. ThreadSanitizer does not
// know pthread_mutex_clocklock: it would take every unlock after one for misuse and miss the
// order the lock gives, so a build under it waits with pthread_mutex_timedlock on the same
// deadline moved to the real-time clock.
int lock_until(pthread_mutex_t &mutex, const timespec &deadline) {
#if defined(__SANITIZE_THREAD__)
    timespec now_monotonic{};
    timespec now_real{};
    ::clock_gettime(CLOCK_MONOTONIC, &now_monotonic);
    ::clock_gettime(CLOCK_REALTIME, &now_real);
    timespec real_deadline{deadline.tv_sec - now_monotonic.tv_sec + now_real.tv_sec,
                           deadline.tv_nsec - now_monotonic.tv_nsec + now_real.tv_nsec};
    while (real_deadline.tv_nsec < 0) {
        real_deadline.tv_nsec += 1000000000L;
        --real_deadline.tv_sec;
    }
    while (real_deadline.tv_nsec >= 1000000000L) {
        real_deadline.tv_nsec -= 1000000000L;
        ++real_deadline.tv_sec;
    }
    return ::pthread_mutex_timedlock(&mutex, &real_deadline);
#else
    return ::pthread_mutex_clocklock(&mutex, CLOCK_MONOTONIC, &deadline);
#endif
}

static_assert(std::is_trivially_destructible_v<std::mutex>,
              "the process mutex must outlive every ELF destructor");

// Process-local state. Constant-initialised and trivially destructible: the load hook may run
// before any dynamic initialiser, and the unload hook after static destruction.
constinit std::mutex process_mutex;
constinit int segment_descriptor = -1;
constinit segment_layout *segment = nullptr;
// The process that attached: a forked child inherits the mapping and the descriptor, but its
// exit must neither drop the parent's hold nor remove the objects under it.
constinit pid_t attached_by = 0;
constinit bool segment_private = false;
constinit bool private_notice_given = false;
constinit char attached_segment_path[PATH_MAX] = {};
constinit char attached_guard_path[PATH_MAX] = {};
// One handle per table entry, so opening the same name again in this process hands back the
// same handle and only the count moves.
constinit named_lock handles[lock_table_size] = {};

// The user's runtime directory when it is one: a directory of this user that nobody else can
// enter (as systemd-logind makes it). Empty otherwise.
bool usable_runtime_directory(const char *directory) {
    if (directory == nullptr || directory[0] != '/')
        return false;
    struct stat status {};
    return ::stat(directory, &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
}

// The block and its guard: in the user's runtime directory when there is one, else in /dev/shm
// under a name that carries the user id. $VORTLINK_SHARED_NAME ("/name") replaces the name.
bool form_paths(char *segment_path, char *guard_path, std::size_t size) {
    char name[NAME_MAX + 1];
    const char *configured = std::getenv("VORTLINK_SHARED_NAME");
    int written = 0;
    if (configured != nullptr && configured[0] != '\0') {
        if (configured[0] == '/')
            ++configured;
        if (configured[0] == '\0' || std::strchr(configured, '/') != nullptr)
            return false;
        written = std::snprintf(name, sizeof name, "%s", configured);
    } else {
        written =
            std::snprintf(name, sizeof name, "vortlink-%u", static_cast<unsigned>(::geteuid()));
    }
    // Room for the guard's suffix within a file name.
    if (written <= 0 || static_cast<std::size_t>(written) + 5 >= sizeof name)
        return false;
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    const char *directory = usable_runtime_directory(runtime) ? runtime : "/dev/shm";
    written = std::snprintf(segment_path, size, "%s/%s", directory, name);
    if (written <= 0 || static_cast<std::size_t>(written) >= size)
        return false;
    written = std::snprintf(guard_path, size, "%s.init", segment_path);
    return written > 0 && static_cast<std::size_t>(written) < size;
}

bool init_mutex(pthread_mutex_t &mutex, int type) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0)
        return false;
    const bool ok = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
                    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
                    pthread_mutexattr_settype(&attributes, type) == 0 &&
                    pthread_mutex_init(&mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return ok;
}

bool init_lock_table(segment_layout &layout) {
    if (!init_mutex(layout.table_mutex, PTHREAD_MUTEX_NORMAL))
        return false;
    for (lock_entry &entry : layout.locks) {
        if (!init_mutex(entry.mutex, PTHREAD_MUTEX_RECURSIVE))
            return false;
    }
    return true;
}

void stamp_layout(segment_layout &layout) {
    layout.size = static_cast<uint32_t>(sizeof layout);
    layout.version = layout_version;
    layout.magic = segment_magic;
}

// Runs only while this process holds the segment's flock exclusively, so nobody else can have
// the block mapped.
bool initialise_segment(int descriptor, segment_mapping &mapping) {
    struct stat status {};
    if (::fstat(descriptor, &status) != 0)
        return false;
    // A block left by an older layout is simply replaced: nobody is using it any more.
    if (static_cast<std::size_t>(status.st_size) != sizeof(segment_layout) &&
        ::ftruncate(descriptor, static_cast<off_t>(sizeof(segment_layout))) != 0)
        return false;
    if (!mapping.map(descriptor))
        return false;
    segment_layout &layout = *mapping.get();
    std::memset(&layout, 0, sizeof layout);
    if (!init_lock_table(layout))
        return false;
    stamp_layout(layout);
    return true;
}

// The block is held by others: use it only if it has our layout. Its size is checked before
// mapping so a short object can never fault on access.
bool join_segment(int descriptor, segment_mapping &mapping) {
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 ||
        static_cast<std::size_t>(status.st_size) != sizeof(segment_layout))
        return false;
    if (!mapping.map(descriptor))
        return false;
    const segment_layout &layout = *mapping.get();
    return layout.magic == segment_magic && layout.version == layout_version &&
           layout.size == sizeof layout;
}

bool is_handle(const named_lock *lock) {
    const auto address = reinterpret_cast<std::uintptr_t>(lock);
    const auto first = reinterpret_cast<std::uintptr_t>(&handles[0]);
    return address >= first && address < first + sizeof handles &&
           (address - first) % sizeof(named_lock) == 0;
}

// Null unless lock is one of our handles and currently open.
lock_entry *open_entry(const named_lock *lock) {
    return is_handle(lock) ? lock->entry.load(std::memory_order_acquire) : nullptr;
}

// The shared block under the guard. Null, with the reason, when it cannot be had safely.
segment_layout *attach_under_guard(const char *segment_path, const char *guard_path, refusal &why) {
    const uint64_t deadline = now_ms() + attach_limit_ms;
    // flock conversions are not atomic: without the guard, two loaders could both fail to take
    // the exclusive lock while each holds it briefly, or one could convert while another maps.
    const init_guard guard(guard_path, deadline, why);
    if (!guard.holds())
        return nullptr;
    file_descriptor descriptor(open_own_object(segment_path, why));
    if (!descriptor.valid())
        return nullptr;

    segment_mapping mapping;
    if (::flock(descriptor.get(), LOCK_EX | LOCK_NB) == 0) {
        if (!initialise_segment(descriptor.get(), mapping) ||
            !lock_file_until(descriptor.get(), LOCK_SH, deadline)) {
            why = "it cannot be set up";
            return nullptr;
        }
    } else if (errno != EWOULDBLOCK || !lock_file_until(descriptor.get(), LOCK_SH, deadline) ||
               !join_segment(descriptor.get(), mapping)) {
        why = "it is in use with another layout";
        return nullptr;
    }
    segment_descriptor = descriptor.release();
    return mapping.release();
}

// State of this process alone: its locks still serialise its own threads.
segment_layout *make_private_segment() {
    void *mapped = ::mmap(nullptr, sizeof(segment_layout), PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    auto *layout = static_cast<segment_layout *>(mapped);
    if (!init_lock_table(*layout)) {
        ::munmap(mapped, sizeof(segment_layout));
        return nullptr;
    }
    stamp_layout(*layout);
    return layout;
}

void tell_private(const char *object, refusal why) {
    if (private_notice_given)
        return;
    private_notice_given = true;
    char line[PATH_MAX + 200];
    const int length = std::snprintf(
        line, sizeof line,
        "vortlink: not using the shared state %s (%s); slot locks cover this process only\n",
        object, why != nullptr ? why : "it cannot be used");
    if (length > 0)
        (void)!::write(STDERR_FILENO, line,
                       std::min(static_cast<std::size_t>(length), sizeof line - 1));
}

} // namespace

shared_data *attach_shared_segment() {
    const std::lock_guard<std::mutex> hold(process_mutex);
    if (segment != nullptr)
        return &segment->data;

    char segment_path[PATH_MAX];
    char guard_path[PATH_MAX];
    refusal why = "its name is unusable";
    if (form_paths(segment_path, guard_path, sizeof segment_path))
        segment = attach_under_guard(segment_path, guard_path, why);
    else
        std::snprintf(segment_path, sizeof segment_path, "%s",
                      std::getenv("VORTLINK_SHARED_NAME") != nullptr
                          ? std::getenv("VORTLINK_SHARED_NAME")
                          : "vortlink");
    if (segment != nullptr) {
        segment_private = false;
        attached_by = ::getpid();
        std::memcpy(attached_segment_path, segment_path, sizeof attached_segment_path);
        std::memcpy(attached_guard_path, guard_path, sizeof attached_guard_path);
        return &segment->data;
    }
    segment = make_private_segment();
    if (segment == nullptr)
        return nullptr;
    segment_private = true;
    tell_private(segment_path, why);
    return &segment->data;
}

bool shared_segment_is_private() {
    const std::lock_guard<std::mutex> hold(process_mutex);
    return segment != nullptr && segment_private;
}

void detach_shared_segment() {
    const std::lock_guard<std::mutex> hold(process_mutex);
    if (segment == nullptr)
        return;
    for (named_lock &handle : handles) {
        handle.entry.store(nullptr, std::memory_order_release);
        handle.open_count = 0;
    }
    ::munmap(segment, sizeof(segment_layout));
    segment = nullptr;
    if (segment_private) {
        segment_private = false;
        return;
    }
    // The last process to leave removes the block and its guard. Holding the guard, nobody can
    // be attaching; if this hold can become exclusive, nobody else holds the block either.
    if (attached_by == ::getpid()) {
        refusal why = nullptr;
        const init_guard guard(attached_guard_path, now_ms() + attach_limit_ms, why);
        if (guard.holds() && ::flock(segment_descriptor, LOCK_EX | LOCK_NB) == 0) {
            ::unlink(attached_segment_path);
            ::unlink(attached_guard_path);
        }
    }
    // Closing, not LOCK_UN: a forked child shares this open file description, and an explicit
    // unlock would drop its hold as well. The kernel drops ours when the last copy is closed.
    ::close(segment_descriptor);
    segment_descriptor = -1;
    attached_by = 0;
    attached_segment_path[0] = '\0';
    attached_guard_path[0] = '\0';
}

named_lock *open_named_lock(const char *name) {
    if (name == nullptr)
        return nullptr;
    const std::size_t length = ::strnlen(name, lock_name_size);
    if (length == 0 || length == lock_name_size)
        return nullptr;

    const std::lock_guard<std::mutex> hold(process_mutex);
    if (segment == nullptr)
        return nullptr;
    // Another process may be claiming an entry at this moment: the look-up and the claim are one
    // step under the table's mutex, whose wait is bounded like every wait of the load hook.
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += attach_limit_ms / 1000;
    switch (lock_until(segment->table_mutex, deadline)) {
    case 0:
        break;
    case EOWNERDEAD:
        // A claim cut short leaves at most an entry marked used with its name written.
        if (::pthread_mutex_consistent(&segment->table_mutex) == 0)
            break;
        ::pthread_mutex_unlock(&segment->table_mutex);
        return nullptr;
    default:
        return nullptr;
    }

    lock_entry *found = nullptr;
    lock_entry *unused = nullptr;
    for (lock_entry &entry : segment->locks) {
        if (entry.in_use == 0) {
            if (unused == nullptr)
                unused = &entry;
        } else if (std::strncmp(entry.name, name, lock_name_size) == 0) {
            found = &entry;
            break;
        }
    }
    if (found == nullptr && unused != nullptr) {
        std::memcpy(unused->name, name, length);
        unused->name[length] = '\0';
        unused->in_use = 1;
        found = unused;
    }
    ::pthread_mutex_unlock(&segment->table_mutex);
    if (found == nullptr)
        return nullptr;

    named_lock &handle = handles[found - segment->locks];
    if (handle.open_count == UINT32_MAX)
        return nullptr;
    handle.entry.store(found, std::memory_order_release);
    ++handle.open_count;
    return &handle;
}

void close_named_lock(named_lock *lock) {
    // Only this process's handle goes; the mutex stays in the table for the other processes.
    const std::lock_guard<std::mutex> hold(process_mutex);
    if (open_entry(lock) == nullptr)
        return;
    if (--lock->open_count == 0)
        lock->entry.store(nullptr, std::memory_order_release);
}

lock_wait wait_named_lock(named_lock *lock, uint32_t timeout_ms) {
    lock_entry *const entry = open_entry(lock);
    if (entry == nullptr)
        return lock_wait::failed;

    timespec deadline{};
    if (::clock_gettime(CLOCK_MONOTONIC, &deadline) != 0)
        return lock_wait::failed;
    deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }

    switch (lock_until(entry->mutex, deadline)) {
    case 0:
        return lock_wait::acquired;
    case EOWNERDEAD:
        // We own it now; marking it consistent keeps it usable for everybody after us.
        if (::pthread_mutex_consistent(&entry->mutex) == 0)
            return lock_wait::abandoned;
        ::pthread_mutex_unlock(&entry->mutex);
        return lock_wait::failed;
    case ETIMEDOUT:
        return lock_wait::timed_out;
    default:
        return lock_wait::failed;
    }
}

void release_named_lock(named_lock *lock) {
    if (lock_entry *const entry = open_entry(lock); entry != nullptr)
        ::pthread_mutex_unlock(&entry->mutex);
}

} // namespace vortlink::platform
