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

// Maps the per-user block and holds it with a shared flock until detach. The block and its guard
// are files in the user's runtime directory ($XDG_RUNTIME_DIR, when it is a directory of this
// user that nobody else can enter), else in /dev/shm; their name is "vortlink-<uid>" (and
// ".init"), or $VORTLINK_SHARED_NAME ("/name") when set. Each is used only when it is a regular
// file of this user that nobody else can access, reached without following a symbolic link, and
// every wait is bounded (2 s). A process that finds itself the only holder zero-fills the block
// (and its lock table) first, replacing whatever an earlier run left there.
//
// When the objects cannot be had safely (another user planted them, their guard stays locked,
// another layout uses them), the process gets a block of its own instead and says so once on
// standard error, naming the object: commands keep working, and the slot locks then serialise
// this process's threads only. Null only when not even that can be made. Calling it twice
// returns the same block.
shared_data *attach_shared_segment();
// Lets go of the block. The last process to let go removes the block and its guard.
void detach_shared_segment();
// True while this process runs on a block of its own (see attach_shared_segment).
bool shared_segment_is_private();

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
