#pragma once
// Faults that the control port queues for the controller's next replies, and the log of request
// frames it can read back. Both are shared by every connection of every transport.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace vortlink::sim {

enum class fault_kind {
    delay,       // hold the reply `milliseconds`
    split,       // send `count` bytes, pause `milliseconds`, send the rest
    drop,        // send nothing
    truncate,    // send only the first `count` bytes
    corrupt_crc, // flip the bits of the CRC-8 byte
    error_reply, // answer with an error reply carrying `error_code` (CRC wrong when `bad_crc`)
    opcode,      // answer with `opcode` in byte 1 and that row's reply length
    close,       // close the connection instead of replying
    report_id,   // USB only: send the reply in report `report_id`
    flood,       // after the reply, send junk for `milliseconds` before taking the next request
};

struct fault {
    fault_kind kind = fault_kind::drop;
    uint32_t milliseconds = 0;
    uint32_t count = 0;
    int16_t error_code = 0;
    bool bad_crc = false;
    uint8_t opcode = 0;
    uint8_t report_id = 0;
};

// One-shot faults, taken in the order they were queued, one per reply.
class fault_queue {
  public:
    static constexpr std::size_t capacity = 1024;

    // False when the queue is full.
    bool push(const fault &entry);
    std::optional<fault> take_next();
    std::size_t size() const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::deque<fault> queue_;
};

// Request frames as received, header through CRC-8. Keeps the most recent `capacity` frames so a
// long run cannot grow without bound.
class frame_log {
  public:
    static constexpr std::size_t capacity = 16384;

    void record(std::span<const uint8_t> frame);
    std::vector<std::vector<uint8_t>> snapshot() const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::deque<std::vector<uint8_t>> frames_;
};

} // namespace vortlink::sim
