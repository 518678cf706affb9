// Memory and EEPROM blocks, split into chunks that each fit one long report or TCP frame.

#include <algorithm>
#include <cstring>

#include "commands/command.h"
#include "core/exchange.h"
#include "core/platform/clock.h"
#include "core/state.h"
#include "core/usb_transport.h"

namespace vortlink {

namespace {

namespace opcode = protocol::opcode;

// A TCP frame's long data field has room for this many bytes, as a long report of that count.
constexpr uint16_t tcp_long_report_count = 112;
// Bytes of a chunk request ahead of its data: header, opcode, u32 address, u16 count.
constexpr uint16_t chunk_request_overhead = 8;
// The EEPROM read reply carries only header and opcode ahead of its data.
constexpr uint16_t eeprom_read_overhead = 2;
constexpr uint32_t progress_interval_ms = 100;
constexpr uint32_t eeprom_address_mask = 0xFFFF;
constexpr uint32_t memory_address_mask = 0xFFFFFFFF;

struct block_road {
    bool writes;
    uint8_t opcode;
    header_pair pair;
    report_usage sizing_usage; // the long report whose count sizes chunks on a USB slot
    uint16_t overhead;         // that count less this is the chunk limit
    uint32_t progress_kind;
    uint32_t address_mask;
};

constexpr block_road write_mem_road{.writes = true,
                                    .opcode = opcode::write_mem_block,
                                    .pair = header_pair::long_request,
                                    .sizing_usage = usage_index_long_request,
                                    .overhead = chunk_request_overhead,
                                    .progress_kind = 1,
                                    .address_mask = memory_address_mask};
constexpr block_road read_mem_road{.writes = false,
                                   .opcode = opcode::read_mem_block,
                                   .pair = header_pair::long_reply,
                                   .sizing_usage = usage_index_long_reply,
                                   .overhead = chunk_request_overhead,
                                   .progress_kind = 2,
                                   .address_mask = memory_address_mask};
constexpr block_road write_eemem_road{.writes = true,
                                      .opcode = opcode::write_eemem_block,
                                      .pair = header_pair::long_request,
                                      .sizing_usage = usage_index_long_request,
                                      .overhead = chunk_request_overhead,
                                      .progress_kind = 5,
                                      .address_mask = eeprom_address_mask};
constexpr block_road read_eemem_road{.writes = false,
                                     .opcode = opcode::read_eemem_block,
                                     .pair = header_pair::long_reply,
                                     .sizing_usage = usage_index_long_reply,
                                     .overhead = eeprom_read_overhead,
                                     .progress_kind = 6,
                                     .address_mask = eeprom_address_mask};

status_t chunk_limit(uint8_t slot, const block_road &road, uint16_t &limit) {
    limit = 0;
    uint16_t count = tcp_long_report_count;
    if (slot_of(slot).transport != transport_kind::tcp) {
        if (status_t result = usb_slot_valid(slot); result != status::ok)
            return result;
        count = slot_of(slot).reports[road.sizing_usage].report_count;
    }
    // A report that leaves no room for data would never finish the block; one longer than the
    // frame buffers cannot be built or received.
    if (count <= road.overhead || count > protocol::frame_buffer_size)
        return status::bad_reports;
    limit = static_cast<uint16_t>(count - road.overhead);
    return status::ok;
}

// Keeps a long transfer from flooding the caller with progress calls. The first chunk of a
// transfer is always reported, whatever the clock reads.
class progress_throttle {
  public:
    explicit progress_throttle(uint32_t kind) : kind_(kind) {}

    void before_chunk(uint32_t address) {
        if (reported_ && platform::monotonic_ms() - last_ms_ <= progress_interval_ms)
            return;
        report_progress(kind_, address);
        last_ms_ = platform::monotonic_ms();
        reported_ = true;
    }

  private:
    uint32_t kind_;
    bool reported_ = false;
    uint32_t last_ms_ = 0;
};

// Writes send from source, reads fill destination; the other pointer is not used.
status_t transfer_block(uint8_t slot, const block_road &road, uint32_t address,
                        const uint8_t *source, uint8_t *destination, uint16_t length) {
    if (status_t result = check_slot(slot); result != status::ok)
        return result;
    if (length == 0)
        return status::ok;
    uint16_t limit = 0;
    if (status_t result = chunk_limit(slot, road, limit); result != status::ok)
        return result;

    progress_throttle progress(road.progress_kind);
    uint32_t done = 0;
    while (done < length) {
        const auto count = static_cast<uint16_t>(std::min<uint32_t>(length - done, limit));
        // Fresh frames for every chunk: the bytes after a short last chunk go out as zeros.
        command_frames frames;
        uint8_t *cursor = protocol::put_u32_be(frames.request_data(), address);
        cursor = protocol::put_u16_be(cursor, count);
        if (road.writes)
            std::memcpy(cursor, source + done, count);

        progress.before_chunk(address);
        if (status_t result =
                run_exchange(slot, road.pair, road.opcode, frames, protocol::timeout_normal_ms);
            result != status::ok)
            return result;
        if (!road.writes)
            std::memcpy(destination + done, frames.reply_data(), count);

        done += count;
        address = (address + count) & road.address_mask;
    }
    return status::ok;
}

} // namespace

} // namespace vortlink

using namespace vortlink;

extern "C" {

VORTLINK_API int16_t tkcmdset_write_mem_block(uint8_t slot, uint32_t address, const uint8_t *data,
                                              uint16_t length) {
    return transfer_block(slot, write_mem_road, address, data, nullptr, length);
}

VORTLINK_API int16_t tkcmdset_read_mem_block(uint8_t slot, uint32_t address, uint8_t *data,
                                             uint16_t length) {
    return transfer_block(slot, read_mem_road, address, nullptr, data, length);
}

VORTLINK_API int16_t tkcmdset_write_eemem_block(uint8_t slot, uint16_t address, const uint8_t *data,
                                                uint16_t length) {
    return transfer_block(slot, write_eemem_road, address, data, nullptr, length);
}

VORTLINK_API int16_t tkcmdset_read_eemem_block(uint8_t slot, uint16_t address, uint8_t *data,
                                               uint16_t length) {
    return transfer_block(slot, read_eemem_road, address, nullptr, data, length);
}
}
