#pragma once
// Files a user names to the tools (firmware images, block files, host lists, the production
// log), opened so that a planted path can do no harm: never through a symbolic link, never
// waiting on a FIFO's other end or a device, and only when it is a regular file, which is
// checked on the open file before anything is written or emptied. One backend per system.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vortlink::platform {

enum class file_use {
    read,    // an existing file
    append,  // created when missing (owner read-write, others read), written at its end
    replace, // created when missing, emptied once it passed the checks
};

// Why a path is refused or what it is, as far as the system tells without following it.
enum class path_kind { missing, regular, symbolic_link, other, unknown };

// Owns one open regular file and closes it when it goes.
class regular_file {
  public:
    regular_file() = default;
    regular_file(regular_file &&other) noexcept;
    regular_file &operator=(regular_file &&other) noexcept;
    regular_file(const regular_file &) = delete;
    regular_file &operator=(const regular_file &) = delete;
    ~regular_file();

    bool valid() const;
    // Reads up to size bytes: the number read, 0 at the end, -1 on failure.
    long read(void *buffer, std::size_t size);
    // Writes every byte, in as many writes as it takes; false on failure.
    bool write_all(const void *bytes, std::size_t size);
    // One write of the bytes, as a file opened for appending keeps whole against other
    // writers: the number written (fewer when the disk is full), -1 on failure.
    long write_once(const void *bytes, std::size_t size);
    // The size the file has now.
    std::optional<uint64_t> size() const;
    // Waits until what was written is on the disk.
    bool flush_to_disk();
    // Closes now and tells whether that succeeded (a failed close can mean lost data).
    bool close();

  private:
    friend regular_file open_regular_file(const std::string &, file_use, path_kind &,
                                          std::string &);
    // A descriptor or a handle, whichever the system has.
    intptr_t handle_ = -1;
};

// Opens path (UTF-8) for the use. On failure the result is not valid, refusal says what the
// path is (symbolic_link, other for anything but a regular file, missing, unknown for any
// other failure) and reason is the system's own text.
regular_file open_regular_file(const std::string &path, file_use use, path_kind &refusal,
                               std::string &reason);

// What is at path, without following a link; reason is the system's text for unknown.
path_kind inspect_path(const std::string &path, std::string &reason);

// Makes the name of a file just created in that directory survive a power cut, where the
// system needs to be told (a directory fsync on Linux).
void sync_parent_directory(const std::string &path);

// The system's text for the last failure of the calling thread.
std::string last_system_error();

} // namespace vortlink::platform
