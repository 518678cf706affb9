#include "core/platform/settings_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/hex_digit.h"
#include "core/platform/text_file.h"

namespace vortlink::platform {

namespace {

// A settings file is a handful of lines; anything far larger is not one of ours, and refusing it
// keeps a stray multi-gigabyte file from being loaded on every read.
constexpr std::size_t max_file_size = 4u << 20;
// Longer lines are treated as damaged on read, so writes never produce one.
constexpr std::size_t max_line_length = 64u << 10;
// How long a write waits for the other writers' lock, while none of them completes a write,
// before it gives up.
constexpr uint32_t settings_lock_limit_ms = 300;

constexpr std::string_view registry_root = "Software\\";
constexpr std::string_view dword_prefix = "dword:";
constexpr std::size_t dword_digits = 8;

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equal_ignoring_case(text.substr(0, prefix.size()), prefix);
}

// A name that could not be written back as a single "Name=" line is refused outright.
bool valid_name(std::string_view name) {
    return !name.empty() && name.find_first_of(std::string_view("=\n\r\0", 4)) == name.npos;
}

struct parsed_line {
    std::string_view name;
    setting_value::kind type = setting_value::kind::string;
    std::string_view text;
    uint32_t dword = 0;
};

// line excludes its '\n'. Lines written on another system may end in "\r\n"; a value can never
// hold '\r', so a trailing one is part of the line ending.
std::optional<parsed_line> parse_line(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line.size() > max_line_length || line.find('\0') != line.npos)
        return std::nullopt;
    const std::size_t equals = line.find('=');
    if (equals == line.npos || equals == 0)
        return std::nullopt;

    parsed_line parsed;
    parsed.name = line.substr(0, equals);
    const std::string_view data = line.substr(equals + 1);
    if (!data.starts_with(dword_prefix)) {
        parsed.text = data;
        return parsed;
    }
    const std::string_view digits = data.substr(dword_prefix.size());
    if (digits.size() != dword_digits)
        return std::nullopt;
    uint32_t number = 0;
    for (const char c : digits) {
        const int digit = hex_digit_value(c);
        if (digit < 0)
            return std::nullopt;
        number = (number << 4) | static_cast<uint32_t>(digit);
    }
    parsed.type = setting_value::kind::dword;
    parsed.dword = number;
    return parsed;
}

// The line that stores value under name, without its line ending; nullopt when the value cannot
// be stored so that it reads back unchanged.
std::optional<std::string> format_line(std::string_view name, const setting_value &value) {
    std::string line(name);
    line.push_back('=');
    if (value.type == setting_value::kind::dword) {
        char digits[dword_digits + 1];
        std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(value.dword));
        line.append(dword_prefix).append(digits);
    } else {
        // A string that looks like a DWORD would read back as one.
        if (value.text.find_first_of(std::string_view("\n\r\0", 3)) != value.text.npos ||
            std::string_view(value.text).starts_with(dword_prefix))
            return std::nullopt;
        line.append(value.text);
    }
    if (line.size() > max_line_length)
        return std::nullopt;
    return line;
}

struct found_line {
    parsed_line value;
    std::size_t begin; // offset of the line in the file
    std::size_t end;   // offset of its '\n', or the file's size
};

std::optional<found_line> find_value(std::string_view contents, std::string_view name) {
    for (std::size_t begin = 0; begin < contents.size();) {
        const std::size_t end = std::min(contents.find('\n', begin), contents.size());
        const std::optional<parsed_line> parsed = parse_line(contents.substr(begin, end - begin));
        if (parsed && equal_ignoring_case(parsed->name, name))
            return found_line{*parsed, begin, end};
        begin = end + 1;
    }
    return std::nullopt;
}

// Every byte of the other lines, damaged ones included, is kept: the user may have written them.
std::string replace_or_append(const std::string &contents, std::string_view name,
                              const std::string &line) {
    if (const std::optional<found_line> found = find_value(contents, name)) {
        std::size_t end = found->end;
        if (end > found->begin && contents[end - 1] == '\r')
            --end; // the line keeps its own ending
        std::string updated(contents, 0, found->begin);
        updated.append(line).append(contents, end);
        return updated;
    }
    std::string updated = contents;
    if (!updated.empty() && updated.back() != '\n')
        updated.push_back('\n');
    updated.append(line).push_back('\n');
    return updated;
}

std::string parent_directory(const std::string &file) {
    const std::size_t slash = file.rfind('/');
    if (slash == file.npos || slash == 0)
        return {};
    return file.substr(0, slash);
}

