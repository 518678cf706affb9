#pragma once
// Fixture for command tests over USB: a quorrel-sim process on its simulated HID bus, with one
// library slot opened on its first controller, and the output reports it logged since set-up.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/simulator_process.h"
#include "vortlink.h"

namespace vortlink::test {

class UsbSimulatorSlot : public ::testing::Test {
  protected:
    // Not slot 0: opening by serial number must find the controller whatever the slot.
    static constexpr uint8_t slot = 5;
    static constexpr const char *product = "Kv Quorrel Controller";
    static constexpr uint8_t request_report = 1;      // usage 166
    static constexpr uint8_t long_request_report = 2; // usage 167

    explicit UsbSimulatorSlot(std::vector<std::string> simulator_args = {},
                              std::string serial = "Q0000001")
        : sim(with_hid, std::move(simulator_args)), serial_(std::move(serial)) {}

    void SetUp() override {
        setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1);
        ASSERT_EQ(tkcmdset_init_ex(slot, product, serial_.c_str()), TKCMDSET_OK);
        sim.clear_frames();
    }
    void TearDown() override {
        tkcmdset_shutdown(slot);
        unsetenv("VORTLINK_HID_SIM");
    }

    // The one output report the last command wrote, cleared for the next; empty (and a
    // failure) when there was not exactly one.
    std::vector<uint8_t> sole_request() {
        auto frames = sim.usb_frames();
        sim.clear_frames();
        EXPECT_EQ(frames.size(), 1u);
        return frames.size() == 1 ? frames[0] : std::vector<uint8_t>{};
    }

    // The first bytes of the one output report the last command wrote: report ID, opcode and
    // the packed data. The rest of the report carries no meaning.
    std::vector<uint8_t> sole_request_head(std::size_t length) {
        std::vector<uint8_t> report = sole_request();
        if (report.size() < length)
            return report;
        report.resize(length);
        return report;
    }

    simulator_process sim;

  private:
    std::string serial_;
};

} // namespace vortlink::test
