// Thermal limit queries: the controller computes the answers from the lighthead's data; the
// library only carries the inputs there and the answer back, uninterpreted. Results are not
// cleared: after a failure the caller's previous value stays.

#include <type_traits>

#include "commands/command.h"
#include "core/state.h"

using namespace vortlink;

namespace {

namespace opcode = protocol::opcode;

// Checks the slot, sends the values and reads the answer. Results are not cleared.
template <typename Result, typename... Values>
status_t query(uint8_t slot, uint8_t opcode, Result *result, Values... values) {
    if (status_t checked = check_slot(slot); checked != status::ok)
        return checked;
    command_frames frames;
    pack_values(frames.request_data(), values...);
    if (status_t exchanged =
            run_exchange(slot, header_pair::normal, opcode, frames, protocol::timeout_normal_ms);
        exchanged != status::ok)
        return exchanged;
    if constexpr (std::is_same_v<Result, uint16_t>)
        protocol::get_u16_be(frames.reply_data(), *result);
    else
        protocol::get_u32_be(frames.reply_data(), *result);
    return status::ok;
}

} // namespace

extern "C" {

VORTLINK_API int16_t tkcmdset_calc_led_temp(uint8_t slot, uint8_t channel, uint32_t width,
                                            float current, uint32_t *result) {
    return query(slot, opcode::calc_led_temp, result, channel, width, current);
}

VORTLINK_API int16_t tkcmdset_calc_max_width(uint8_t slot, uint8_t channel, float current,
                                             uint32_t *result) {
    return query(slot, opcode::calc_max_width, result, channel, current);
}

VORTLINK_API int16_t tkcmdset_calc_max_current(uint8_t slot, uint8_t channel, uint32_t width,
                                               uint32_t *result) {
    return query(slot, opcode::calc_max_current, result, channel, width);
}

VORTLINK_API int16_t tkcmdset_calc_max_freq(uint8_t slot, uint8_t channel, uint32_t width,
                                            float current, uint16_t *result) {
    return query(slot, opcode::calc_max_freq, result, channel, width, current);
}

VORTLINK_API int16_t tkcmdset_calc_supply_voltage(uint8_t slot, uint8_t channel, uint32_t width,
                                                  float current, uint32_t *result) {
    return query(slot, opcode::calc_supply_voltage, result, channel, width, current);
}
}
