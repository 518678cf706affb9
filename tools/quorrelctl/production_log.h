#pragma once
// The production record: one JSON line per controller and operation, appended to a file that
// several tools may share. Each line goes out in one write on a file opened for appending and
// is flushed to the disk before the tool goes on, so a line once written survives a crash or a
// power cut, and lines of concurrent writers never interleave.

#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "core/platform/regular_file.h"

namespace vortlink::ctl {

class production_log {
  public:
    production_log() = default;
    production_log(const production_log &) = delete;
    production_log &operator=(const production_log &) = delete;

    // Opens (creating) the file for appending; false with message naming the file otherwise.
    bool open(const std::string &path, std::string &message);
    bool is_open() const { return file_.valid(); }
    // Appends the entry as one line and syncs it; false with message when it could not be
    // written whole.
    bool append(const nlohmann::ordered_json &entry, std::string &message);

    // Now, in UTC with milliseconds: 2026-12-08T08:40:12.345Z.
    static std::string utc_now();

  private:
    std::mutex mutex_;
    std::string path_;
    platform::regular_file file_;
};

} // namespace vortlink::ctl
