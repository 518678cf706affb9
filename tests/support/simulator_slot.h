#pragma once
// Fixture for command tests: a quorrel-sim process with one library slot connected to it over
// TCP, and the request frames it logged since set-up.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/protocol.h"
#include "core/settings.h"
#include "support/simulator_process.h"
#include "vortlink.h"

namespace vortlink::test {

class SimulatorSlot : public ::testing::Test {
  protected:
    static constexpr uint8_t slot = 7;

    explicit SimulatorSlot(std::vector<std::string> simulator_args = {})
        : sim(std::move(simulator_args)) {}

    void SetUp() override {
        ASSERT_EQ(open_settings_key(library_settings_key), TKCMDSET_OK);
        ASSERT_EQ(write_setting_dword("TCP Port", sim.tcp_port()), TKCMDSET_OK);
        ASSERT_EQ(tkcmdset_connect(slot, 0, "127.0.0.1"), TKCMDSET_OK);
        sim.clear_frames();
    }

    // A TCP request frame: the bytes given, then their CRC-8.
    static std::vector<uint8_t> framed(std::vector<uint8_t> bytes) {
        bytes.push_back(protocol::crc8(bytes.data(), static_cast<uint16_t>(bytes.size())));
        return bytes;
    }

    simulator_process sim;
};

} // namespace vortlink::test
