#include "support/shared_name.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

namespace vortlink::test {

shared_name_scope::shared_name_scope(const std::string &suffix) {
    const char *inherited = std::getenv("VORTLINK_SHARED_NAME");
    had_name_ = inherited != nullptr;
    if (had_name_)
        saved_name_ = inherited;
    const std::string base = had_name_ && !saved_name_.empty() ? saved_name_ : "/vortlink-test";
    name_ = base + "-" + std::to_string(::getpid()) + "-" + suffix;
    ::setenv("VORTLINK_SHARED_NAME", name_.c_str(), 1);
}

shared_name_scope::~shared_name_scope() {
    remove_objects();
    if (had_name_)
        ::setenv("VORTLINK_SHARED_NAME", saved_name_.c_str(), 1);
    else
        ::unsetenv("VORTLINK_SHARED_NAME");
}

void shared_name_scope::remove_objects() const {
    ::shm_unlink(name_.c_str());
    ::shm_unlink((name_ + ".init").c_str());
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
        ::unlink((runtime + name_).c_str());
        ::unlink((runtime + name_ + ".init").c_str());
    }
}

} // namespace vortlink::test
