#include "core/platform/shared_segment.h"

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
constexpr uint32_t layout_version = 1;

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

// flock on a descriptor of our own; blocking waits sleep in the kernel until the holder lets go.
bool lock_file(int descriptor, int operation) {
    while (::flock(descriptor, operation) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

// Holds the guard object's exclusive flock for its lifetime. Every attach sequence and every
// claim of a lock-table entry runs under it. It opens the guard afresh each time: a descriptor
// kept open would be shared with forked children, and flock does not exclude holders of the
// same open file description.
class init_guard {
  public:
    explicit init_guard(const char *guard_name)
        : descriptor(::shm_open(guard_name, O_RDWR | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR)) {
        held = descriptor.valid() && lock_file(descriptor.get(), LOCK_EX);
    }
    bool holds() const noexcept { return held; }

  private:
    file_descriptor descriptor; // closing it drops the flock
    bool held = false;
};

} // namespace

struct named_lock {
    lock_entry *entry;
    uint32_t open_count;
};

namespace {

static_assert(std::is_trivially_destructible_v<std::mutex>,
              "the process mutex must outlive every ELF destructor");

// Process-local state. Constant-initialised and trivially destructible: the load hook may run
// before any dynamic initialiser, and the unload hook after static destruction.
constinit std::mutex process_mutex;
constinit int segment_descriptor = -1;
constinit segment_layout *segment = nullptr;
constinit char attached_guard_name[NAME_MAX + 1] = {};
// One handle per table entry, so opening the same name again in this process hands back the
// same handle and only the count moves.
constinit named_lock handles[lock_table_size] = {};

bool form_names(char *segment_name, char *guard_name, std::size_t size) {
    const char *configured = std::getenv("VORTLINK_SHARED_NAME");
    int written = 0;
    if (configured != nullptr && configured[0] != '\0')
        written = std::snprintf(segment_name, size, "%s", configured);
    else
        written =
            std::snprintf(segment_name, size, "/vortlink-%u", static_cast<unsigned>(::geteuid()));
    if (written <= 0 || static_cast<std::size_t>(written) >= size)
        return false;
    written = std::snprintf(guard_name, size, "%s.init", segment_name);
    return written > 0 && static_cast<std::size_t>(written) < size;
}

bool init_lock_table(segment_layout &layout) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0)
        return false;
    bool ok = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0;
    for (std::size_t i = 0; ok && i < lock_table_size; ++i)
        ok = pthread_mutex_init(&layout.locks[i].mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return ok;
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
    layout.size = static_cast<uint32_t>(sizeof layout);
    layout.version = layout_version;
    layout.magic = segment_magic;
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

// Null unless lock is one of our handles and currently open.
lock_entry *open_entry(const named_lock *lock) {
    const auto address = reinterpret_cast<std::uintptr_t>(lock);
    const auto first = reinterpret_cast<std::uintptr_t>(&handles[0]);
    if (address < first || address >= first + sizeof handles ||
        (address - first) % sizeof(named_lock) != 0)
        return nullptr;
    return lock->open_count > 0 ? lock->entry : nullptr;
}

} // namespace

shared_data *attach_shared_segment() {
    const std::lock_guard<std::mutex> hold(process_mutex);
    if (segment != nullptr)
        return &segment->data;

    char segment_name[NAME_MAX + 1];
    char guard_name[NAME_MAX + 1];
    if (!form_names(segment_name, guard_name, sizeof segment_name))
        return nullptr;

    // flock conversions are not atomic: without the guard, two loaders could both fail to take
    // the exclusive lock while each holds it briefly, or one could convert while another maps.
    const init_guard guard(guard_name);
    if (!guard.holds())
        return nullptr;

    file_descriptor descriptor(
        ::shm_open(segment_name, O_RDWR | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (!descriptor.valid())
        return nullptr;
    struct stat status {};
    // An object under our name that another user created is not ours to trust.
    if (::fstat(descriptor.get(), &status) != 0 || status.st_uid != ::geteuid())
        return nullptr;

    segment_mapping mapping;
    if (::flock(descriptor.get(), LOCK_EX | LOCK_NB) == 0) {
        if (!initialise_segment(descriptor.get(), mapping) || !lock_file(descriptor.get(), LOCK_SH))
            return nullptr;
    } else {
        if (errno != EWOULDBLOCK || !lock_file(descriptor.get(), LOCK_SH) ||
            !join_segment(descriptor.get(), mapping))
            return nullptr;
    }

    segment_descriptor = descriptor.release();
    segment = mapping.release();
    std::memcpy(attached_guard_name, guard_name, sizeof attached_guard_name);
    return &segment->data;
}

void detach_shared_segment() {
    const std::lock_guard<std::mutex> hold(process_mutex);
    if (segment == nullptr)
        return;
    for (named_lock &handle : handles)
        handle = named_lock{};
    ::munmap(segment, sizeof(segment_layout));
    segment = nullptr;
    // Closing, not LOCK_UN: a forked child shares this open file description, and an explicit
    // unlock would drop its hold as well. The kernel drops ours when the last copy is closed.
    ::close(segment_descriptor);
    segment_descriptor = -1;
    attached_guard_name[0] = '\0';
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
    // Another process may be claiming an entry at this moment; the guard makes the look-up and
    // the claim one step.
    const init_guard guard(attached_guard_name);
    if (!guard.holds())
        return nullptr;

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
    if (found == nullptr) {
        if (unused == nullptr)
            return nullptr;
        std::memcpy(unused->name, name, length);
        unused->name[length] = '\0';
        unused->in_use = 1;
        found = unused;
    }

    named_lock &handle = handles[found - segment->locks];
    if (handle.open_count == UINT32_MAX)
        return nullptr;
    handle.entry = found;
    ++handle.open_count;
    return &handle;
}

void close_named_lock(named_lock *lock) {
    // Only this process's handle goes; the mutex stays in the table for the other processes.
    const std::lock_guard<std::mutex> hold(process_mutex);
    if (open_entry(lock) == nullptr)
        return;
    if (--lock->open_count == 0)
        lock->entry = nullptr;
}

lock_wait wait_named_lock(named_lock *lock, uint32_t timeout_ms) {
    lock_entry *entry = nullptr;
    {
        const std::lock_guard<std::mutex> hold(process_mutex);
        entry = open_entry(lock);
    }
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

    switch (::pthread_mutex_clocklock(&entry->mutex, CLOCK_MONOTONIC, &deadline)) {
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
    lock_entry *entry = nullptr;
    {
        const std::lock_guard<std::mutex> hold(process_mutex);
        entry = open_entry(lock);
    }
    if (entry != nullptr)
        ::pthread_mutex_unlock(&entry->mutex);
}

} // namespace vortlink::platform
