// The block shared between processes lives in a named file mapping of the session's local
// namespace ("Local\\..."), named after the user's SID and created with a DACL that admits
// that user alone. The design put it in a data section of the DLL shared by every process
// that loads it: any process of any user could then write it, so it is not done that way.
//
// The slot locks are the named mutexes of the design, under their own names, so that programs
// built on other builds of this library serialise with ours. Windows mutexes are recursive for
// their owning thread and report an owner that died as WAIT_ABANDONED.
#include "core/platform/shared_segment.h"

#include "core/platform/static_mutex.h"
#include "core/platform/trace_output.h"
#include "core/platform/windows/user_identity.h"

#include <aclapi.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace vortlink::platform {

namespace {

constexpr std::size_t lock_name_size = 32;

constinit static_mutex process_mutex;
constinit HANDLE mapping = nullptr;
constinit shared_data *block = nullptr;
constinit bool block_private = false;
constinit bool private_notice_given = false;

// "Local\vortlink-<SID>", or "Local\<name>-<SID>" with VORTLINK_SHARED_NAME=/name.
std::string mapping_name() {
    const std::string sid = current_user_sid_text();
    if (sid.empty())
        return {};
    std::string name = "vortlink";
    if (const char *configured = std::getenv("VORTLINK_SHARED_NAME");
        configured != nullptr && configured[0] != '\0') {
        name = configured[0] == '/' ? configured + 1 : configured;
        if (name.empty() || name.find_first_of("/\\") != std::string::npos)
            return {};
    }
    return "Local\\" + name + "-" + sid;
}

// A security descriptor whose DACL grants this user alone all access; the buffer holds it.
struct user_only_descriptor {
    SECURITY_DESCRIPTOR descriptor{};
    alignas(8) unsigned char acl[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE] = {};

    bool build() {
        PSID user = current_user_sid();
        auto *list = reinterpret_cast<PACL>(acl);
        return user != nullptr && InitializeAcl(list, sizeof acl, ACL_REVISION) &&
               AddAccessAllowedAce(list, ACL_REVISION, GENERIC_ALL, user) &&
               InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
               SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) &&
               SetSecurityDescriptorOwner(&descriptor, user, FALSE);
    }
};

// An existing mapping is used only when this user owns it and nobody else may write it.
const char *planted_reason(HANDLE object) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return "its owner cannot be read";
    const char *why = nullptr;
    if (owner == nullptr || current_user_sid() == nullptr || !EqualSid(owner, current_user_sid()))
        why = "another user owns it";
    else if (others_may(descriptor, FILE_MAP_WRITE | WRITE_DAC | WRITE_OWNER))
        why = "other users have access to it";
    LocalFree(descriptor);
    return why;
}

shared_data *map_shared(const std::string &name, const char *&why) {
    user_only_descriptor security;
    if (!security.build()) {
        why = "this user's identity cannot be read";
        return nullptr;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &security.descriptor, FALSE};
    HANDLE handle = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                       sizeof(shared_data), name.c_str());
    if (handle == nullptr) {
        why = "it cannot be opened";
        return nullptr;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if ((why = planted_reason(handle)) != nullptr) {
            CloseHandle(handle);
            return nullptr;
        }
    }
    void *view = MapViewOfFile(handle, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(shared_data));
    if (view == nullptr) {
        why = "it cannot be mapped";
        CloseHandle(handle);
        return nullptr;
    }
    // A new mapping is zero-filled by the system; it goes when the last process closes it.
    mapping = handle;
    return static_cast<shared_data *>(view);
}

void tell_private(const std::string &object, const char *why) {
    if (private_notice_given)
        return;
    private_notice_given = true;
    (void)write_error_notice("not using the shared state " + object + " (" + why +
                             "); slot locks cover this process only");
}

} // namespace

shared_data *attach_shared_segment() {
    const std::lock_guard hold(process_mutex);
    if (block != nullptr)
        return block;
    const std::string name = mapping_name();
    const char *why = "its name is unusable";
    if (!name.empty())
        block = map_shared(name, why);
    if (block != nullptr) {
        block_private = false;
        return block;
    }
    block = static_cast<shared_data *>(
        VirtualAlloc(nullptr, sizeof(shared_data), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (block == nullptr)
        return nullptr;
    block_private = true;
    tell_private(name.empty() ? std::string("vortlink") : name, why);
    return block;
}

void detach_shared_segment() {
    const std::lock_guard hold(process_mutex);
    if (block == nullptr)
        return;
    if (block_private) {
        VirtualFree(block, 0, MEM_RELEASE);
    } else {
        UnmapViewOfFile(block);
        CloseHandle(mapping);
        mapping = nullptr;
    }
    block = nullptr;
    block_private = false;
}

bool shared_segment_is_private() {
    const std::lock_guard hold(process_mutex);
    return block != nullptr && block_private;
}

// A lock handle is the mutex's own handle.
named_lock *open_named_lock(const char *name) {
    if (name == nullptr)
        return nullptr;
    const std::size_t length = strnlen(name, lock_name_size);
    if (length == 0 || length == lock_name_size)
        return nullptr;
    return reinterpret_cast<named_lock *>(CreateMutexA(nullptr, FALSE, name));
}

void close_named_lock(named_lock *lock) {
    if (lock != nullptr)
        CloseHandle(reinterpret_cast<HANDLE>(lock));
}

lock_wait wait_named_lock(named_lock *lock, uint32_t timeout_ms) {
    if (lock == nullptr)
        return lock_wait::failed;
    switch (WaitForSingleObject(reinterpret_cast<HANDLE>(lock), timeout_ms)) {
    case WAIT_OBJECT_0:
        return lock_wait::acquired;
    case WAIT_ABANDONED:
        return lock_wait::abandoned;
    case WAIT_TIMEOUT:
        return lock_wait::timed_out;
    default:
        return lock_wait::failed;
    }
}

void release_named_lock(named_lock *lock) {
    if (lock != nullptr)
        ReleaseMutex(reinterpret_cast<HANDLE>(lock));
}

} // namespace vortlink::platform
