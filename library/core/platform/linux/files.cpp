#include "core/platform/files.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vortlink::platform {

const char path_separator = '/';

bool current_directory(char *buffer, std::size_t size) {
    return getcwd(buffer, size) != nullptr;
}

bool is_regular_file(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

const char *foreign_file_reason(const std::string &path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return nullptr;
    if (info.st_uid != geteuid() && info.st_uid != 0)
        return "it belongs to another user";
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "others may write to it";
    return nullptr;
}

std::string own_binary_directory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void *>(&own_binary_directory), &info) == 0 ||
        info.dli_fname == nullptr)
        return {};
    std::string path = info.dli_fname;
    const auto separator = path.rfind('/');
    if (separator == std::string::npos)
        return {};
    path.resize(separator + 1);
    return path;
}

} // namespace vortlink::platform
