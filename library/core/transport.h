#pragma once
// What the one exchange sequence (exchange.h) needs from a transport, as a table of operations
// that each transport fills once. The sequence never names a transport: what differs between
// the USB and the TCP road is here, as data or as an operation.

#include <cstdint>

#include "core/platform/shared_segment.h"
#include "core/stale_input.h"
#include "core/state.h"
#include "core/status.h"

namespace vortlink {

struct transport_operations {
    transport_kind kind;
    const char *name; // in the trace
    // The slot's named lock of this transport.
    platform::named_lock *slot_record::*lock;
    // Only the TCP road counts its failures in "CommandFailCount".
    bool counts_failures;

    // 0 when the slot can exchange over this transport.
    status_t (*slot_valid)(uint8_t slot);
    // Discards whatever arrived since the slot's last exchange, within the budget.
    status_t (*clear_stale_input)(uint8_t slot, const stale_input_budget &budget);
    // Completes the request (header byte, opcode, data) to the frame that goes on the wire and
    // gives its length; a failure sends nothing.
    status_t (*frame_request)(uint8_t slot, uint8_t *request, uint16_t &length);
    status_t (*send)(uint8_t slot, const uint8_t *frame, uint16_t length, uint16_t timeout_ms);
    // Receives one reply frame into reply (frame_buffer_size bytes). length tells how many of
    // its bytes came, also when the receive failed part way.
    status_t (*receive)(uint8_t slot, uint8_t *reply, uint16_t timeout_ms, uint16_t &length);
    // Checks the frame of a received reply (CRC-8, report ID) and reads the code an error reply
    // carries; the sequence then judges error reply and opcode alike for both transports.
    status_t (*check_reply)(const uint8_t *reply, uint16_t length, uint8_t expected_report_id,
                            uint16_t &error_code);

    // The resync's echo: builds the request with a fresh random pattern (frame and its length,
    // and how many pattern bytes the echo must return), then reads and discards until that
    // pattern has come back or the budget is spent.
    status_t (*frame_echo)(uint8_t slot, uint8_t *request, uint16_t &length, uint16_t &compared);
    status_t (*await_echo)(uint8_t slot, const uint8_t *request, uint16_t compared,
                           const stale_input_budget &budget);
};

const transport_operations &tcp_operations();
const transport_operations &usb_operations();

} // namespace vortlink
