// A fuzzed controller at the far end of the slot's stream: the first byte picks an exported
// command, the rest are the replies the controller sends, one per request it receives. The slot
// takes the TCP road unchanged but for its send, after which the controller writes its reply at
// once, so no peer thread or time-out is needed; when its replies are used up, or a reply leaves
// the library waiting for bytes, it ends its side of the stream. Besides the sanitizers' findings
// and the out-parameter promises of each command, a command that succeeds was answered, request
// by request, with a well-formed frame of the requested opcode (or an error reply carrying 0 to a
// command that returns no data).

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "core/protocol.h"
#include "core/settings.h"
#include "core/state.h"
#include "core/transport.h"
#include "fuzz_support.h"
#include "fuzzed_commands.h"

namespace {

using namespace fuzz;

constexpr uint8_t slot = 7;

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

scripted_controller *controller = nullptr;
int controller_end = -1;

// The resync's echo carries a fresh random pattern: a reply without it leaves the library
// reading until its budget is spent.
bool echoes(const uint8_t *frame, uint16_t length, const bytes &reply) {
    return frame[1] != vortlink::protocol::opcode::echo || length < 3 ||
           std::search(reply.begin(), reply.end(), frame + 2, frame + length - 1) != reply.end();
}

vortlink::status_t send_and_answer(uint8_t to, const uint8_t *frame, uint16_t length,
                                   uint16_t timeout_ms) {
    const vortlink::status_t result = vortlink::tcp_operations().send(to, frame, length, timeout_ms);
    const bytes *reply = controller->answer(frame, length);
    if (reply != nullptr)
        require(send(controller_end, reply->data(), reply->size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(reply->size()));
    if (reply == nullptr || controller->used_up() || !leaves_nothing_awaited(*reply) ||
        !echoes(frame, length, *reply))
        shutdown(controller_end, SHUT_WR);
    return result;
}

vortlink::transport_operations scripted_road() {
    vortlink::transport_operations road = vortlink::tcp_operations();
    road.send = send_and_answer;
    return road;
}
const vortlink::transport_operations road = scripted_road();

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Settings (the failure count) go to a directory of the run's own; the library opened its
    // key when it was loaded, so it is opened again there.
    char home[] = "/dev/shm/tcp_reply_fuzz.XXXXXX";
    require(mkdtemp(home) != nullptr);
    setenv("XDG_CONFIG_HOME", home, 1);
    require(vortlink::open_settings_key(vortlink::library_settings_key) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    scripted_controller scripted(fuzzed_commands[data[0] % fuzzed_command_count], data + 1,
                                 size - 1);
    int ends[2];
    require(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
    controller = &scripted;
    controller_end = ends[1];
    vortlink::slot_record &record = vortlink::slot_of(slot);
    record.socket.reset(ends[0]);
    record.low_water = 1;
    record.tcp_out_of_step = false;
    record.transport = vortlink::transport_kind::tcp;
    record.road = &road;
    scripted.run(slot, answers);
    record.socket.reset();
    close(controller_end);
    return 0;
}
