// A fuzzed controller behind a real TCP connection: the first byte picks an exported command,
// the rest are the replies the controller sends, one per request it receives. Besides the
// sanitizers' findings and the out-parameter promises of each command, a command that succeeds
// was answered, request by request, with a well-formed frame of the requested opcode (or an
// error reply carrying 0 to a command that returns no data).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "core/protocol.h"
#include "core/settings.h"
#include "fuzz_support.h"
#include "fuzzed_commands.h"

namespace {

using namespace fuzz;

constexpr uint8_t slot = 7;
int listener = -1;

bool crc_holds(const bytes &frame, std::size_t length) {
    return frame.size() >= length &&
           vortlink::protocol::crc8(frame.data(), static_cast<uint16_t>(length - 1)) ==
               frame[length - 1];
}

bool answers(const bytes &request, const bytes &reply) {
    uint16_t reply_data = 0;
    if (request.size() < 2 || reply.size() < 2 ||
        vortlink::protocol::lookup_command(request[1], false, reply_data) != 0)
        return false;
    if (reply[1] == vortlink::protocol::error_reply_marker)
        return crc_holds(reply, 7) && reply[4] == 0 && reply[5] == 0 && reply_data == 0;
    return reply[1] == request[1] && crc_holds(reply, reply_data + 3u);
}

// Whether the library has the whole frame that the reply begins, or stops reading it at once;
// otherwise it would wait for more that is never sent.
bool leaves_nothing_awaited(const bytes &reply) {
    uint16_t reply_data = 0;
    if (reply.size() < 2)
        return false;
    if (reply[1] == vortlink::protocol::error_reply_marker)
        return reply.size() >= 7;
    return vortlink::protocol::lookup_command(reply[1], false, reply_data) != 0 ||
           reply.size() >= reply_data + 3u;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Settings (the port, the failure count) go to a directory of the run's own.
    char home[] = "/dev/shm/tcp_reply_fuzz.XXXXXX";
    require(mkdtemp(home) != nullptr);
    setenv("XDG_CONFIG_HOME", home, 1);

    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    require(listener >= 0 &&
            bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
            listen(listener, 4) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
    require(vortlink::open_settings_key(vortlink::library_settings_key) == 0 &&
            vortlink::write_setting_dword("TCP Port", ntohs(address.sin_port)) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const command_function command = fuzzed_commands[data[0] % fuzzed_command_count];
    const std::vector<bytes> replies = split_replies(data + 1, size - 1);

    require(tkcmdset_connect(slot, 0, "127.0.0.1") == 0);
    const int controller = accept_peer(listener);
    require(controller >= 0);
    std::vector<std::pair<bytes, bytes>> exchanges;
    std::size_t requests = 0;
    int16_t result = 0;
    {
        scripted_peer peer(controller, [&](int fd, const bytes &request) {
            ++requests;
            if (exchanges.size() == replies.size())
                return false;
            exchanges.emplace_back(request, replies[exchanges.size()]);
            const bytes &reply = exchanges.back().second;
            send_bytes(fd, reply);
            return exchanges.size() < replies.size() && leaves_nothing_awaited(reply);
        });
        result = command(slot);
    }
    require(result != 0 || requests == exchanges.size());
    if (result == 0)
        for (const auto &[request, reply] : exchanges)
            require(answers(request, reply));
    return 0;
}
