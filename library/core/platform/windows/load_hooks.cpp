// The library's load and unload work runs from vortlink.dll's entry point, under the loader
// lock: it only maps the shared block, opens the named mutexes and the settings key (kernel32
// and advapi32, which the loader has initialised before this DLL). Winsock starts later, at the
// first connect. A test program that links the library's objects runs the same work from its
// own start-up and exit instead.
#include "core/state.h"

#include <windows.h>

namespace {
bool linked_into_program() {
    HMODULE module = nullptr;
    return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCSTR>(&linked_into_program), &module) &&
           module == GetModuleHandleA(nullptr);
}

__attribute__((constructor)) void program_started() {
    if (linked_into_program())
        vortlink::on_process_load();
}
__attribute__((destructor)) void program_ending() {
    if (linked_into_program())
        vortlink::on_process_unload();
}
} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        vortlink::on_process_load();
        break;
    case DLL_PROCESS_DETACH:
        // At process exit the other threads are gone mid-way, perhaps holding what unloading
        // would wait for; the system closes every handle anyway. Only FreeLibrary unloads.
        if (reserved == nullptr)
            vortlink::on_process_unload();
        break;
    default:
        break;
    }
    return TRUE;
}
