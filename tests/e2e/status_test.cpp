// tkcmdset_status through the shared library, as a user's program calls it.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/simulator_process.h"
#include "support/user_settings.h"
#include "vortlink.h"

namespace {

// The library reads the controller's port from the user's settings file.
void use_port(uint16_t port) {
    vortlink::test::write_user_settings(port, "ErrorCodesFile=.\\ecodes.ini\n");
}

} // namespace

TEST(Status, ReadsTheStatusWordOverTcp) {
    vortlink::test::simulator_process sim({"--status-word", "0xBEEF"});
    use_port(sim.tcp_port());
    ASSERT_EQ(tkcmdset_connect(0, 0, "127.0.0.1"), TKCMDSET_OK);
    uint16_t word = 0;
    ASSERT_EQ(tkcmdset_status(0, &word), TKCMDSET_OK);
    EXPECT_EQ(word, 0xBEEF);
    sim.inject("status-word 0x0042");
    ASSERT_EQ(tkcmdset_status(0, &word), TKCMDSET_OK);
    EXPECT_EQ(word, 0x0042);
}

TEST(Status, FailureClearsTheWordAndNamesTheCode) {
    vortlink::test::simulator_process sim({"--status-word", "7"});
    use_port(sim.tcp_port());
    ASSERT_EQ(tkcmdset_connect(1, 0, "localhost"), TKCMDSET_OK);
    sim.inject("error 4");
    uint16_t word = 0x5555;
    EXPECT_EQ(tkcmdset_status(1, &word), 4);
    EXPECT_EQ(word, 0);
    char name[64];
    tkcmdset_get_error_name(4, name, sizeof name);
    EXPECT_STREQ(name, "Address Out of Range");
}

TEST(Status, ControllerThatStoppedServingIsAnError) {
    std::optional<vortlink::test::simulator_process> sim(std::in_place);
    use_port(sim->tcp_port());
    ASSERT_EQ(tkcmdset_connect(2, 0, "127.0.0.1"), TKCMDSET_OK);
    sim.reset();
    uint16_t word = 0;
    const int16_t result = tkcmdset_status(2, &word);
    EXPECT_TRUE(result == TKCMDSET_SOCKET_FAILURE || result == TKCMDSET_REPLY_TIMEOUT) << result;
    EXPECT_EQ(tkcmdset_connect(2, 0, "127.0.0.1"), TKCMDSET_SOCKET_FAILURE);
}
