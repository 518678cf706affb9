// The programming sequence against a recording stand-in for the library: the order and
// arguments of every call, the progress it reports, where a failure stops it, and the echo poll
// after an Ethernet-processor hand-over on a simulated clock.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/crc16.h"
#include "firmware/programming.h"
#include "support/temp_directory.h"

using namespace vortlink::loader;

namespace {

constexpr uint32_t transfer_buffer = 0x80000;

// One library call: "begin 10000", "write 80000", "commit 10080", "forward 34800", "echo".
struct call {
    std::string what;
    uint32_t argument;
    std::vector<uint8_t> data;
};

class recording_link : public controller_link {
  public:
    status_t special(uint16_t code, uint32_t param, uint32_t *result) override {
        const char *what = code == special::begin_block     ? "begin"
                           : code == special::commit_chunk  ? "commit"
                           : code == special::forward_image ? "forward"
                                                            : "special";
        const status_t status = record(what, param);
        if (result != nullptr && status == status::ok)
            *result = transfer_buffer;
        return status;
    }
    status_t write_mem_block(uint32_t address, const uint8_t *data, uint16_t length) override {
        const status_t status = record("write", address);
        calls.back().data.assign(data, data + length);
        return status;
    }
    status_t echo(const uint8_t *probe, uint8_t *reply) override {
        EXPECT_EQ(std::memcmp(probe, "TEST\0\0", 6), 0);
        EXPECT_EQ(probe[echo_size - 1], 0);
        reply[echo_size - 1] = 0;
        return record("echo", 0);
    }

    // Makes call number index (0-based, counting every call) fail with status.
    void fail_call(std::size_t index, status_t status) { failures.push_back({index, status}); }
    // Makes every echo fail with status until `count` echoes have failed.
    void fail_echoes(int count, status_t status) {
        echo_failures = count;
        echo_status = status;
    }

    std::vector<call> calls;
    std::vector<std::pair<std::size_t, status_t>> failures;
    int echo_failures = 0;
    status_t echo_status = 0;

  private:
    status_t record(const char *what, uint32_t argument) {
        calls.push_back({what, argument, {}});
        if (calls.back().what == "echo" && echo_failures > 0) {
            --echo_failures;
            return echo_status;
        }
        for (const auto &[index, status] : failures)
            if (index == calls.size() - 1)
                return status;
        return status::ok;
    }
};

class FirmwareSequence : public ::testing::Test {
  protected:
    FirmwareSequence() : bytes(image_area_size, 0xFF), image(bytes.data(), image_area_size) {
        hooks.progress = [this](const programming_progress &p) {
            progress.push_back({p.step, p.percent, p.text});
        };
        hooks.wait = [this](uint32_t milliseconds) {
            waits.push_back(milliseconds);
            now += milliseconds;
            return wait_status;
        };
        hooks.tick = [this] { return now; };
    }

    // A controller image from lowest to highest with a body over the whole image after its
    // header.
    void make_controller_image(uint32_t lowest, uint32_t highest) {
        for (uint32_t a = lowest; a <= highest; ++a)
            bytes[a] = static_cast<uint8_t>(a ^ (a >> 9));
        const uint32_t body_start = lowest + 0x100;
        const uint32_t body_end = highest + 1;
        for (int i = 0; i < 4; ++i) {
            bytes[lowest + 0x4A + i] = static_cast<uint8_t>(body_start >> (24 - 8 * i));
            bytes[lowest + 0x4E + i] = static_cast<uint8_t>(body_end >> (24 - 8 * i));
        }
    }

    void make_ethernet_image(uint32_t highest) {
        for (uint32_t a = 0; a <= highest; ++a)
            bytes[a] = static_cast<uint8_t>(a * 3);
        std::memcpy(bytes.data() + ethernet_header::signature_address, ethernet_header::signature,
                    sizeof ethernet_header::signature);
    }

    status_t program(uint32_t lowest, uint32_t highest) {
        firmware_programmer programmer(link, transfer_buffer, hooks);
        return programmer.program_image(image, lowest, highest);
    }

    // The calls as "what argument" texts, with every chunk's write folded into its commit.
    std::vector<std::string> summary() const {
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < link.calls.size(); ++i) {
            const call &c = link.calls[i];
            if (c.what == "write") {
                EXPECT_EQ(c.argument, transfer_buffer);
                EXPECT_EQ(c.data.size(), chunk_size);
                continue;
            }
            char line[40];
            std::snprintf(line, sizeof line, "%s %x", c.what.c_str(), c.argument);
            lines.push_back(line);
        }
        return lines;
    }

    struct seen_progress {
        programming_step step;
        uint32_t percent;
        std::string text;
    };

    std::vector<uint8_t> bytes;
    image_span image;
    recording_link link;
    programming_hooks hooks;
    std::vector<seen_progress> progress;
    std::vector<uint32_t> waits;
    uint32_t now = 0xFFFFF000; // the clock wraps during the longer runs
    status_t wait_status = status::ok;
};

