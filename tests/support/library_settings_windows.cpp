#include "support/library_settings.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace vortlink::test {

void store_library_settings(uint16_t tcp_port) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Kestrova\\Quorrel\\Command Set Toolkit",
                              0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const DWORD port = tcp_port;
    static constexpr char catalogue[] = ".\\ecodes.ini";
    EXPECT_EQ(RegSetValueExA(key, "TCP Port", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&port),
                             sizeof port),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "ErrorCodesFile", 0, REG_SZ,
                             reinterpret_cast<const BYTE *>(catalogue), sizeof catalogue),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

} // namespace vortlink::test
