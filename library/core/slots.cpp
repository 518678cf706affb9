#include "core/state.h"
#include "core/usb_transport.h"

extern "C" VORTLINK_API int16_t tkcmdset_shutdown(uint8_t slot) {
    using namespace vortlink;
    if (status_t result = check_slot(slot); result != status::ok)
        return result;
    hid_slot &hid = state().hid[slot];
    if (hid.device == nullptr)
        return status::ok;
    close_hid_slot(slot);
    return status::ok;
}