std::vector<std::string> chunks(const char *what, uint32_t from, uint32_t to, uint32_t offset = 0) {
    std::vector<std::string> lines;
    for (uint32_t a = from; a <= to; a += chunk_size) {
        char line[40];
        std::snprintf(line, sizeof line, "%s %x", what, a + offset);
        lines.push_back(line);
    }
    return lines;
}

template <typename... Parts> std::vector<std::string> concat(const Parts &...parts) {
    std::vector<std::string> all;
    (all.insert(all.end(), parts.begin(), parts.end()), ...);
    return all;
}

} // namespace

TEST_F(FirmwareSequence, ControllerImageBodyFirstHeaderLast) {
    make_controller_image(0x10000, 0x2FFFF);
    ASSERT_EQ(program(0x10000, 0x2FFFF), status::ok);
    EXPECT_EQ(summary(),
              concat(std::vector<std::string>{"begin 10000"}, chunks("commit", 0x10080, 0x1FF80),
                     std::vector<std::string>{"begin 20000"}, chunks("commit", 0x20000, 0x2FF80),
                     std::vector<std::string>{"commit 10000"}));

    // Each chunk carries the image's bytes; the last one carries the sealed header.
    const call &first = link.calls[1];
    EXPECT_TRUE(std::equal(first.data.begin(), first.data.end(), bytes.begin() + 0x10080));
    const call &header = link.calls[link.calls.size() - 2];
    ASSERT_EQ(header.what, "write");
    EXPECT_EQ(get_u16_be(header.data.data() + 0x52),
              crc16(std::span<const uint8_t>(bytes.data() + 0x10100, 0x30000 - 0x10100)));
    EXPECT_EQ(get_u16_be(header.data.data()),
              crc16(std::span<const uint8_t>(bytes.data() + 0x10002, 134)));
    EXPECT_TRUE(std::equal(header.data.begin(), header.data.end(), bytes.begin() + 0x10000));
    // Every one of the 1023 body chunks and the header chunk lets the caller repaint.
    EXPECT_EQ(waits, std::vector<uint32_t>(1024, 0));
}

TEST_F(FirmwareSequence, ProgressRunsFromZeroTo99ThenTheHeader) {
    make_controller_image(0x10000, 0x1FFFF);
    ASSERT_EQ(program(0x10000, 0x1FFFF), status::ok);
    ASSERT_EQ(progress.size(), (0x10000 - 128) / 128 + 1);
    EXPECT_EQ(progress.front().percent, 0u);
    EXPECT_EQ(progress.front().text, "Programming 0% complete");
    const seen_progress &last_chunk = progress[progress.size() - 2];
    EXPECT_EQ(last_chunk.percent, 99u);
    EXPECT_EQ(last_chunk.text, "Programming 99% complete");
    EXPECT_EQ(progress.back().step, programming_step::header);
    EXPECT_EQ(progress.back().text, "Programming 100% complete, updating header");
}

TEST_F(FirmwareSequence, SmallEthernetImageIsStagedHighAndHandedOver) {
    make_ethernet_image(0x8FFF);
    link.fail_echoes(3, 9);
    ASSERT_EQ(program(0, 0x8FFF), status::ok);
    EXPECT_EQ(summary(), concat(std::vector<std::string>{"begin 30000", "begin 30000"},
                                chunks("commit", 0, 0x8F80, 0x30000),
                                std::vector<std::string>{"forward 34800", "echo 0", "echo 0",
                                                         "echo 0", "echo 0"}));
    EXPECT_EQ(get_u16_be(bytes.data() + 0x500),
              crc16(std::span<const uint8_t>(bytes.data() + 0x502, 134)));
    const call &signed_chunk = link.calls[2 + 2 * (0x500 / chunk_size)];
    ASSERT_EQ(signed_chunk.what, "write");
    EXPECT_TRUE(
        std::equal(signed_chunk.data.begin(), signed_chunk.data.end(), bytes.begin() + 0x500))
        << "the chunk carries the sealed header";
    EXPECT_EQ(progress.back().text, "Sending code to coldfire, please wait");
    // Three pauses between four echoes, none of them a spin.
    EXPECT_EQ(std::vector<uint32_t>(waits.end() - 3, waits.end()),
              std::vector<uint32_t>(3, echo_retry_pause_ms));
}

TEST_F(FirmwareSequence, LargeEthernetImageIsStagedLow) {
    make_ethernet_image(0x10000);
    // Two begins, 0x201 chunks of two calls, the begin at 0x10000, then the hand-over, whose
    // lost reply tells nothing: the echo poll decides.
    const std::size_t forward_call = 2 + 2 * 0x201 + 1;
    link.fail_call(forward_call, -10803);
    ASSERT_EQ(program(0, 0x10000), status::ok);
    const std::vector<std::string> lines = summary();
    EXPECT_EQ(lines[0], "begin 10000");
    EXPECT_EQ(lines[1], "begin 10000");
    EXPECT_EQ(lines[2 + 0x200], "begin 20000");
    EXPECT_EQ(link.calls[forward_call].what, "forward");
    // 0x10001 bytes: the word count is rounded up, so the last byte goes with its fill byte.
    EXPECT_EQ(link.calls[forward_call].argument, 0x10000u | 0x8001u);
}

