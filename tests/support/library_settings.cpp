#include "support/library_settings.h"

#include "support/user_settings.h"

namespace vortlink::test {

void store_library_settings(uint16_t tcp_port) {
    write_user_settings(tcp_port, "ErrorCodesFile=.\\ecodes.ini\n");
}

} // namespace vortlink::test
