#pragma once
// Who the calling process runs as, and which owners its files and objects may have.

#include <windows.h>

#include <string>

namespace vortlink::platform {

// The user SID of the process token, kept for the life of the process; null when unreadable.
PSID current_user_sid();
// The user SID as text ("S-1-5-21-..."); empty when unreadable.
std::string current_user_sid_text();
// This user, SYSTEM or the local administrators: owners whose objects the user may trust.
bool is_trusted_owner(PSID owner);
// The descriptor's DACL lets someone other than a trusted owner do anything in write_rights.
bool others_may(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK write_rights);

} // namespace vortlink::platform
