#pragma once
// The exported commands a reply fuzz target runs, each with what its header promises about the
// out-parameters after a failure. Every row checks its own promise; the target checks the replies.

#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "vortlink.h"

namespace fuzz {

constexpr uint8_t sentinel = 0xA5;

template <typename T> bool all_sentinel(const T &value) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(&value);
    for (std::size_t i = 0; i < sizeof value; ++i)
        if (bytes[i] != sentinel)
            return false;
    return true;
}
template <typename T> void fill_sentinel(T &value) {
    std::memset(&value, sentinel, sizeof value);
}

// A text of the identity commands ends within its 101 bytes, and is empty after a failure.
template <int16_t (*read_text)(uint8_t, char *)> int16_t identity_text(uint8_t slot) {
    char text[101];
    fill_sentinel(text);
    const int16_t result = read_text(slot, text);
    require(std::memchr(text, 0, sizeof text) != nullptr);
    require(result == 0 || text[0] == 0);
    return result;
}

// Out-parameters that a failed call sets to zero (each row starts them at something else).
template <typename... outputs_t>
int16_t zeroed_on_failure(int16_t result, const outputs_t &...outputs) {
    require(result == 0 || ((outputs == outputs_t{}) && ...));
    return result;
}
// Out-parameters that a failed call leaves as they were (each row fills them with sentinels).
template <typename... outputs_t>
int16_t kept_on_failure(int16_t result, const outputs_t &...outputs) {
    require(result == 0 || (all_sentinel(outputs) && ...));
    return result;
}

// In a fixed order: the inputs of the corpus name their command by its place here.
inline const command_function fuzzed_commands[] = {
    [](uint8_t slot) -> int16_t {
        uint16_t word = 1;
        return zeroed_on_failure(tkcmdset_status(slot, &word), word);
    },
    identity_text<tkcmdset_fw_version>,
    identity_text<tkcmdset_serial_number>,
    identity_text<tkcmdset_hw_version>,
    [](uint8_t slot) -> int16_t {
        uint8_t data[200];
        uint8_t reply[200];
        std::memset(data, 0x3C, sizeof data);
        fill_sentinel(reply);
        const int16_t result = tkcmdset_echo(slot, data, reply);
        require(reply[0] == 0 || result == 0);
        if (result != 0)
            for (std::size_t i = 1; i < sizeof reply; ++i)
                require(reply[i] == sentinel);
        return result;
    },
    [](uint8_t slot) -> int16_t {
        uint32_t answer = 1;
        return zeroed_on_failure(tkcmdset_special(slot, 81, 0, &answer), answer);
    },
    [](uint8_t slot) -> int16_t {
        float volts = 1.0f;
        return zeroed_on_failure(tkcmdset_get_volts(slot, 1, &volts), volts);
    },
    [](uint8_t slot) -> int16_t {
        uint8_t state = 7;
        const int16_t result = tkcmdset_get_dig_in(slot, 2, &state);
        require(result == 0 ? state <= 1 : state == 0);
        return result;
    },
    [](uint8_t slot) -> int16_t {
        uint8_t value = sentinel;
        return kept_on_failure(tkcmdset_read_mem(slot, 0x1234, &value), value);
    },
    [](uint8_t slot) -> int16_t {
        uint8_t data[300];
        return tkcmdset_read_eemem_block(slot, 0, data, sizeof data);
    },
    [](uint8_t slot) -> int16_t {
        uint8_t data[150];
        std::memset(data, 0x5A, sizeof data);
        return tkcmdset_write_eemem_block(slot, 0x200, data, sizeof data);
    },
    [](uint8_t slot) -> int16_t {
        uint32_t width = 1;
        uint16_t delay = 1;
        float current = 1.0f;
        return zeroed_on_failure(tkcmdset_get_pulse(slot, 0, &width, &delay, &current), width,
                                 delay, current);
    },
    [](uint8_t slot) -> int16_t {
        uint32_t value32 = 1;
        uint16_t value16 = 1;
        return zeroed_on_failure(tkcmdset_get_repeat(slot, 0, &value32, &value16), value32,
                                 value16);
    },
    [](uint8_t slot) -> int16_t {
        uint8_t map_1 = 1;
        uint8_t map_2 = 1;
        return zeroed_on_failure(tkcmdset_get_trigger_map(slot, 0, &map_1, &map_2), map_1, map_2);
    },
    [](uint8_t slot) -> int16_t {
        uint8_t setting = sentinel;
        return kept_on_failure(tkcmdset_get_pulse_out(slot, 0, &setting), setting);
    },
    [](uint8_t slot) -> int16_t {
        uint32_t ip[3];
        fill_sentinel(ip);
        return kept_on_failure(tkcmdset_get_ip(slot, &ip[0], &ip[1], &ip[2]), ip);
    },
    [](uint8_t slot) -> int16_t {
        uint8_t mac[6];
        fill_sentinel(mac);
        return kept_on_failure(tkcmdset_get_mac(slot, mac), mac);
    },
    [](uint8_t slot) -> int16_t {
        LightheadData record;
        fill_sentinel(record);
        const int16_t result = tkcmdset_get_lighthead_data(slot, &record);
        require(all_sentinel(record.reserved));
        return kept_on_failure(result, record);
    },
    [](uint8_t slot) -> int16_t { return tkcmdset_set_pulse(slot, 0, 1000, 10, 1.5f); },
    [](uint8_t slot) -> int16_t { return tkcmdset_run_diags(slot, 2); },
    [](uint8_t slot) -> int16_t { return tkcmdset_set_dig_out(slot, 1, 1); },
};

inline constexpr std::size_t fuzzed_command_count =
    sizeof fuzzed_commands / sizeof fuzzed_commands[0];

} // namespace fuzz
