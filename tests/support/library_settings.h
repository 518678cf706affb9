#pragma once
// The user's settings as the library reads them, written by an end-to-end test that uses the
// shared library and so cannot call its settings routines: the settings file on Linux, the
// registry key on Windows.

#include <cstdint>

namespace vortlink::test {

// "TCP Port" = port (a DWORD) and "ErrorCodesFile" = ".\ecodes.ini", replacing what was there.
void store_library_settings(uint16_t tcp_port);

} // namespace vortlink::test
