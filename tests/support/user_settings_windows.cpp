#include "support/user_settings.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace vortlink::test {

// The key is made afresh, as the Linux file is written afresh.
void write_user_settings(uint16_t port, const std::string &leading_lines) {
    const char *path = "Software\\Kestrova\\Quorrel\\Command Set Toolkit";
    RegDeleteKeyA(HKEY_CURRENT_USER, path);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    for (std::size_t at = 0; at < leading_lines.size();) {
        const std::size_t end = leading_lines.find('\n', at);
        const std::string line = leading_lines.substr(at, end - at);
        at = end == std::string::npos ? leading_lines.size() : end + 1;
        const std::size_t equals = line.find('=');
        ASSERT_NE(equals, std::string::npos) << line;
        const std::string value = line.substr(equals + 1);
        EXPECT_EQ(RegSetValueExA(key, line.substr(0, equals).c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE *>(value.c_str()),
                                 static_cast<DWORD>(value.size() + 1)),
                  ERROR_SUCCESS);
    }
    const DWORD number = port;
    EXPECT_EQ(RegSetValueExA(key, "TCP Port", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number),
                             sizeof number),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

} // namespace vortlink::test
