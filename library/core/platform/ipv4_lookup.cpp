// The host look-up of the TCP transport, the same on both systems' socket interfaces.
#include "core/platform/socket.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace vortlink::platform {

bool resolve_ipv4(const char *host, uint32_t &address) {
    if (host == nullptr || !start_sockets())
        return false;
    in_addr parsed{};
    if (inet_pton(AF_INET, host, &parsed) == 1) {
        address = parsed.s_addr;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *answers = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &answers) != 0 || answers == nullptr)
        return false;
    address = reinterpret_cast<const sockaddr_in *>(answers->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(answers);
    return true;
}

} // namespace vortlink::platform
