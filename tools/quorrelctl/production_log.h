#pragma once
// The production record: one JSON line per controller and operation, appended to a file that
// several tools may share. Each line goes out in one write on a descriptor opened with
// O_APPEND and is synced before the tool goes on, so a line once written survives a crash or a
// power cut, and lines of concurrent writers never interleave.

#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace vortlink::ctl {

class production_log {
  public:
    production_log() = default;
    ~production_log();
    production_log(const production_log &) = delete;
    production_log &operator=(const production_log &) = delete;

    // Opens (creating) the file for appending; false with message naming the file otherwise.
    bool open(const std::string &path, std::string &message);
    bool is_open() const { return fd_ >= 0; }
    // Appends the entry as one line and syncs it; false with message when it could not be
    // written whole.
    bool append(const nlohmann::ordered_json &entry, std::string &message);

    // Now, in UTC with milliseconds: 2026-12-08T08:40:12.345Z.
    static std::string utc_now();

  private:
    std::mutex mutex_;
    std::string path_;
    int fd_ = -1;
};

} // namespace vortlink::ctl
