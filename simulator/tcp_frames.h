#pragma once
// TCP framing of the controller: splitting the request stream into frames, building normal and
// error replies, and bending a reply by the next queued fault. No sockets here.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "device.h"

namespace vortlink::sim {

enum class request_scan {
    incomplete,     // more bytes are needed
    complete,       // a whole frame of `frame_length` bytes starts the buffer
    unknown_opcode, // the opcode is in no row: the frame length cannot be known
};

request_scan scan_request(std::span<const uint8_t> pending, std::size_t &frame_length);

std::vector<uint8_t> normal_reply(uint8_t header, uint8_t opcode, std::span<const uint8_t> data);
std::vector<uint8_t> error_reply(uint8_t header, int16_t code);

// What the connection does with one answer.
struct reply_plan {
    std::vector<uint8_t> bytes; // empty: nothing is sent
    uint32_t delay_ms = 0;      // before the first byte
    std::size_t first_part = 0; // with a pause: bytes sent before it
    uint32_t pause_ms = 0;
    bool close_connection = false;
    uint32_t flood_ms = 0; // junk sent after the reply
};

// Answers one request as the controller does, then applies the next queued fault. `frame` is a
// complete request frame or, for an opcode in no row, just its header byte and opcode.
reply_plan answer_request(device &target, std::span<const uint8_t> frame, request_scan scan);

} // namespace vortlink::sim
