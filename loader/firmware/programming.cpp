#include "firmware/programming.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "vortlink.h"

namespace vortlink::loader {

status_t library_link::special(uint16_t code, uint32_t param, uint32_t *result) {
    return tkcmdset_special(slot_, code, param, result);
}

status_t library_link::write_mem_block(uint32_t address, const uint8_t *data, uint16_t length) {
    return tkcmdset_write_mem_block(slot_, address, data, length);
}

status_t library_link::echo(const uint8_t *probe, uint8_t *reply) {
    return tkcmdset_echo(slot_, probe, reply);
}

status_t read_transfer_buffer(controller_link &link, uint32_t &address) {
    address = 0;
    return link.special(special::transfer_buffer, 0, &address);
}

firmware_programmer::firmware_programmer(controller_link &link, uint32_t transfer_buffer,
                                         programming_hooks hooks)
    : link_(link), transfer_buffer_(transfer_buffer), hooks_(std::move(hooks)) {}

status_t firmware_programmer::wait(uint32_t milliseconds) {
    if (hooks_.wait)
        return hooks_.wait(milliseconds);
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return status::ok;
}

uint32_t firmware_programmer::tick() {
    if (hooks_.tick)
        return hooks_.tick();
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void firmware_programmer::report(programming_step step, uint32_t percent, const char *text) {
    if (hooks_.progress)
        hooks_.progress(programming_progress{step, percent, text});
}

status_t firmware_programmer::WriteChunk(const uint8_t *source, uint32_t target) {
    status_t status = link_.write_mem_block(transfer_buffer_, source, chunk_size);
    if (status == status::ok)
        status = link_.special(special::commit_chunk, target, nullptr);
    const status_t waited = wait(0);
    return status != status::ok ? status : waited;
}

status_t firmware_programmer::send_chunks(image_span image, uint32_t lowest, uint32_t highest,
                                          const image_layout &layout) {
    const uint32_t staging = layout.staging_offset;
    status_t status = link_.special(special::begin_block, lowest + staging, nullptr);
    if (status != status::ok)
        return status;
    // The controller header's chunk goes last, after its CRCs are known.
    uint32_t address = layout.kind == image_kind::controller ? lowest + chunk_size : lowest;
    // Chunks stay inside the image area: lowest is 64 KiB aligned and highest below its end.
    for (; address <= highest; address += chunk_size) {
        const uint32_t percent = progress_percent(address, lowest, highest);
        char text[48];
        std::snprintf(text, sizeof text, "Programming %u%% complete", percent);
        report(programming_step::chunks, percent, text);
        if (address % 0x10000 == 0) {
            status = link_.special(special::begin_block, address + staging, nullptr);
            if (status != status::ok)
                return status;
        }
        status = WriteChunk(image.data() + address, address + staging);
        if (status != status::ok)
            return status;
    }
    return status::ok;
}

status_t firmware_programmer::hand_over(uint32_t lowest, uint32_t highest,
                                        uint32_t staging_offset) {
    const uint32_t started = tick();
    report(programming_step::forwarding, 100, "Sending code to coldfire, please wait");
    // A controller that refuses the image says so in an error reply, and that ends the run. A
    // reply that is lost or late tells nothing: the hand-over may restart the link before the
    // controller answers, so the echo poll below tells whether it worked.
    const status_t forwarded = link_.special(
        special::forward_image, forward_argument(lowest, highest, staging_offset), nullptr);
    if (status::is_controller_error(forwarded))
        return forwarded;
    uint8_t probe[echo_size] = {'T', 'E', 'S', 'T'};
    uint8_t reply[echo_size];
    for (;;) {
        const status_t status = link_.echo(probe, reply);
        if (status == status::ok)
            return status;
        const uint32_t elapsed = tick() - started;
        if (elapsed >= echo_poll_limit_ms)
            return status;
        const status_t waited = wait(std::min(echo_retry_pause_ms, echo_poll_limit_ms - elapsed));
        if (waited != status::ok)
            return waited;
    }
}

status_t firmware_programmer::program_image(image_span image, uint32_t lowest, uint32_t highest) {
    image_layout layout;
    status_t status = classify_image(image, lowest, highest, layout);
    if (status != status::ok)
        return status;
    if (layout.kind == image_kind::ethernet)
        seal_ethernet_header(image);
    status = send_chunks(image, lowest, highest, layout);
    if (status != status::ok)
        return status;
    if (layout.kind == image_kind::ethernet)
        return hand_over(lowest, highest, layout.staging_offset);

    report(programming_step::header, 100, "Programming 100% complete, updating header");
    status = seal_controller_header(image, lowest);
    if (status != status::ok)
        return status;
    return WriteChunk(image.data() + lowest, lowest);
}

status_t firmware_programmer::program_file(SRecordFile &file, const char *path, image_span image,
                                           uint32_t &lowest, uint32_t &highest) {
    lowest = 0;
    highest = 0;
    status_t status = file.OpenSRecordFile(path);
    if (status == status::ok)
        status = file.LoadSRecordImage(image, lowest, highest);
    if (status == status::ok)
        status = program_image(image, lowest, highest);
    file.CloseSRecordFile();
    return status;
}

} // namespace vortlink::loader
