#include "identity/controller_identity.h"

#include <algorithm>
#include <cstring>

#include "vortlink.h"

namespace vortlink::loader {

bool runs_boot_loader(const char *firmware_version) {
    return std::strncmp(firmware_version, TKCMDSET_LOADER_PART_NUMBER,
                        std::strlen(TKCMDSET_LOADER_PART_NUMBER)) == 0;
}

status_t reopen_after_reset(uint8_t slot, const reopen_hooks &hooks) {
    const uint32_t start = hooks.tick();
    status_t result = tkcmdset_init_ex(slot, TKCMDSET_PRODUCT_NAME, nullptr);
    while (result != status::ok) {
        const uint32_t elapsed = hooks.tick() - start;
        hooks.countdown(static_cast<int>(
            10 - std::min<uint64_t>(10, uint64_t{elapsed} * 10 / usb_reset_limit_ms)));
        // A quit ends the wait for the controller; waiting on would only spin.
        if (hooks.wait(usb_reset_retry_ms) == status::quit_requested)
            return status::quit_requested;
        if (elapsed > usb_reset_limit_ms)
            return result;
        result = tkcmdset_init_ex(slot, TKCMDSET_PRODUCT_NAME, nullptr);
    }
    return result;
}

status_t read_mfg_fields(uint8_t slot, std::optional<mfg_fields> &fields) {
    fields.reset();
    uint8_t block[mfg_block_size] = {};
    if (status_t result = tkcmdset_read_eemem_block(slot, mfg_block_address, block, sizeof block);
        result != status::ok)
        return result;
    if (IsValidMfgBlock(block))
        fields = read_mfg_block(block);
    return status::ok;
}

} // namespace vortlink::loader
