#include "core/usb_transport.h"

#include "core/slot_lock.h"
#include "core/state.h"

namespace vortlink {

// The HID backends (hidraw and the simulator's socket) open devices into the slot's record;
// until one is open every USB operation finds the slot closed.

status_t usb_slot_valid(uint8_t slot) {
    if (slot >= slot_count)
        return status::bad_slot;
    if (state().hid[slot].device == nullptr)
        return status::no_usb_device;
    return status::ok;
}

void close_hid_slot(uint8_t slot) { state().hid[slot].device = nullptr; }

status_t usb_exchange(uint8_t slot, uint8_t *request, uint8_t *reply, uint16_t timeout_ms) {
    (void)request;
    (void)reply;
    (void)timeout_ms;
    slot_lock lock(slot < slot_count ? state().usb_locks[slot] : nullptr);
    if (status_t result = lock.acquire(); result != status::ok)
        return result;
    const status_t result = usb_slot_valid(slot);
    return result;
}

} // namespace vortlink
