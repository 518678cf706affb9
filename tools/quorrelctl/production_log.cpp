#include "production_log.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include "output.h"
#include "text_input.h"

namespace vortlink::ctl {

bool production_log::open(const std::string &path, std::string &message) {
    platform::regular_file file = open_regular_file(path, file_use::append, message);
    if (!file.valid()) {
        message = "--log " + message;
        return false;
    }
    // The file's name must survive a power cut as well as its lines.
    platform::sync_parent_directory(path);
    file_ = std::move(file);
    path_ = path;
    return true;
}

bool production_log::append(const nlohmann::ordered_json &entry, std::string &message) {
    const std::string line = json_text(entry, -1) + "\n";
    long written = -1;
    {
        // One line per write keeps lines of a gang whole; the flush that follows takes no lock,
        // so controllers finishing together do not queue behind each other's disk waits.
        std::lock_guard lock(mutex_);
        written = file_.write_once(line.data(), line.size());
    }
    if (written != static_cast<long>(line.size())) {
        message = "--log '" + path_ + "': the record was not written whole: " +
                  (written < 0 ? platform::last_system_error() : "short write");
        return false;
    }
    if (!file_.flush_to_disk()) {
        message = "--log '" + path_ + "': " + platform::last_system_error();
        return false;
    }
    return true;
}

std::string production_log::utc_now() {
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss time{now - day};
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()),
                  static_cast<int>(time.subseconds().count()));
    return text;
}

} // namespace vortlink::ctl
