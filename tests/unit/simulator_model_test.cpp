// quorrel-sim's controller model, spoken to over raw TCP sockets and the control port: the
// factory EEPROM, state kept across runs, restarts between boot loader and application, the
// boot loader's programming functions, the Ethernet hand-over, self-test verdicts, the settings
// the setters keep, and the thermal answers.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/hid_backend.h"
#include "core/protocol.h"
#include "support/raw_tcp_client.h"
#include "support/simulator_process.h"
#include "support/spawned_program.h"
#include "support/temp_directory.h"

extern char **environ;

using namespace std::chrono_literals;
using vortlink::test::simulator_process;
using vortlink::test::temp_directory;
namespace protocol = vortlink::protocol;
namespace op = vortlink::protocol::opcode;
namespace device_error = vortlink::protocol::device_error;

namespace {

using bytes = std::vector<uint8_t>;
using steady = std::chrono::steady_clock;

constexpr auto reply_limit = 5s;
constexpr uint32_t transfer_buffer = 0x80000;
constexpr uint32_t chunk = 128;

// ---- Wire helpers ---------------------------------------------------------------------------

using vortlink::test::raw_tcp_client;

uint16_t table_length(uint8_t opcode, bool request) {
    uint16_t length = 0;
    EXPECT_EQ(protocol::lookup_command(opcode, request, length), 0);
    return length;
}

// Sends one request (data padded to the table's length) and returns the device error of the
// reply, 0 for a normal one whose data lands in `reply_data`. INT16_MIN: no whole reply.
int16_t command(raw_tcp_client &client, uint8_t opcode, bytes data = {}, bytes *reply_data = nullptr) {
    data.resize(table_length(opcode, true));
    bytes frame{0x00, opcode};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(protocol::crc8(frame.data(), static_cast<uint16_t>(frame.size())));
    if (!client.send(frame))
        return INT16_MIN;
    bytes reply = client.receive(2);
    if (reply.size() < 2)
        return INT16_MIN;
    const bool error = reply[1] == protocol::error_reply_marker;
    const std::size_t rest =
        error ? protocol::tcp_error_reply_size - 2 : table_length(opcode, false) + std::size_t{1};
    const bytes tail = client.receive(rest);
    if (tail.size() != rest)
        return INT16_MIN;
    reply.insert(reply.end(), tail.begin(), tail.end());
    EXPECT_EQ(reply.back(), protocol::crc8(reply.data(), static_cast<uint16_t>(reply.size() - 1)));
    if (error)
        return static_cast<int16_t>(reply[4] | (reply[5] << 8));
    EXPECT_EQ(reply[1], opcode);
    if (reply_data != nullptr)
        *reply_data = bytes(reply.begin() + 2, reply.end() - 1);
    return 0;
}

bytes be16(uint16_t value) {
    return {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

bytes be32(uint32_t value) {
    bytes out(4);
    protocol::put_u32_be(out.data(), value);
    return out;
}

bytes f32(float value) {
    return be32(std::bit_cast<uint32_t>(value));
}

bytes concat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

uint16_t get16(const bytes &data, std::size_t offset) {
    return static_cast<uint16_t>(data[offset] << 8 | data[offset + 1]);
}

uint32_t get32(const bytes &data, std::size_t offset) {
    uint32_t value = 0;
    protocol::get_u32_be(&data[offset], value);
    return value;
}

float getf(const bytes &data, std::size_t offset) {
    return std::bit_cast<float>(get32(data, offset));
}

// CRC-16/ARC, written from its definition here so that the test does not borrow the model's.
uint16_t crc16(const uint8_t *data, std::size_t count) {
    uint16_t crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

uint16_t crc16(const bytes &data) {
    return crc16(data.data(), data.size());
}

TEST(SimulatorModelHelpers, Crc16MatchesItsCheckValue) {
    const std::string check = "123456789";
    EXPECT_EQ(crc16(reinterpret_cast<const uint8_t *>(check.data()), check.size()), 0xBB3D);
}

bytes read_eeprom(raw_tcp_client &client, uint16_t address, uint16_t count) {
    bytes all;
    while (count > 0) {
        const uint16_t n = std::min<uint16_t>(count, 112);
        bytes part;
        EXPECT_EQ(command(client, op::read_eemem_block, concat({be32(address), be16(n)}), &part),
                  0);
        part.resize(n);
        all.insert(all.end(), part.begin(), part.end());
        address = static_cast<uint16_t>(address + n);
        count = static_cast<uint16_t>(count - n);
    }
    return all;
}

int16_t write_memory(raw_tcp_client &client, uint32_t address, const bytes &data) {
    for (std::size_t offset = 0; offset < data.size(); offset += 104) {
        const std::size_t n = std::min<std::size_t>(104, data.size() - offset);
        bytes field(data.begin() + offset, data.begin() + offset + n);
        field.resize(112);
        const uint32_t at = address + static_cast<uint32_t>(offset);
        if (int16_t error = command(client, op::write_mem_block,
                                    concat({be32(at), be16(static_cast<uint16_t>(n)), field})))
            return error;
    }
    return 0;
}

int16_t special(raw_tcp_client &client, uint16_t code, uint32_t param, uint32_t *result = nullptr) {
    bytes reply;
    const int16_t error = command(client, op::special, concat({be16(code), be32(param)}), &reply);
    if (error == 0 && result != nullptr)
        *result = get32(reply, 0);
    return error;
}

// One 128-byte chunk as the loader sends it: into the transfer buffer, then stored.
int16_t write_chunk(raw_tcp_client &client, const uint8_t *source, uint32_t target) {
    if (int16_t error = write_memory(client, transfer_buffer, bytes(source, source + chunk)))
        return error;
    return special(client, 2066, target);
}

bool has_block(const bytes &block, uint16_t id) {
    return get16(block, 2) == id && get16(block, 0) == crc16(block.data() + 2, block.size() - 2);
}

std::string text_at(const bytes &data, std::size_t offset, std::size_t size) {
    std::string text(data.begin() + offset, data.begin() + offset + size);
    return text.substr(0, text.find('\0'));
}

std::string hex(const bytes &data) {
    std::string text;
    char pair[3];
    for (uint8_t byte : data) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

std::string hex_number(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

bytes file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), {});
}

// ---- Factory EEPROM -------------------------------------------------------------------------

TEST(SimulatorModel, FactoryBlocksAreValidAndDescribeTheController) {
    simulator_process sim;
    raw_tcp_client client{sim.tcp_port()};
    ASSERT_TRUE(client.connected());

    const bytes mfg = read_eeprom(client, 0, 128);
    ASSERT_EQ(mfg.size(), 128u);
    EXPECT_TRUE(has_block(mfg, 2));
    EXPECT_EQ(mfg[4], 0x01);
    EXPECT_EQ(mfg[5], 0x00);
    EXPECT_EQ(text_at(mfg, 6, 16), "Q0000001");
    EXPECT_EQ(text_at(mfg, 22, 8).size(), 7u) << "a date code of day and year";
    EXPECT_EQ(text_at(mfg, 38, 16), "6400-000850");
    EXPECT_EQ(text_at(mfg, 54, 4), "B");
    EXPECT_EQ(bytes(mfg.begin() + 61, mfg.begin() + 67), bytes({0x02, 0x4C, 0x51, 0, 0, 1}));
    EXPECT_EQ(mfg[68], 192) << "a private default address";

    const bytes config = read_eeprom(client, 512, 256);
    EXPECT_TRUE(has_block(config, 4));
    EXPECT_EQ(config[5], 0x0A);
    EXPECT_GT(getf(config, 6), 0.0f) << "supply overhead";
    for (std::size_t record = 96; record < 256; record += 40) {
        EXPECT_EQ(config[record + 2], 1) << "pulsed mode";
        EXPECT_GT(getf(config, record + 8), 0.0f) << "current";
        EXPECT_GT(get32(config, record + 12), 0u) << "width";
    }

    const bytes lighthead = read_eeprom(client, 1024, 128);
    EXPECT_TRUE(has_block(lighthead, 5));
    EXPECT_EQ(bytes(lighthead.begin() + 2, lighthead.begin() + 8),
              bytes({0x00, 0x05, 0x01, 0x00, 0x0F, 0x07}));
    EXPECT_EQ(text_at(lighthead, 8, 16), "LH-4400-01");
    EXPECT_FALSE(text_at(lighthead, 24, 20).empty()) << "programmed-on text";
    const bytes group0(lighthead.begin() + 48, lighthead.begin() + 68);
    EXPECT_EQ(group0, concat({be16(25),
                              be16(12000),
                              {0x3E, 0xCC, 0xCC, 0xCD},
                              be16(2900),
                              {125, 0x46},
                              be16(8),
                              be16(1000),
                              be16(10000),
                              be16(500)}));
    EXPECT_EQ(bytes(lighthead.begin() + 68, lighthead.end()), bytes(60, 0))
        << "groups 1 to 3 unused";

    uint32_t serial = 0;
    ASSERT_EQ(special(client, 81, 0, &serial), 0);
    EXPECT_EQ(serial, 4400123u);
}

TEST(SimulatorModel, FactoryBlocksFollowTheBusIdentity) {
    simulator_process sim{{"--serial", "1=QX-77", "--hw-version", "6400-000999 Rev C2"}};
    raw_tcp_client client{sim.tcp_port()};
    const bytes mfg = read_eeprom(client, 0, 128);
    EXPECT_TRUE(has_block(mfg, 2));
    EXPECT_EQ(text_at(mfg, 6, 16), "QX-77");
    EXPECT_EQ(text_at(mfg, 38, 16), "6400-000999");
    EXPECT_EQ(text_at(mfg, 54, 4), "C2");
    EXPECT_EQ(bytes(mfg.begin() + 61, mfg.begin() + 67), bytes({0x02, 0x4C, 0x51, 0, 0, 77}));
    bytes mac;
    ASSERT_EQ(command(client, op::get_mac, {}, &mac), 0);
    EXPECT_EQ(mac, bytes(mfg.begin() + 61, mfg.begin() + 67)) << "the MAC in use starts as made";
}

TEST(SimulatorModel, ErasedAndLightheadlessControllers) {
    {
        simulator_process sim{{"--erased"}};
        raw_tcp_client client{sim.tcp_port()};
        for (uint16_t address : std::initializer_list<uint16_t>{0, 512, 1024, 0xFF00})
            EXPECT_EQ(read_eeprom(client, address, 256), bytes(256, 0xFF)) << address;
        EXPECT_EQ(command(client, op::calc_led_temp, concat({{0}, be32(100), f32(1.0f)})),
                  device_error::bad_parameter)
            << "no lighthead image to answer from";
    }
    simulator_process sim{{"--no-lighthead"}};
    raw_tcp_client client{sim.tcp_port()};
    uint32_t serial = 0xFFFFFFFF;
    ASSERT_EQ(special(client, 81, 0, &serial), 0);
    EXPECT_EQ(serial, 0u);
    EXPECT_EQ(read_eeprom(client, 1024, 128), bytes(128, 0xFF));
    EXPECT_TRUE(has_block(read_eeprom(client, 0, 128), 2)) << "the controller's own blocks stay";
    EXPECT_EQ(command(client, op::calc_max_width, concat({{0}, f32(1.0f)})),
              device_error::bad_parameter);
}

// ---- State files ----------------------------------------------------------------------------

// A controller image of `size` bytes at `base` whose header names the body from base + 0x100 to
// its end and carries both CRC-16s.
bytes controller_image(uint32_t base, uint32_t size, uint8_t seed) {
    bytes image(size);
    for (uint32_t i = 0; i < size; ++i)
        image[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    protocol::put_u32_be(&image[0x4A], base + 0x100);
    protocol::put_u32_be(&image[0x4E], base + size);
    protocol::put_u16_be(&image[0x52], crc16(image.data() + 0x100, size - 0x100));
    protocol::put_u16_be(&image[0], crc16(image.data() + 2, 134));
    return image;
}

// The loader's order: begin each block, data chunks, header chunk last. Returns the first
// error, or that of the header chunk.
int16_t program_image(raw_tcp_client &client, uint32_t base, const bytes &image) {
    if (int16_t error = special(client, 2065, base))
        return error;
    for (uint32_t offset = chunk; offset < image.size(); offset += chunk) {
        if ((base + offset) % 0x10000 == 0)
            if (int16_t error = special(client, 2065, base + offset))
                return error;
        if (int16_t error = write_chunk(client, &image[offset], base + offset))
            return error;
    }
    return write_chunk(client, image.data(), base);
}

TEST(SimulatorModel, StateSurvivesARestartOfTheProcess) {
    temp_directory state;
    const bytes pattern{0xDE, 0xAD, 0xBE, 0xEF, 0x01};
    const bytes image = controller_image(0x10000, 0x400, 5);
    std::string firmware_crc;
    {
        simulator_process sim{{"--state", state.path(), "--boot-loader"}};
        raw_tcp_client client{sim.tcp_port()};
        ASSERT_EQ(program_image(client, 0x10000, image), 0);
        bytes field = pattern;
        field.resize(112);
        ASSERT_EQ(
            command(client, op::write_eemem_block,
                    concat({be32(0x2000), be16(static_cast<uint16_t>(pattern.size())), field})),
            0);
        firmware_crc = sim.control("firmware-crc 1");
        // Stopped at once: the change must not wait for the writer's quiet period to pass.
        ASSERT_TRUE(sim.stop().has_value());
    }
    EXPECT_EQ(file_bytes(state.file("Q0000001.eeprom")).size(), 64u * 1024);
    EXPECT_EQ(file_bytes(state.file("Q0000001.firmware")).size(), 0x40000u + 256);
    for (const auto &entry : std::filesystem::directory_iterator(state.path()))
        EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos)
            << "left behind: " << entry.path();

    simulator_process sim{{"--state", state.path()}};
    raw_tcp_client client{sim.tcp_port()};
    EXPECT_EQ(read_eeprom(client, 0x2000, static_cast<uint16_t>(pattern.size())), pattern);
    EXPECT_TRUE(has_block(read_eeprom(client, 0, 128), 2)) << "the rest as the factory made it";
    EXPECT_EQ(sim.control("firmware-crc 1"), firmware_crc);
    EXPECT_EQ(sim.control("firmware 1 0x10000 1024"), "ok " + hex(image));
}

// Runs quorrel-sim until it is ready, stops it, and returns what it wrote on stderr.
std::string stderr_of_run(std::vector<std::string> args, const std::string &log_path) {
    args.insert(args.begin(), {QUORREL_SIM_PATH, "--tcp-port", "0"});
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0)
        return "pipe failed";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    if (spawned != 0) {
        ::close(output[0]);
        return "spawn failed";
    }
    std::string seen;
    const steady::time_point deadline = steady::now() + 10s;
    while (seen.find("ready\n") == std::string::npos && steady::now() < deadline) {
        pollfd readable{output[0], POLLIN, 0};
        const int ready = ::poll(&readable, 1, 1000);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        char part[256];
        const ssize_t got = ::read(output[0], part, sizeof part);
        if (got <= 0)
            break;
        seen.append(part, static_cast<std::size_t>(got));
    }
    ::close(output[0]);
    ::kill(pid, SIGTERM);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    EXPECT_NE(seen.find("ready\n"), std::string::npos) << "the simulator came up";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::ifstream log(log_path);
    return std::string(std::istreambuf_iterator<char>(log), {});
}

TEST(SimulatorModel, DamagedStateFilesStartTheControllerFresh) {
    temp_directory state;
    temp_directory logs;
    vortlink::test::write_file(state.file("Q0000001.eeprom"), "too short");
    std::filesystem::create_directory(state.file("Q0000001.firmware"));
    const std::string complaints = stderr_of_run({"--state", state.path()}, logs.file("stderr"));
    EXPECT_NE(complaints.find("Q0000001.eeprom is damaged"), std::string::npos) << complaints;
    EXPECT_NE(complaints.find("Q0000001.firmware is damaged"), std::string::npos) << complaints;

    EXPECT_EQ(file_bytes(state.file("Q0000001.eeprom")).size(), 64u * 1024)
        << "the fresh EEPROM replaced the damaged file";
    simulator_process sim{{"--state", state.path()}};
    raw_tcp_client client{sim.tcp_port()};
    EXPECT_TRUE(has_block(read_eeprom(client, 0, 128), 2)) << "factory blocks";
    EXPECT_EQ(sim.control("firmware-crc 1"), "ok none");
}

TEST(SimulatorModel, UnusableStateDirectoryIsRefusedAtTheStart) {
    temp_directory scratch;
    vortlink::test::write_file(scratch.file("plain"), "not a directory");
    EXPECT_EQ(vortlink::test::run_to_exit(QUORREL_SIM_PATH,
                                          {"--tcp-port", "0", "--state", scratch.file("plain")}),
              2);
}

// ---- Boot loader and application ------------------------------------------------------------

std::string firmware_text(raw_tcp_client &client) {
    bytes text;
    EXPECT_EQ(command(client, op::fw_version, {}, &text), 0);
    return text_at(text, 0, text.size());
}

TEST(SimulatorModel, RestartSwitchesFirmwareAndEndsTheTcpConnections) {
    simulator_process sim{{"--restart-delay", "200"}};
    {
        raw_tcp_client client{sim.tcp_port()};
        EXPECT_EQ(firmware_text(client), "QRL-APP 1.04");
        EXPECT_EQ(sim.control("restart 1 loader"), "ok");
        EXPECT_TRUE(client.closes_empty()) << "a restart ends the connection";
    }
    EXPECT_EQ(sim.control("running 1"), "ok loader");
    {
        raw_tcp_client client{sim.tcp_port()};
        ASSERT_TRUE(client.connected()) << "the server keeps listening";
        EXPECT_EQ(firmware_text(client).substr(0, 11), "6400-000731");
        EXPECT_EQ(sim.control("restart 1 application"), "ok");
        EXPECT_TRUE(client.closes_empty());
    }
    raw_tcp_client client{sim.tcp_port()};
    EXPECT_EQ(firmware_text(client), "QRL-APP 1.04");
    EXPECT_EQ(sim.control("restart 1 sideways"), "error usage: restart DEV loader|application");
    EXPECT_EQ(sim.control("restart 2 loader"), "error no device 2");
}

TEST(SimulatorModel, BootLoaderOptionStartsInTheLoader) {
    simulator_process sim{{"--boot-loader"}};
    raw_tcp_client client{sim.tcp_port()};
    EXPECT_EQ(firmware_text(client), "6400-000731 BL 2.01");
}

TEST(SimulatorModel, RestartTakesTheControllerOffTheUsbBusForTheDelay) {
    simulator_process sim{vortlink::test::with_hid,
                          {"--usb-devices", "2", "--restart-delay", "1200"}};
    const auto bus = vortlink::platform::make_simulated_hid_backend(sim.hid_socket());
    const std::vector<std::string> before = bus->list_devices();
    ASSERT_EQ(before.size(), 2u);
    const auto open = bus->open_device(before[1]);
    ASSERT_TRUE(open);

    const steady::time_point restarted = steady::now();
    ASSERT_EQ(sim.control("restart 2 loader"), "ok");
    EXPECT_EQ(bus->list_devices(), std::vector<std::string>{before[0]}) << "controller 2 is gone";
    uint8_t report[200];
    EXPECT_EQ(open->read_report(report, sizeof report, 2000),
              vortlink::platform::hid_io_result::not_started);

    // Nothing signals the return; the device list is asked again until it holds both.
    std::vector<std::string> after;
    while (steady::now() - restarted < 15s) {
        after = bus->list_devices();
        if (after.size() == 2)
            break;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(after, before);
    EXPECT_GE(steady::now() - restarted, 1000ms) << "not back before the restart delay";
    const auto reopened = bus->open_device(before[1]);
    ASSERT_TRUE(reopened);
    std::u16string version;
    ASSERT_TRUE(reopened->indexed_string(4, version, 100));
    EXPECT_EQ(std::string(version.begin(), version.end()), "6400-000731 BL 2.01");
    EXPECT_EQ(sim.control("running 1"), "ok application") << "controller 1 is untouched";
}

// ---- Special functions ----------------------------------------------------------------------

TEST(SimulatorModel, BootLoaderFunctionsNeedTheLoaderAndABegunBlock) {
    simulator_process sim;
    raw_tcp_client client{sim.tcp_port()};
    uint32_t address = 0;
    ASSERT_EQ(special(client, 2064, 0, &address), 0);
    EXPECT_EQ(address, transfer_buffer);
    uint32_t other = 0xFFFFFFFF;
    EXPECT_EQ(special(client, 1234, 99, &other), 0);
    EXPECT_EQ(other, 0u) << "codes the firmware does not know answer 0";
    EXPECT_EQ(special(client, 2065, 0x10000), device_error::wrong_firmware);
    EXPECT_EQ(special(client, 2066, 0x10000), device_error::wrong_firmware);
    EXPECT_EQ(special(client, 2068, 0x30400), device_error::wrong_firmware);

    ASSERT_EQ(sim.control("restart 1 loader"), "ok");
    raw_tcp_client loader{sim.tcp_port()};
    EXPECT_EQ(special(loader, 2066, 0x10000), device_error::block_not_begun);
    EXPECT_EQ(special(loader, 2065, 0x10080), device_error::bad_parameter) << "not a block base";
    EXPECT_EQ(special(loader, 2065, 0), device_error::bad_address) << "the loader's own block";
    EXPECT_EQ(special(loader, 2065, 0x40000), device_error::bad_address);
    ASSERT_EQ(special(loader, 2065, 0x20000), 0);
    EXPECT_EQ(special(loader, 2066, 0x20040), device_error::bad_address) << "not on a chunk";
    EXPECT_EQ(special(loader, 2066, 0x10000), device_error::block_not_begun);
    const bytes data(chunk, 0x5A);
    ASSERT_EQ(write_chunk(loader, data.data(), 0x2FF80), 0);
    EXPECT_EQ(sim.control("firmware 1 0x2ff80 128"), "ok " + hex(data));

    // A restart closes the programming run: the block must be begun again.
    ASSERT_EQ(sim.control("restart 1 loader"), "ok");
    raw_tcp_client again{sim.tcp_port()};
    EXPECT_EQ(special(again, 2066, 0x2FF80), device_error::block_not_begun);
}

TEST(SimulatorModel, ControllerImageHeaderIsCheckedWhenItArrives) {
    simulator_process sim{{"--boot-loader"}};
    raw_tcp_client client{sim.tcp_port()};
    const bytes image = controller_image(0x10000, 0x800, 9);
    ASSERT_EQ(program_image(client, 0x10000, image), 0);
    EXPECT_EQ(sim.control("firmware-crc 1"), "ok 0x10000 0x107ff " + hex_number(crc16(image)));
    EXPECT_EQ(sim.control("firmware 1 0x10000 2048"), "ok " + hex(image));

    bytes bad_header = image;
    bad_header[0] ^= 0x01;
    EXPECT_EQ(program_image(client, 0x10000, bad_header), device_error::image_rejected);
    EXPECT_EQ(sim.control("firmware 1 0x10000 128"), "ok " + hex(bytes(chunk, 0xFF)))
        << "a refused header is not stored";
    EXPECT_EQ(sim.control("firmware-crc 1").substr(0, 11), "ok 0x10080 ");

    bytes bad_body = image;
    bad_body[0x52] ^= 0x80; // body CRC wrong, header CRC made to match it
    protocol::put_u16_be(&bad_body[0], crc16(bad_body.data() + 2, 134));
    EXPECT_EQ(program_image(client, 0x10000, bad_body), device_error::image_rejected);

    bytes body_backwards = image;
    protocol::put_u32_be(&body_backwards[0x4E], 0x10080); // body end before its start
    protocol::put_u16_be(&body_backwards[0], crc16(body_backwards.data() + 2, 134));
    EXPECT_EQ(program_image(client, 0x10000, body_backwards), device_error::image_rejected);

    ASSERT_EQ(program_image(client, 0x10000, image), 0) << "the good image still goes in";
}

// An Ethernet-processor image linked at 0, its header at 0x500 with the signature.
bytes ethernet_image(uint32_t size) {
    bytes image(size);
    for (uint32_t i = 0; i < size; ++i)
        image[i] = static_cast<uint8_t>(i * 13 + 1);
    const char signature[] = "Kv Quorrel Ethernet";
    std::memcpy(&image[0x506], signature, sizeof signature);
    protocol::put_u16_be(&image[0x500], crc16(image.data() + 0x502, 134));
    return image;
}

int16_t stage(raw_tcp_client &client, uint32_t staging, const bytes &image) {
    if (int16_t error = special(client, 2065, staging))
        return error;
    for (uint32_t offset = 0; offset < image.size(); offset += chunk)
        if (int16_t error = write_chunk(client, &image[offset], staging + offset))
            return error;
    return 0;
}

TEST(SimulatorModel, EthernetHandOverMakesEchoBusyUntilTheProcessorIsBack) {
    simulator_process sim{{"--boot-loader", "--ethernet-restart", "1500"}};
    raw_tcp_client client{sim.tcp_port()};
    const bytes probe(50, 0x42);

    bytes unsigned_image = ethernet_image(0x800);
    unsigned_image[0x506] = 'k';
    ASSERT_EQ(stage(client, 0x30000, unsigned_image), 0);
    EXPECT_EQ(special(client, 2068, 0x30000 | 0x400), device_error::image_rejected);
    EXPECT_EQ(command(client, op::echo, probe), 0) << "a refused image restarts nothing";
    EXPECT_EQ(special(client, 2068, 0x20000 | 0x400), device_error::bad_parameter)
        << "nothing staged there";

    const bytes image = ethernet_image(0x800);
    ASSERT_EQ(stage(client, 0x30000, image), 0);
    ASSERT_EQ(special(client, 2068, 0x30000 | 0x400), 0);
    const steady::time_point handed_over = steady::now();
    EXPECT_EQ(command(client, op::echo, probe), device_error::busy);
    EXPECT_EQ(sim.control("ethernet 1"), "ok busy 1 0x400 " + hex_number(crc16(image)));
    EXPECT_EQ(command(client, op::status), 0) << "only echo waits for the Ethernet processor";

    // Echo is the only sign of the processor's return, so it is asked again until it answers.
    bytes echoed;
    int16_t result = device_error::busy;
    while (result == device_error::busy && steady::now() - handed_over < 15s) {
        std::this_thread::sleep_for(50ms);
        result = command(client, op::echo, probe, &echoed);
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(echoed, probe);
    EXPECT_GE(steady::now() - handed_over, 1200ms);
    EXPECT_EQ(sim.control("ethernet 1").substr(0, 14), "ok ready 1 0x4");
}

// ---- Diagnostics ----------------------------------------------------------------------------

TEST(SimulatorModel, DiagnosticsAnswerTheVerdictsSet) {
    simulator_process sim{{"--fail-diag", "2=5", "--fail-diag=0=-12"}};
    raw_tcp_client client{sim.tcp_port()};
    EXPECT_EQ(command(client, op::run_diags, {0}), device_error::supply_fault);
    EXPECT_EQ(command(client, op::run_diags, {1}), 0);
    EXPECT_EQ(command(client, op::run_diags, {2}), device_error::test_failed);
    EXPECT_EQ(command(client, op::run_diags, {6}), device_error::bad_parameter);

    EXPECT_EQ(sim.control("fail-diag 1 2 0"), "ok");
    EXPECT_EQ(sim.control("fail-diag 1 5 4"), "ok");
    EXPECT_EQ(command(client, op::run_diags, {2}), 0);
    EXPECT_EQ(command(client, op::run_diags, {5}), device_error::bad_address);
    for (const char *line : {"fail-diag 1 6 5", "fail-diag 1 1 77", "fail-diag 1 1",
                             "fail-diag 1 x 5", "fail-diag 9 1 5"})
        EXPECT_EQ(sim.control(line).substr(0, 6), "error ") << line;
    EXPECT_EQ(command(client, op::run_diags, {1}), 0) << "refused commands change nothing";
}

// ---- Settings the setters keep --------------------------------------------------------------

TEST(SimulatorModel, GettersAnswerWhatTheSettersKeptPerChannel) {
    simulator_process sim;
    raw_tcp_client client{sim.tcp_port()};
    bytes reply;

    ASSERT_EQ(command(client, op::set_an_out, concat({{2}, be16(0x0ABC)})), 0);
    ASSERT_EQ(command(client, op::get_an_out, {2}, &reply), 0);
    EXPECT_EQ(reply, be16(0x0ABC));
    ASSERT_EQ(command(client, op::get_an_out, {3}, &reply), 0);
    EXPECT_EQ(reply, be16(0));

    ASSERT_EQ(command(client, op::set_dig_out, {7, 1}), 0);
    ASSERT_EQ(command(client, op::get_dig_out, {7}, &reply), 0);
    EXPECT_EQ(reply, bytes({1}));

    ASSERT_EQ(command(client, op::set_trigger_map, {4, 0x12, 0x34}), 0);
    ASSERT_EQ(command(client, op::get_trigger_map, {4}, &reply), 0);
    EXPECT_EQ(reply, bytes({4, 0x12, 0x34})) << "index, map_1, map_2";

    ASSERT_EQ(command(client, op::set_hv_supply, concat({{1}, f32(48.5f)})), 0);
    ASSERT_EQ(command(client, op::get_hv_supply, {1}, &reply), 0);
    EXPECT_EQ(reply, f32(48.5f));
    ASSERT_EQ(command(client, op::get_hv_supply, {0}, &reply), 0);
    EXPECT_EQ(reply, f32(0.0f));

    // Over TCP 0x86 carries the index and three bytes of the value; 0x87 reads supply 0.
    ASSERT_EQ(command(client, op::set_lv_supply, concat({{0}, f32(24.0f)})), 0);
    ASSERT_EQ(command(client, op::get_lv_supply, {}, &reply), 0);
    EXPECT_EQ(reply, f32(24.0f));

    ASSERT_EQ(command(client, op::set_pulse_out, {3}), 0);
    ASSERT_EQ(command(client, op::get_pulse_out, {}, &reply), 0);
    EXPECT_EQ(reply, bytes({3}));

    const bytes pulse = concat({be32(100), be16(5), f32(2.0f)});
    ASSERT_EQ(command(client, op::set_pulse, concat({{1}, pulse})), 0);
    ASSERT_EQ(command(client, op::get_pulse, {1}, &reply), 0);
    EXPECT_EQ(reply, concat({{1}, pulse})) << "channel, width, delay, current";
    ASSERT_EQ(command(client, op::get_pulse, {2}, &reply), 0);
    EXPECT_EQ(reply, concat({{2}, bytes(10, 0)}));

    ASSERT_EQ(command(client, op::set_repeat, concat({{3}, be32(0x01020304), be16(0x0506)})), 0);
    ASSERT_EQ(command(client, op::get_repeat, {3}, &reply), 0);
    EXPECT_EQ(reply, concat({be32(0x01020304), be16(0x0506)})) << "no channel echo";

    const bytes ip = concat({be32(0x0A000005), be32(0xFFFF0000), be32(0x0A000001)});
    ASSERT_EQ(command(client, op::set_ip, ip), 0);
    ASSERT_EQ(command(client, op::get_ip, {}, &reply), 0);
    EXPECT_EQ(reply, ip);

    const bytes mac{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    ASSERT_EQ(command(client, op::set_mac, mac), 0);
    ASSERT_EQ(command(client, op::get_mac, {}, &reply), 0);
    EXPECT_EQ(reply, mac);

    ASSERT_EQ(command(client, op::set_gate_map, {1, 2, 3}), 0);
    ASSERT_EQ(command(client, op::trigger, {0}), 0);
}

TEST(SimulatorModel, InputsReadWhatTheBenchSets) {
    simulator_process sim;
    raw_tcp_client client{sim.tcp_port()};
    bytes reply;
    ASSERT_EQ(command(client, op::get_volts, {0}, &reply), 0);
    const float resting = getf(reply, 0);
    EXPECT_GT(resting, 0.0f);
    EXPECT_LT(resting, 10.0f);

    EXPECT_EQ(sim.control("analog-in 1 3 0x0800"), "ok");
    EXPECT_EQ(sim.control("digital-in 1 9 1"), "ok");
    EXPECT_EQ(sim.control("analog-in 1 3 0x10000"), "error bad number 0x10000");
    ASSERT_EQ(command(client, op::get_an_in, {3}, &reply), 0);
    EXPECT_EQ(reply, be16(0x0800));
    ASSERT_EQ(command(client, op::get_volts, {3}, &reply), 0);
    EXPECT_FLOAT_EQ(getf(reply, 0), 5.0f) << "half of the 10 V range";
    ASSERT_EQ(command(client, op::get_dig_in, {9}, &reply), 0);
    EXPECT_EQ(reply, bytes({1}));
    ASSERT_EQ(command(client, op::get_dig_in, {8}, &reply), 0);
    EXPECT_EQ(reply, bytes({0}));
}

// ---- Thermal answers ------------------------------------------------------------------------

class Thermal : public ::testing::Test {
  protected:
    float led_temp(uint32_t width, float current) {
        return getf(ask(op::calc_led_temp, concat({{0}, be32(width), f32(current)})), 0);
    }
    uint32_t max_width(float current) {
        return get32(ask(op::calc_max_width, concat({{0}, f32(current)})), 0);
    }
    float max_current(uint32_t width) {
        return getf(ask(op::calc_max_current, concat({{0}, be32(width)})), 0);
    }
    uint16_t max_freq(uint32_t width, float current) {
        return get16(ask(op::calc_max_freq, concat({{0}, be32(width), f32(current)})), 0);
    }
    float supply(float current) {
        return getf(ask(op::calc_supply_voltage, concat({{0}, be32(100), f32(current)})), 0);
    }

    bytes ask(uint8_t opcode, const bytes &data) {
        bytes reply(4, 0);
        EXPECT_EQ(command(client, opcode, data, &reply), 0);
        return reply;
    }

    simulator_process sim;
    raw_tcp_client client{sim.tcp_port()};
};

TEST_F(Thermal, LedTemperatureRisesWithWidthAndCurrentFromTheAmbient) {
    EXPECT_FLOAT_EQ(led_temp(1000, 0.0f), 25.0f);
    // Power (2.9 V + 0.4 V/A x 10 A) x 10 A through 2.5 C/W, reached as 1 - e^(-1 ms / 12 ms).
    EXPECT_NEAR(led_temp(1000, 10.0f), 25.0 + 69.0 * 2.5 * (1.0 - std::exp(-1.0 / 12.0)), 0.01);
    EXPECT_LT(led_temp(100, 10.0f), led_temp(1000, 10.0f));
    EXPECT_LT(led_temp(1000, 5.0f), led_temp(1000, 10.0f));
    EXPECT_LT(led_temp(1000000, 1.0f), 125.0f) << "1 A is within the continuous rating";
}

TEST_F(Thermal, LimitsMeetTheJunctionMaximum) {
    const uint32_t width = max_width(10.0f);
    EXPECT_GT(width, 1000u);
    EXPECT_LT(width, 1000000u);
    EXPECT_NEAR(led_temp(width, 10.0f), 125.0f, 0.5f) << "the longest pulse reaches Tj max";
    EXPECT_EQ(max_width(1.0f), 1000000u) << "never too hot: the timer's longest pulse";
    EXPECT_EQ(max_width(10.5f), 0u) << "above the pulse current rating";

    EXPECT_FLOAT_EQ(max_current(0), 10.0f) << "the pulse current rating";
    const float current = max_current(100000);
    EXPECT_GT(current, 1.0f);
    EXPECT_LT(current, 10.0f);
    EXPECT_NEAR(led_temp(100000, current), 125.0f, 0.5f);

    const uint16_t fast = max_freq(100, 10.0f);
    const uint16_t slow = max_freq(1000, 10.0f);
    EXPECT_GT(slow, 0u);
    EXPECT_LT(slow, 1000u) << "well below the 100 % duty of 1 kHz";
    EXPECT_GT(fast, slow);
    EXPECT_EQ(max_freq(20000, 10.0f), 0u) << "a single pulse already too hot";
    EXPECT_EQ(max_freq(0, 1.0f), 0xFFFF);

    EXPECT_NEAR(supply(1.0f), 6 * (2.9 + 0.4) + 5.0, 0.001) << "six LEDs and the overhead";
    EXPECT_GT(supply(10.0f), supply(1.0f));
}

TEST_F(Thermal, QueriesWithoutLedsOrWithBadCurrentsAreRefused) {
    for (uint8_t channel : std::initializer_list<uint8_t>{1, 3, 4, 255})
        EXPECT_EQ(command(client, op::calc_led_temp, concat({{channel}, be32(1), f32(1.0f)})),
                  device_error::bad_parameter)
            << int{channel};
    for (float current : {-1.0f, NAN, INFINITY})
        EXPECT_EQ(command(client, op::calc_max_freq, concat({{0}, be32(1), f32(current)})),
                  device_error::bad_parameter)
            << current;
    // A lighthead image torn by a half-done write no longer answers.
    bytes field(112, 0);
    field[0] = 0x99;
    ASSERT_EQ(command(client, op::write_eemem_block, concat({be32(1100), be16(1), field})), 0);
    EXPECT_EQ(command(client, op::calc_max_width, concat({{0}, f32(1.0f)})),
              device_error::bad_parameter);
}

} // namespace
