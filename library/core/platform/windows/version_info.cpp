#include "core/platform/version_info.h"

#include <windows.h>

#include <vector>

namespace vortlink::platform {

// The version block of the module that holds this code: vortlink.dll itself, whichever copy of
// it the program loaded (a search by name could find another).
uint16_t library_version_word() {
    HMODULE module = nullptr;
    char path[MAX_PATH + 1];
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&library_version_word), &module))
        return 0;
    const DWORD length = GetModuleFileNameA(module, path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return 0;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0)
        return 0;
    std::vector<unsigned char> block(size);
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT fixed_size = 0;
    if (!GetFileVersionInfoA(path, 0, size, block.data()) ||
        !VerQueryValueA(block.data(), "\\", reinterpret_cast<void **>(&fixed), &fixed_size) ||
        fixed == nullptr || fixed_size < sizeof *fixed)
        return 0;
    const uint16_t minor = LOWORD(fixed->dwFileVersionMS) & 0xFF;
    const uint16_t fourth = LOWORD(fixed->dwFileVersionLS) & 0xFF;
    return static_cast<uint16_t>(minor << 8 | fourth);
}

} // namespace vortlink::platform
