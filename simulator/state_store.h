#pragma once
// A controller's EEPROM and programmed flash kept in files across runs (`--state DIR`): one pair
// of files per controller, named by its serial number, each replaced atomically.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace vortlink::sim {

enum class load_result { loaded, missing, damaged };

class state_files {
  public:
    // A serial number with characters unfit for a file name has them replaced by '_'.
    state_files(const std::string &directory, const std::string &serial_number);

    const std::string &eeprom_path() const { return eeprom_path_; }
    const std::string &firmware_path() const { return firmware_path_; }

    // Fills `contents` from the file only when it is a regular file of exactly that size;
    // otherwise `contents` is left alone. `problem` says what was wrong with a damaged file.
    static load_result load(const std::string &path, std::span<uint8_t> contents,
                            std::string &problem);
    // Writes a temporary file beside `path`, flushes it to the disk and renames it over `path`,
    // so a reader sees the old contents or the new, never a mixture. Returns 0 or an errno value.
    static int save(const std::string &path, std::span<const uint8_t> contents);

  private:
    std::string eeprom_path_;
    std::string firmware_path_;
};

// Makes DIR (one level) when it is missing. Returns 0 or an errno value (ENOTDIR when it exists
// but is no directory).
int prepare_state_directory(const std::string &directory);

// Writes a controller's state in the background a short while after a change, together with
// every change made meanwhile (a run of block writes becomes a few file writes), and whatever
// is still pending when it is destroyed.
class state_writer {
  public:
    // Copies the parts asked for (under the controller's own lock) into the buffers.
    using snapshot_function =
        std::function<void(bool want_eeprom, std::vector<uint8_t> &eeprom, bool want_firmware,
                           std::vector<uint8_t> &firmware)>;

    state_writer(state_files files, snapshot_function snapshot, std::chrono::milliseconds quiet);
    ~state_writer();
    state_writer(const state_writer &) = delete;
    state_writer &operator=(const state_writer &) = delete;

    void eeprom_changed();
    void firmware_changed();

  private:
    void run();
    void write_pending(std::unique_lock<std::mutex> &lock);

    const state_files files_;
    const snapshot_function snapshot_;
    const std::chrono::milliseconds quiet_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool eeprom_pending_ = false;
    bool firmware_pending_ = false;
    bool stopping_ = false;
    // Last, so that it starts after everything it reads is ready.
    std::thread thread_;
};

} // namespace vortlink::sim