bool is_directory(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// mkdir -p with mode 0700 for what it creates; directories that exist keep their mode.
bool make_directories(const std::string &directory) {
    if (directory.empty() || directory.front() != '/')
        return false;
    std::size_t slash = 0;
    do {
        slash = directory.find('/', slash + 1);
        const std::string prefix = directory.substr(0, slash);
        if (mkdir(prefix.c_str(), 0700) != 0 && (errno != EEXIST || !is_directory(prefix)))
            return false;
    } while (slash != directory.npos);
    return true;
}

// A temporary file beside the settings file; removed again unless it was renamed into place.
class temporary_file {
  public:
    explicit temporary_file(const std::string &file) {
        const std::size_t slash = file.rfind('/');
        path_ = file.substr(0, slash + 1) + "." + file.substr(slash + 1) + ".XXXXXX";
        fd_ = unique_fd(mkostemp(path_.data(), O_CLOEXEC));
        if (!fd_.valid())
            path_.clear();
    }
    temporary_file(const temporary_file &) = delete;
    temporary_file &operator=(const temporary_file &) = delete;
    ~temporary_file() {
        if (!path_.empty())
            unlink(path_.c_str());
    }

    bool valid() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    bool close() { return fd_.close(); }
    bool rename_to(const std::string &file) {
        if (rename(path_.c_str(), file.c_str()) != 0)
            return false;
        path_.clear();
        return true;
    }

  private:
    std::string path_;
    unique_fd fd_;
};

// What tells one version of the settings file from the next: every write renames a new file
// into place.
struct file_version {
    ino_t inode = 0;
    timespec changed{};
    bool operator==(const file_version &other) const {
        return inode == other.inode && changed.tv_sec == other.changed.tv_sec &&
               changed.tv_nsec == other.changed.tv_nsec;
    }
};

file_version version_of(const std::string &file) {
    struct stat info {};
    if (stat(file.c_str(), &info) != 0)
        return {};
    return {info.st_ino, info.st_ctim};
}

// The directory lock is waited for in short retries. A holder that keeps completing writes is
// making progress and is waited for; one that completes none for settings_lock_limit_ms (a hung
// program, or another user who may open the directory and lock it) makes this write give up.
bool lock_settings_directory(int directory_fd, const std::string &file) {
    file_version seen = version_of(file);
    for (;;) {
        if (lock_file_within(directory_fd, LOCK_EX, settings_lock_limit_ms))
            return true;
        const file_version now = version_of(file);
        if (now == seen)
            return false;
        seen = now;
    }
}

bool replace_file(int directory_fd, const std::string &file, std::string_view contents) {
    temporary_file temporary(file);
    if (!temporary.valid())
        return false;
    if (fchmod(temporary.fd(), 0600) != 0 || !write_all(temporary.fd(), contents) ||
        fsync(temporary.fd()) != 0 || !temporary.close() || !temporary.rename_to(file))
        return false;
    // The new contents are in place; syncing the directory only makes the rename durable, and a
    // failure there does not undo the write.
    (void)fsync(directory_fd);
    return true;
}

} // namespace

std::string settings_file_for_key(std::string_view key_path) {
    // Relative XDG_CONFIG_HOME or HOME values are ignored, as the XDG base directory rules ask:
    // the settings must not move with the working directory.
    std::string path;
    const char *config_home = std::getenv("XDG_CONFIG_HOME");
    const char *home = std::getenv("HOME");
    if (config_home != nullptr && config_home[0] == '/')
        path = config_home;
    else if (home != nullptr && home[0] == '/')
        path = std::string(home) + "/.config";
    else
        return {};

    if (starts_with_ignoring_case(key_path, registry_root))
        key_path.remove_prefix(registry_root.size());
    if (key_path.empty())
        return {};
    // Each part of the key becomes one directory level; a part that could climb out of the
    // configuration directory or split into more levels is refused.
    std::size_t begin = 0;
    for (;;) {
        std::size_t end = key_path.find('\\', begin);
        if (end == key_path.npos)
            end = key_path.size();
        const std::string_view part = key_path.substr(begin, end - begin);
        if (part.empty() || part == "." || part == ".." ||
            part.find_first_of(std::string_view("/\0", 2)) != part.npos)
            return {};
        path.push_back('/');
        path.append(part);
        if (end == key_path.size())
            break;
        begin = end + 1;
    }
    path.append(".conf");
    return path;
}

bool create_settings_file(const std::string &file) {
    if (!make_directories(parent_directory(file)))
        return false;
    // Opened for reading and writing as a check that the key has full access; an existing file is
    // left as it is.
    unique_fd fd(open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600));
    if (!fd.valid())
        return false;
    struct stat info {};
    return fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<setting_value> read_setting_value(const std::string &file, std::string_view name) {
    if (file.empty() || !valid_name(name))
        return std::nullopt;
    std::string contents;
    if (read_small_file(file.c_str(), max_file_size, contents) != file_read::ok)
        return std::nullopt;
    const std::optional<found_line> found = find_value(contents, name);
    if (!found)
        return std::nullopt;
    setting_value value;
    value.type = found->value.type;
    value.text = found->value.text;
    value.dword = found->value.dword;
    return value;
}

bool write_setting_value(const std::string &file, std::string_view name,
                         const setting_value &value) {
    if (!valid_name(name))
        return false;
    const std::optional<std::string> line = format_line(name, value);
    if (!line)
        return false;
    const std::string directory = parent_directory(file);
    if (!make_directories(directory))
        return false;

    // The lock on the directory serialises read-modify-write cycles of every process, so two
    // writers of different values never lose one; readers need no lock as the rename is atomic.
    unique_fd directory_fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory_fd.valid())
        return false;
    // Whoever holds it (another program of this user, or another user who may open the
    // directory) must not hold up a command that only records its failure: the write is given up.
    if (!lock_settings_directory(directory_fd.get(), file))
        return false;

    std::string contents;
    if (read_small_file(file.c_str(), max_file_size, contents) == file_read::failed)
        return false;
    const std::string updated = replace_or_append(contents, name, *line);
    if (updated.size() > max_file_size)
        return false;
    return replace_file(directory_fd.get(), file, updated);
}

} // namespace vortlink::platform
