#pragma once
// Programming a firmware image into a controller that runs its boot loader: every 128-byte chunk
// goes through the boot loader's transfer buffer and is then committed to its target address,
// block by block; a controller image's header chunk goes last, once its CRCs are filled in, so
// an interrupted run never leaves a header that vouches for a half-written body. An
// Ethernet-processor image is staged in the controller's memory, handed on, and the controller
// is polled with echo until it answers again.

#include <cstdint>
#include <functional>
#include <span>

#include "common/status.h"
#include "firmware/firmware_image.h"
#include "firmware/srecord.h"

namespace vortlink::loader {

// Special function codes of the boot loader.
namespace special {
inline constexpr uint16_t transfer_buffer = 2064; // answers the transfer buffer address
inline constexpr uint16_t begin_block = 2065;     // param: base of a 64 KiB block
inline constexpr uint16_t commit_chunk = 2066;    // param: target of the transfer buffer's bytes
inline constexpr uint16_t forward_image = 2068;   // param: forward_argument()
} // namespace special

inline constexpr uint16_t chunk_size = 128;
inline constexpr std::size_t echo_size = 200;
// How long the Ethernet processor gets to come back after the hand-over.
inline constexpr uint32_t echo_poll_limit_ms = 20000;
// Pause between echo attempts, so that a controller that refuses at once is not flooded.
inline constexpr uint32_t echo_retry_pause_ms = 100;

// The library calls the programming makes, on one device slot.
class controller_link {
  public:
    virtual ~controller_link() = default;
    // result may be null.
    virtual status_t special(uint16_t code, uint32_t param, uint32_t *result) = 0;
    virtual status_t write_mem_block(uint32_t address, const uint8_t *data, uint16_t length) = 0;
    // probe and reply are echo_size bytes each.
    virtual status_t echo(const uint8_t *probe, uint8_t *reply) = 0;
};

// controller_link over libvortlink.so's exported functions.
class library_link final : public controller_link {
  public:
    explicit library_link(uint8_t slot) : slot_(slot) {}
    status_t special(uint16_t code, uint32_t param, uint32_t *result) override;
    status_t write_mem_block(uint32_t address, const uint8_t *data, uint16_t length) override;
    status_t echo(const uint8_t *probe, uint8_t *reply) override;

  private:
    uint8_t slot_;
};

// Asks the boot loader where chunks are to be written. address is 0 after a failure.
status_t read_transfer_buffer(controller_link &link, uint32_t &address);

enum class programming_step {
    chunks,     // before each chunk; percent is how far the chunks have come
    forwarding, // the Ethernet-processor image is being handed over
    header,     // all body chunks are in; the controller header is being written
};

struct programming_progress {
    programming_step step;
    uint32_t percent;
    const char *text; // what the dialog's status box shows; valid during the call only
};

// What the caller provides. Any member may be left empty.
struct programming_hooks {
    // Told before each chunk and at each later step.
    std::function<void(const programming_progress &)> progress;
    // Waits the given milliseconds (0: only lets the caller catch up, e.g. repaint); returns 0,
    // or status::quit_requested to end the programming. Default: blocks for that long.
    std::function<status_t(uint32_t milliseconds)> wait;
    // Millisecond clock that may wrap. Default: the monotonic clock.
    std::function<uint32_t()> tick;
};

class firmware_programmer {
  public:
    firmware_programmer(controller_link &link, uint32_t transfer_buffer,
                        programming_hooks hooks = {});

    // Writes 128 bytes from source into the transfer buffer, commits them to target, then
    // waits 0 ms so the caller's window can repaint. Returns the first non-zero status or 0.
    status_t WriteChunk(const uint8_t *source, uint32_t target);

    // Sends an image loaded into image with the given lowest and highest address. The image's
    // header CRCs are filled in on the way (in image). Returns the first failing status: a
    // classification or header status, a library status, a wait's status::quit_requested, or
    // for an Ethernet-processor image the controller's error number when it refused the
    // hand-over, else the last echo status. Chunks already committed stay.
    status_t program_image(image_span image, uint32_t lowest, uint32_t highest);

    // Loads path into image through file, then programs it; file is closed at the end. lowest
    // and highest receive the loaded image's bounds (0 when the load failed).
    status_t program_file(SRecordFile &file, const char *path, image_span image, uint32_t &lowest,
                          uint32_t &highest);

  private:
    status_t wait(uint32_t milliseconds);
    uint32_t tick();
    void report(programming_step step, uint32_t percent, const char *text);
    status_t send_chunks(image_span image, uint32_t lowest, uint32_t highest,
                         const image_layout &layout);
    status_t hand_over(uint32_t lowest, uint32_t highest, uint32_t staging_offset);

    controller_link &link_;
    uint32_t transfer_buffer_;
    programming_hooks hooks_;
};

} // namespace vortlink::loader
