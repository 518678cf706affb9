// A fuzzed controller on the simulated USB bus, reached through the library's simulated HID
// backend over a real unix socket: the first byte picks an exported command, the rest are what
// the bus sends back, one reply per message the library sends (responses and input reports in
// the bus's own framing). Besides the sanitizers' findings and the out-parameter promises of
// each command, a command that succeeds had every report it wrote answered by an input report
// with the expected report ID and the requested opcode (or an error reply carrying 0 to a
// command that returns no data).

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/platform/hid_backend.h"
#include "core/protocol.h"
#include "core/resync.h"
#include "core/state.h"
#include "core/usb_transport.h"
#include "fuzz_support.h"
#include "fuzzed_commands.h"

namespace {

using namespace fuzz;
using namespace vortlink;

constexpr uint8_t slot = 9;
constexpr uint8_t request_id = 1, long_request_id = 2, reply_id = 3, long_reply_id = 4;
constexpr uint16_t report_length = 65;

// The bus's message types (simulator/hid_wire.h).
constexpr uint8_t open_device = 0x02, get_descriptor = 0x03, write_report = 0x07;
constexpr uint8_t response_flag = 0x80, input_report = 0x90;

int listener = -1;
std::unique_ptr<platform::hid_backend> backend;

// The first message of a type in what the bus sent, its payload.
std::optional<bytes> first_message(const bytes &stream, uint8_t type) {
    std::size_t at = 0;
    while (stream.size() - at >= 3) {
        const std::size_t length = stream[at] << 8 | stream[at + 1];
        if (length == 0 || length > stream.size() - at - 2)
            return std::nullopt;
        if (stream[at + 2] == type)
            return bytes(stream.begin() + at + 3, stream.begin() + at + 2 + length);
        at += 2 + length;
    }
    return std::nullopt;
}

// Whether the reply holds the response the request waits for (and for a written report an input
// report), or breaks the connection's framing first; otherwise the library would wait for more
// that is never sent.
bool leaves_nothing_awaited(const bytes &request, const bytes &reply) {
    std::size_t at = 0;
    while (at + 2 <= reply.size()) {
        const std::size_t length = reply[at] << 8 | reply[at + 1];
        if (length == 0 || length > 4096)
            return true;
        at += 2 + length;
    }
    return request.size() >= 3 &&
           first_message(reply, static_cast<uint8_t>(request[2] | response_flag)) &&
           (request[2] != write_report || first_message(reply, input_report));
}

bool answers(const bytes &request, const bytes &reply) {
    // Only written reports carry a command; string requests are answered by the bus.
    if (request.size() < 5 || request[2] != write_report)
        return true;
    const uint8_t opcode = request[4];
    const std::optional<bytes> report = first_message(reply, input_report);
    uint16_t reply_data = 0;
    if (!report || report->size() < 2 || protocol::lookup_command(opcode, false, reply_data) != 0)
        return false;
    if ((*report)[1] == protocol::error_reply_marker)
        return report->size() >= 4 && (*report)[2] == 0 && (*report)[3] == 0 && reply_data == 0;
    const bool long_reply = opcode == 0x00 || opcode == 0x53 || opcode == 0x55;
    return (*report)[0] == (long_reply ? long_reply_id : reply_id) && (*report)[1] == opcode;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char directory[] = "/dev/shm/usb_reply_fuzz.XXXXXX";
    require(mkdtemp(directory) != nullptr);
    setenv("XDG_CONFIG_HOME", directory, 1);
    const std::string path = std::string(directory) + "/bus";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    require(listener >= 0 &&
            bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
            listen(listener, 4) == 0);
    backend = platform::make_simulated_hid_backend(path);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const command_function command = fuzzed_commands[data[0] % fuzzed_command_count];
    const std::vector<bytes> replies = split_replies(data + 1, size - 1);

    std::unique_ptr<platform::hid_device> device;
    std::thread opener([&] { device = backend->open_device("fuzz"); });
    const int bus = accept_peer(listener);
    require(bus >= 0);
    std::vector<std::pair<bytes, bytes>> exchanges;
    std::size_t requests = 0;
    int16_t result = 0;
    {
        scripted_peer peer(bus, [&](int fd, const bytes &request) {
            // Opening the device is not what is fuzzed: it is answered as the simulator does,
            // with no report description (the slot's reports are set below).
            if (request.size() >= 3 && (request[2] == open_device || request[2] == get_descriptor))
                return send_bytes(fd, {0, 2, static_cast<uint8_t>(request[2] | response_flag),
                                       static_cast<uint8_t>(request[2] == open_device ? 0 : 1)});
            ++requests;
            if (exchanges.size() == replies.size())
                return false;
            exchanges.emplace_back(request, replies[exchanges.size()]);
            const bytes &reply = exchanges.back().second;
            send_bytes(fd, reply);
            return exchanges.size() < replies.size() && leaves_nothing_awaited(request, reply);
        });
        opener.join();
        require(device != nullptr);
        slot_record &record = slot_of(slot);
        record.hid_device = std::move(device);
        record.input_report_length = report_length;
        record.output_report_length = report_length;
        record.feature_report_length = 3;
        record.reports = {
            {{request_id, 64}, {long_request_id, 64}, {reply_id, 64}, {long_reply_id, 64}, {5, 2}}};
        record.transport = transport_kind::usb;
        mark_slot_out_of_step(transport_kind::usb, slot, false);
        result = command(slot);
        close_hid_slot(slot);
    }
    require(result != 0 || requests == exchanges.size());
    if (result == 0)
        for (const auto &[request, reply] : exchanges)
            require(answers(request, reply));
    return 0;
}
