#include "connection_set.h"

#include <sys/socket.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace vortlink::sim {

connection_set::connection_set(serve_function serve) : serve_(std::move(serve)) {}

connection_set::~connection_set() {
    join_all();
}

int connection_set::add_waiting(int listener, int (*accept)(int, unique_fd &)) {
    for (;;) {
        unique_fd client;
        const int error = accept(listener, client);
        if (error == EAGAIN)
            return 0;
        if (error != 0)
            return error;
        (void)add(std::move(client));
    }
}

int connection_set::add(unique_fd socket) {
    join_finished();
    auto client = std::make_shared<connection>(std::move(socket));
    std::lock_guard lock(mutex_);
    try {
        client->thread = std::thread([this, client] { run(client); });
    } catch (const std::system_error &failure) {
        return failure.code().value() != 0 ? failure.code().value() : EAGAIN;
    }
    connections_.push_back(std::move(client));
    return 0;
}

void connection_set::run(const std::shared_ptr<connection> &client) {
    serve_(*client);
    // Leave the count before the socket closes: a client that sees its connection end can rely
    // on the count no longer including it.
    {
        std::lock_guard lock(mutex_);
        client->open = false;
    }
    {
        std::lock_guard lock(client->write_mutex);
        client->fd.reset();
    }
    std::lock_guard lock(mutex_);
    client->finished = true;
}

std::size_t connection_set::open_count() const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto &client : connections_)
        count += client->open ? 1 : 0;
    return count;
}

std::size_t connection_set::write_to_all(std::span<const uint8_t> bytes, const stop_signal &stop,
                                         int timeout_ms) {
    std::vector<std::shared_ptr<connection>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto &client : connections_)
            if (client->open)
                targets.push_back(client);
    }
    std::size_t written = 0;
    for (const auto &client : targets) {
        std::lock_guard lock(client->write_mutex);
        if (client->fd.valid() &&
            send_all(client->fd.get(), bytes, stop, timeout_ms) == io_result::ok)
            ++written;
    }
    return written;
}

void connection_set::shut_down_all() {
    // An open connection's socket is still there: its thread counts it out under this lock
    // before it closes it.
    std::lock_guard lock(mutex_);
    for (const auto &client : connections_)
        if (client->open)
            (void)::shutdown(client->fd.get(), SHUT_RDWR);
}

void connection_set::join_finished() {
    std::list<std::shared_ptr<connection>> done;
    {
        std::lock_guard lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            auto next = std::next(it);
            if ((*it)->finished)
                done.splice(done.end(), connections_, it);
            it = next;
        }
    }
    for (const auto &client : done)
        client->thread.join();
}

void connection_set::join_all() {
    std::list<std::shared_ptr<connection>> all;
    {
        std::lock_guard lock(mutex_);
        all.swap(connections_);
    }
    for (const auto &client : all)
        if (client->thread.joinable())
            client->thread.join();
}

} // namespace vortlink::sim
