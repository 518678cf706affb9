#include "control_server.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "control.h"

namespace vortlink::sim {

control_server::control_server(device_list &devices, client_registry &clients,
                               const stop_signal &stop)
    : devices_(devices), clients_(clients), stop_(stop),
      streams_([this](connection &client) { serve(client); }) {}

void control_server::serve(connection &client) {
    const int fd = client.fd.get();
    const auto send_text = [&](std::string_view text) {
        return send_all(fd, {reinterpret_cast<const uint8_t *>(text.data()), text.size()}, stop_,
                        -1) == io_result::ok;
    };
    // Set while the rest of an over-long line is thrown away.
    bool skipping = false;
    read_connection(fd, stop_, 4096, {}, [&](std::vector<uint8_t> &pending) {
        std::size_t start = 0;
        for (;;) {
            const auto end = std::find(pending.begin() + static_cast<std::ptrdiff_t>(start),
                                       pending.end(), uint8_t{'\n'});
            if (end == pending.end())
                break;
            const auto line_end = static_cast<std::size_t>(end - pending.begin());
            std::string_view line(reinterpret_cast<const char *>(pending.data()) + start,
                                  line_end - start);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            const bool skipped = std::exchange(skipping, false);
            start = line_end + 1;
            if (!skipped && !send_text(run_control_command(line, devices_, clients_) + '\n'))
                return false;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(start));
        if (pending.size() > control_line_limit + 1) {
            pending.clear();
            if (!std::exchange(skipping, true) && !send_text("error line too long\n"))
                return false;
        }
        return true;
    });
}

} // namespace vortlink::sim