TEST_F(FirmwareSequence, RefusedHandOverEndsTheRunAndALostReplyIsPolled) {
    make_ethernet_image(0x1000);
    struct row {
        status_t forward;   // the hand-over's status
        status_t result;    // the run's
        std::size_t echoes; // echoes sent after it
    };
    // 33 chunks of two calls after two begins, then the hand-over.
    const std::size_t forward_call = 2 + 2 * 33;
    for (const row r : {row{8, 8, 0}, row{9, 9, 0}, row{-12, -12, 0}, row{-10803, status::ok, 1},
                        row{-10801, status::ok, 1}, row{-10204, status::ok, 1}}) {
        link.calls.clear();
        link.failures.clear();
        link.fail_call(forward_call, r.forward);
        EXPECT_EQ(program(0, 0x1000), r.result) << r.forward;
        ASSERT_EQ(link.calls.at(forward_call).what, "forward") << r.forward;
        EXPECT_EQ(link.calls.size() - forward_call - 1, r.echoes) << r.forward;
    }
}

TEST_F(FirmwareSequence, EchoPollGivesUpAfter20Seconds) {
    make_ethernet_image(0x1000);
    link.fail_echoes(1000000, 9);
    const uint32_t started = now;
    EXPECT_EQ(program(0, 0x1000), 9) << "the last echo's status";
    EXPECT_EQ(now - started, echo_poll_limit_ms);
    EXPECT_LE(link.echo_failures, 1000000 - 200);
    EXPECT_GE(link.echo_failures, 1000000 - 202);
}

TEST_F(FirmwareSequence, FirstFailureEndsTheRun) {
    make_controller_image(0x10000, 0x2FFFF);
    struct failure {
        std::size_t call;
        status_t status;
        std::size_t calls_made;
    };
    // 0: begin; 1, 2: first chunk's write and commit; 1023: the second begin.
    for (const failure f :
         {failure{0, 3, 1}, failure{1, -10803, 2}, failure{2, 7, 3}, failure{1023, 4, 1024}}) {
        link.calls.clear();
        link.failures.clear();
        link.fail_call(f.call, f.status);
        EXPECT_EQ(program(0x10000, 0x2FFFF), f.status) << f.call;
        EXPECT_EQ(link.calls.size(), f.calls_made) << f.call;
    }
}

TEST_F(FirmwareSequence, QuitRequestEndsTheRun) {
    make_controller_image(0x10000, 0x1FFFF);
    wait_status = status::quit_requested;
    EXPECT_EQ(program(0x10000, 0x1FFFF), status::quit_requested);
    EXPECT_EQ(link.calls.size(), 3u);
}

TEST_F(FirmwareSequence, BadHeaderLeavesTheBodyWithoutItsHeader) {
    make_controller_image(0x10000, 0x1FFFF);
    bytes[0x1004A] = 0x7F; // body start far above the image area
    EXPECT_EQ(program(0x10000, 0x1FFFF), status::image_bad_body_start);
    EXPECT_EQ(link.calls.back().argument, 0x1FF80u) << "the last body chunk, no header";
}

TEST_F(FirmwareSequence, FileFaultsSendNothing) {
    vortlink::test::temp_directory dir;
    SRecordFile file;
    firmware_programmer programmer(link, transfer_buffer, hooks);
    uint32_t lowest = 1, highest = 1;
    struct fault {
        std::string text;
        status_t expected;
    };
    for (const fault &f :
         {fault{"S1030000FC\n", status::srec_no_header},
          fault{"S00600004844521B\nS1040000015A\n", status::srec_bad_checksum},
          fault{"S00600004844521B\nS2050180000178\n", status::image_not_recognised}}) {
        const std::string path = dir.file("image.mot");
        vortlink::test::write_file(path, f.text);
        EXPECT_EQ(programmer.program_file(file, path.c_str(), image, lowest, highest), f.expected);
        EXPECT_FALSE(file.is_open());
    }
    EXPECT_EQ(programmer.program_file(file, "", image, lowest, highest), status::srec_not_open);
    EXPECT_EQ(lowest, 0u);
    EXPECT_TRUE(link.calls.empty());
}

TEST(TransferBuffer, ComesFromSpecial2064) {
    recording_link link;
    uint32_t address = 1;
    ASSERT_EQ(read_transfer_buffer(link, address), status::ok);
    EXPECT_EQ(address, transfer_buffer);
    EXPECT_EQ(link.calls.at(0).what, "special");
    link.fail_call(1, -10803);
    EXPECT_EQ(read_transfer_buffer(link, address), -10803);
    EXPECT_EQ(address, 0u);
}
