#pragma once
// The procedure every single-exchange command follows: header bytes from the slot's report
// table, the exchange of the slot's transport, then the reply data from byte 2.

#include <cstdint>
#include <type_traits>

#include "core/protocol.h"
#include "core/state.h"
#include "core/status.h"

namespace vortlink {

// Which reports carry the request and the reply.
enum class header_pair { normal, long_request, long_reply, long_both };

struct command_frames {
    uint8_t request[protocol::frame_buffer_size + 2] = {};
    uint8_t reply[protocol::frame_buffer_size + 2] = {};

    uint8_t *request_data() { return request + 2; }
    const uint8_t *reply_data() const { return reply + 2; }
};

// Writes header bytes and opcode into the frames (the request data must already be packed from
// request byte 2) and runs the exchange of the slot's transport. The slot must be below 50.
status_t run_exchange(uint8_t slot, header_pair pair, uint8_t opcode, command_frames &frames,
                      uint16_t timeout_ms);

// Packs the values big-endian in their order, each by its type, from cursor on.
inline uint8_t *pack_values(uint8_t *cursor) {
    return cursor;
}
template <typename First, typename... Rest>
uint8_t *pack_values(uint8_t *cursor, First first, Rest... rest) {
    if constexpr (std::is_same_v<First, uint8_t>)
        cursor = put_u8(cursor, first);
    else if constexpr (std::is_same_v<First, uint16_t>)
        cursor = put_u16_be(cursor, first);
    else if constexpr (std::is_same_v<First, uint32_t>)
        cursor = put_u32_be(cursor, first);
    else {
        static_assert(std::is_same_v<First, float>, "requests carry u8, u16, u32 and f32");
        cursor = put_f32_be(cursor, first);
    }
    return pack_values(cursor, rest...);
}

// A command that carries the values as its request data on the normal reports and whose reply
// has no data to unpack: the slot checked, the request packed, the exchange run.
template <typename... Values>
status_t send_values(uint8_t slot, uint8_t opcode, uint16_t timeout_ms, Values... values) {
    if (status_t result = check_slot(slot); result != status::ok)
        return result;
    command_frames frames;
    pack_values(frames.request_data(), values...);
    return run_exchange(slot, header_pair::normal, opcode, frames, timeout_ms);
}

// A command that carries the values as its request data on the normal reports and whose reply
// data read_reply unpacks: the slot checked, the caller's results cleared (clear_results), the
// exchange run with the normal time-out, then the reply read. After a failure the results stay
// as clear_results left them.
template <typename Clear, typename Read, typename... Values>
status_t query_values(uint8_t slot, uint8_t opcode, Clear clear_results, Read read_reply,
                      Values... values) {
    if (status_t result = check_slot(slot); result != status::ok)
        return result;
    clear_results();
    command_frames frames;
    pack_values(frames.request_data(), values...);
    if (status_t result =
            run_exchange(slot, header_pair::normal, opcode, frames, protocol::timeout_normal_ms);
        result != status::ok)
        return result;
    read_reply(frames.reply_data());
    return status::ok;
}

} // namespace vortlink
