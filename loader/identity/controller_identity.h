#pragma once
// Finding a USB controller again after it reset, and what its identity says: the steps that
// QuorrelLoader's identification and quorrelctl share.

#include <cstdint>
#include <functional>
#include <optional>

#include "blocks/mfg_block.h"
#include "common/status.h"

namespace vortlink::loader {

// True when a firmware version text is the boot loader's: it starts with the loader's part
// number.
bool runs_boot_loader(const char *firmware_version);

struct reopen_hooks {
    // Told before each wait, 10 at first and 0 when the time is up.
    std::function<void(int count)> countdown;
    // Waits the milliseconds; quit_requested when the program is told to quit meanwhile.
    std::function<status_t(uint32_t milliseconds)> wait;
    // Milliseconds from any fixed start, wrapping.
    std::function<uint32_t()> tick;
};

// After a feature switch the controller leaves the bus; it is given this long to come back, and
// looked for again this often meanwhile.
inline constexpr uint32_t usb_reset_limit_ms = 15000;
inline constexpr uint32_t usb_reset_retry_ms = 500;
// How long the controller needs before it is looked for, after the switch to each firmware.
inline constexpr uint32_t loader_settle_ms = 2000;
inline constexpr uint32_t application_settle_ms = 3000;

// Opens the slot-th connected controller (tkcmdset_init_ex), trying again every
// usb_reset_retry_ms while it comes back from a reset. 0 once it is open; the last
// tkcmdset_init_ex status when it did not come back within usb_reset_limit_ms; quit_requested
// when a wait was told to quit.
status_t reopen_after_reset(uint8_t slot, const reopen_hooks &hooks);

// Reads the manufacturing block; fields holds what it says when the block is valid and is left
// empty when not (a controller that has none yet).
status_t read_mfg_fields(uint8_t slot, std::optional<mfg_fields> &fields);

} // namespace vortlink::loader
