#include "core/state.h"

#include <cstdio>
#include <cstring>

#include "core/platform/files.h"
#include "core/settings.h"

namespace vortlink {

namespace {
// Constant-initialised, as the load hook may run before any dynamic initialiser of this library,
// and never destroyed: another thread may still be exchanging while the process exits, and the
// exit releases the devices and sockets anyway.
union state_storage {
    library_state value;
    constexpr state_storage() : value() {}
    ~state_storage() {}
};
constinit state_storage process_state;
constinit platform::shared_data *shared = nullptr;

void record_working_directory(platform::shared_data &block) {
    // The first process to load records its directory with a trailing separator. A directory that
    // does not fit is not recorded at all, so relative catalogue paths then resolve against the
    // caller's own working directory instead of the file-system root.
    char directory[platform::working_directory_size];
    if (!platform::current_directory(directory, sizeof directory)) {
        block.working_directory[0] = '\0';
        return;
    }
    const std::size_t length = std::strlen(directory);
    const bool needs_separator = length == 0 || directory[length - 1] != platform::path_separator;
    if (length + (needs_separator ? 1 : 0) + 1 > sizeof block.working_directory) {
        block.working_directory[0] = '\0';
        return;
    }
    std::memcpy(block.working_directory, directory, length);
    std::size_t end = length;
    if (needs_separator)
        block.working_directory[end++] = platform::path_separator;
    block.working_directory[end] = '\0';
}
} // namespace

library_state &state() {
    return process_state.value;
}

platform::shared_data *shared_state() {
    return shared;
}

void on_process_load() {
    shared = platform::attach_shared_segment();
    if (shared != nullptr) {
        // A plain read and write, as the count is only ever tested for zero.
        const uint32_t previous = shared->attach_count;
        shared->attach_count = previous + 1;
        if (previous == 0)
            record_working_directory(*shared);
    }

    (void)open_settings_key(library_settings_key);
    char scratch[platform::working_directory_size];
    (void)read_setting_string("ErrorCodesFile", ".\\ecodes.ini", scratch, sizeof scratch);

    char name[32];
    for (unsigned slot = 0; slot < slot_count; ++slot) {
        std::snprintf(name, sizeof name, "USB_mutex_%u", slot);
        state().slots[slot].usb_lock = platform::open_named_lock(name);
    }
    for (unsigned slot = 0; slot < slot_count; ++slot) {
        std::snprintf(name, sizeof name, "TCP_mutex_%u", slot);
        state().slots[slot].tcp_lock = platform::open_named_lock(name);
    }
}

void on_process_unload() {
    (void)close_settings_key();
    for (slot_record &record : state().slots) {
        for (platform::named_lock **lock : {&record.usb_lock, &record.tcp_lock}) {
            platform::close_named_lock(*lock);
            *lock = nullptr;
        }
    }
    platform::detach_shared_segment();
    shared = nullptr;
}

} // namespace vortlink
