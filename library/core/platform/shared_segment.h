#pragma once
// The block shared by every process of this user that has the library loaded, and the named,
// system-wide slot locks that live in it.
//
// Nothing here may depend on dynamic initialisation of namespace-scope objects: these functions
// run from the library's load and unload hooks.

#include <cstddef>
#include <cstdint>

namespace vortlink::platform {

inline constexpr std::size_t working_directory_size = 4096;

struct shared_data {
    uint32_t attach_count;                          // loads seen since the block was zero-filled
    char working_directory[working_directory_size]; // recorded by the first loader, ends in '/'
};

// Maps the per-user segment (name "/vortlink-<uid>", or $VORTLINK_SHARED_NAME when set) and
// holds it with a shared flock until detach. A process that finds itself the only holder
// zero-fills the block (and its lock table) first, replacing whatever an earlier run left there.
// Returns null when the segment cannot be mapped, or when other processes hold an object under
// that name with another size or layout; the library then runs without shared state. Calling it
// twice returns the same block. The object is never removed: removing it could split processes
// that are attaching at that moment onto two different blocks.
shared_data *attach_shared_segment();
void detach_shared_segment();

// A named lock: recursive for its owning thread, shared by every process of the user.
struct named_lock;

enum class lock_wait { acquired, abandoned, timed_out, failed };

// Creates the lock, or opens it when another process created it. Null when the segment is not
// mapped, the name is empty or longer than 31 characters, or the lock table is full. Opening a
// name this process already has open returns the same handle; every open needs its own close.
// Detaching the segment invalidates every handle (waits on them then give `failed`).
named_lock *open_named_lock(const char *name);
void close_named_lock(named_lock *lock);

// Waits up to timeout_ms. An owner that died holding the lock gives `abandoned`, and the caller
// then owns it. A null lock gives `failed`.
lock_wait wait_named_lock(named_lock *lock, uint32_t timeout_ms);
void release_named_lock(named_lock *lock);

} // namespace vortlink::platform
