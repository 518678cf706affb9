#include "core/platform/windows/user_identity.h"

#include <aclapi.h>
#include <sddl.h>

#include <mutex>

namespace vortlink::platform {

namespace {
struct user_token {
    alignas(8) unsigned char buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)] = {};
    bool read = false;
};

user_token &token_of_process() {
    static user_token token;
    static std::once_flag once;
    std::call_once(once, [] {
        HANDLE handle = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &handle))
            return;
        DWORD length = 0;
        token.read = GetTokenInformation(handle, TokenUser, token.buffer, sizeof token.buffer,
                                         &length) != FALSE;
        CloseHandle(handle);
    });
    return token;
}

bool is_well_known(PSID sid, WELL_KNOWN_SID_TYPE type) {
    return sid != nullptr && IsWellKnownSid(sid, type);
}
} // namespace

PSID current_user_sid() {
    user_token &token = token_of_process();
    return token.read ? reinterpret_cast<TOKEN_USER *>(token.buffer)->User.Sid : nullptr;
}

std::string current_user_sid_text() {
    PSID sid = current_user_sid();
    char *text = nullptr;
    if (sid == nullptr || !ConvertSidToStringSidA(sid, &text))
        return {};
    std::string result = text;
    LocalFree(text);
    return result;
}

bool is_trusted_owner(PSID owner) {
    PSID user = current_user_sid();
    if (owner == nullptr || !IsValidSid(owner))
        return false;
    return (user != nullptr && EqualSid(owner, user)) || is_well_known(owner, WinLocalSystemSid) ||
           is_well_known(owner, WinBuiltinAdministratorsSid);
}

bool others_may(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK write_rights) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
        return true;
    if (!present || dacl == nullptr)
        return true; // a null DACL grants everybody everything
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void *entry = nullptr;
        if (!GetAce(dacl, index, &entry))
            return true;
        const auto *header = static_cast<const ACE_HEADER *>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        const auto *allowed = static_cast<const ACCESS_ALLOWED_ACE *>(entry);
        PSID sid = const_cast<DWORD *>(&allowed->SidStart);
        if ((allowed->Mask & (write_rights | GENERIC_ALL | GENERIC_WRITE)) != 0 &&
            !is_trusted_owner(sid) && !is_well_known(sid, WinCreatorOwnerSid))
            return true;
    }
    return false;
}

} // namespace vortlink::platform
