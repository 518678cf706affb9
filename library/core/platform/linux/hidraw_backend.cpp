// The hidraw backend: HID devices through the kernel's /dev/hidrawN nodes, with names and
// strings from sysfs and indexed string descriptors through usbfs.
//
// Writes go through a per-device writer thread. A hidraw write does not honour O_NONBLOCK: it
// blocks inside the kernel until the USB transfer ends, and that has been seen to take long while
// a device switches between its boot loader and its application. The caller waits for the writer
// on a condition variable no longer than its time-out; a write still under way then finishes
// later on the writer thread. See ~hidraw_device for how the thread ends.

#include "core/platform/hidraw_backend.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "core/platform/clock.h"
#include "core/platform/hid_descriptor.h"
#include "core/platform/text_file.h"

namespace vortlink::platform {

namespace {

// ---- sysfs --------------------------------------------------------------------------------------

// sysfs text attributes are one page at most.
constexpr std::size_t sysfs_attribute_max = 4096;

std::string canonical_path(const std::string &path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr)
        return {};
    return resolved;
}

// The attribute's text without its trailing newline; false when it cannot be read.
bool read_attribute(const std::string &path, std::string &text) {
    if (read_small_file(path.c_str(), sysfs_attribute_max, text) != file_read::ok)
        return false;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0'))
        text.pop_back();
    return true;
}

// The value of KEY=value in a uevent file.
bool read_uevent_value(const std::string &device_dir, std::string_view key, std::string &value) {
    std::string uevent;
    if (!read_attribute(device_dir + "/uevent", uevent))
        return false;
    std::size_t line_start = 0;
    while (line_start < uevent.size()) {
        std::size_t line_end = uevent.find('\n', line_start);
        if (line_end == std::string::npos)
            line_end = uevent.size();
        const std::string_view line(uevent.data() + line_start, line_end - line_start);
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            line[key.size()] == '=') {
            value = line.substr(key.size() + 1);
            return true;
        }
        line_start = line_end + 1;
    }
    return false;
}

// The USB device above a HID device: the first directory upwards that has idVendor. A HID device
// of another bus (Bluetooth, uhid, I2C) has none, and the walk stops at the sysfs root.
std::string find_usb_parent(const std::string &hid_device_dir, const std::string &sysfs_root) {
    constexpr unsigned max_levels = 32;
    std::string dir = hid_device_dir;
    for (unsigned level = 0; level < max_levels && dir.size() > sysfs_root.size(); ++level) {
        if (dir.compare(0, sysfs_root.size(), sysfs_root) != 0 || dir[sysfs_root.size()] != '/')
            break;
        if (access((dir + "/idVendor").c_str(), F_OK) == 0)
            return dir;
        dir.resize(dir.rfind('/'));
    }
    return {};
}

bool parse_decimal(const std::string &text, unsigned max, unsigned &value) {
    if (text.empty() || text.size() > 9)
        return false;
    unsigned result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + static_cast<unsigned>(c - '0');
    }
    if (result > max)
        return false;
    value = result;
    return true;
}

// hidrawN names sort by N, so hidraw10 comes after hidraw9.
bool hidraw_number(const char *name, unsigned &number) {
    constexpr std::string_view prefix = "hidraw";
    const std::string_view text(name);
    return text.size() > prefix.size() && text.substr(0, prefix.size()) == prefix &&
           parse_decimal(std::string(text.substr(prefix.size())), 1u << 20, number);
}

// ---- Report descriptor --------------------------------------------------------------------------

// From the open node; on a node that is not a hidraw device (the fixture trees of the tests use
// plain files) from the HID device's sysfs attribute instead.
status_t read_report_descriptor(int fd, const std::string &hid_device_dir,
                                std::vector<uint8_t> &bytes) {
    bytes.clear();
    int size = 0;
    if (ioctl(fd, HIDIOCGRDESCSIZE, &size) == 0) {
        if (size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE)
            return status::bad_reports;
        auto descriptor = std::make_unique<hidraw_report_descriptor>();
        descriptor->size = static_cast<uint32_t>(size);
        if (ioctl(fd, HIDIOCGRDESC, descriptor.get()) != 0)
            return status::bad_reports;
        bytes.assign(descriptor->value, descriptor->value + size);
        return status::ok;
    }
    if ((errno != ENOTTY && errno != EINVAL) || hid_device_dir.empty())
        return status::bad_reports;
    std::string contents;
    if (read_small_file((hid_device_dir + "/report_descriptor").c_str(), HID_MAX_DESCRIPTOR_SIZE,
                        contents) != file_read::ok)
        return status::bad_reports;
    bytes.assign(contents.begin(), contents.end());
    return status::ok;
}

// ---- USB string descriptors ---------------------------------------------------------------------

constexpr uint32_t control_timeout_ms = 1000;
constexpr uint16_t fallback_language = 0x0409; // English (United States)

status_t fetch_string_descriptor(int usb_fd, uint8_t index, uint16_t language,
                                 std::u16string &text) {
    constexpr uint8_t device_to_host_standard_device = 0x80;
    constexpr uint8_t get_descriptor = 6;
    constexpr uint16_t string_descriptor_type = 3;
    uint8_t buffer[255] = {};
    usbdevfs_ctrltransfer transfer{};
    transfer.bRequestType = device_to_host_standard_device;
    transfer.bRequest = get_descriptor;
    transfer.wValue = static_cast<uint16_t>(string_descriptor_type << 8 | index);
    transfer.wIndex = language;
    transfer.wLength = sizeof buffer;
    transfer.timeout = control_timeout_ms;
    transfer.data = buffer;
    int received = -1;
    do {
        received = ioctl(usb_fd, USBDEVFS_CONTROL, &transfer);
    } while (received < 0 && errno == EINTR);
    if (received < 0)
        return status::no_string;
    return decode_string_descriptor(
        std::span<const uint8_t>(buffer, std::min<std::size_t>(received, sizeof buffer)), text);
}

// ---- Writer thread ------------------------------------------------------------------------------

enum class write_phase { idle, queued, writing, done };

// Shared by a device and its writer thread, each holding a reference, so that a writer still in
// the kernel after its device is gone touches nothing that was freed.
struct write_channel {
    std::mutex mutex;
    // The writer waits on `work` for a report or the stop; callers wait on `changed` for the
    // writer to finish or go idle. Apart, a caller's hand-back never wakes the writer for nothing.
    std::condition_variable work;
    std::condition_variable changed;
    write_phase phase = write_phase::idle;
    // The caller gave up waiting: the writer goes back to idle without waiting to be collected.
    bool abandoned = false;
    bool stopping = false;
    bool finished = false;
    std::vector<uint8_t> report;
    hid_io_result result = hid_io_result::not_started;
    // The writer's own duplicate of the device's descriptor: closing the device's cannot hand the
    // number to another file under a write that is about to start.
    unique_fd fd;
    // Readable once the device goes away, to end a wait for room to write.
    unique_fd wake;
};

hid_io_result write_whole_report(const write_channel &channel) {
    for (;;) {
        const ssize_t written =
            ::write(channel.fd.get(), channel.report.data(), channel.report.size());
        if (written >= 0)
            return static_cast<std::size_t>(written) == channel.report.size()
                       ? hid_io_result::done
                       : hid_io_result::not_started;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return hid_io_result::not_started;
        // The node is non-blocking and full: wait for room, or for the device to go away.
        pollfd waits[2] = {{channel.fd.get(), POLLOUT, 0}, {channel.wake.get(), POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return hid_io_result::not_started;
        }
        if (waits[1].revents != 0)
            return hid_io_result::not_started;
        if ((waits[0].revents & POLLOUT) == 0)
            return hid_io_result::not_started;
    }
}

void run_writer(std::shared_ptr<write_channel> channel) {
    std::unique_lock lock(channel->mutex);
    for (;;) {
        channel->work.wait(
            lock, [&] { return channel->stopping || channel->phase == write_phase::queued; });
        if (channel->stopping)
            break;
        channel->phase = write_phase::writing;
        lock.unlock();
        const hid_io_result result = write_whole_report(*channel);
        lock.lock();
        channel->result = result;
        channel->phase = channel->abandoned ? write_phase::idle : write_phase::done;
        // Woken after the unlock, the caller finds the mutex free instead of blocking on it.
        lock.unlock();
        channel->changed.notify_all();
        lock.lock();
    }
    channel->finished = true;
    channel->changed.notify_all();
}

// ---- Device -------------------------------------------------------------------------------------

class hidraw_device final : public described_hid_device {
  public:
    hidraw_device(unique_fd fd, std::span<const uint8_t> report_descriptor,
                  status_t descriptor_status, std::string hid_device_dir,
                  std::string usb_device_dir, std::string dev_root)
        : fd_(std::move(fd)), hid_device_dir_(std::move(hid_device_dir)),
          usb_device_dir_(std::move(usb_device_dir)), dev_root_(std::move(dev_root)) {
        description_status_ = descriptor_status;
        if (description_status_ == status::ok)
            description_status_ = parse_report_descriptor(report_descriptor, description_);
    }

    hidraw_device(const hidraw_device &) = delete;
    hidraw_device &operator=(const hidraw_device &) = delete;

    // The writer is told to stop and woken from any wait for room. A writer blocked inside a
    // hidraw write cannot be woken (closing a descriptor does not interrupt a system call already
    // using it), so after a grace period the thread is detached: it keeps the channel and its own
    // duplicate descriptor alive, and ends as soon as the kernel returns (usbhid gives up a
    // transfer after a few seconds). It must not outlive the library's code, so a program that
    // unloads the library has to give it that time.
    ~hidraw_device() override {
        if (!writer_thread_.joinable())
            return;
        std::unique_lock lock(channel_->mutex);
        channel_->stopping = true;
        channel_->work.notify_all();
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(channel_->wake.get(), &one, sizeof one);
        const bool finished =
            channel_->changed.wait_for(lock, std::chrono::milliseconds(hidraw_writer_stop_grace_ms),
                                       [&] { return channel_->finished; });
        lock.unlock();
        if (finished)
            writer_thread_.join();
        else
            writer_thread_.detach();
    }

    bool product_string(std::u16string &text) override {
        return read_string("product", "HID_NAME", text);
    }

    bool serial_number_string(std::u16string &text) override {
        return read_string("serial", "HID_UNIQ", text);
    }

    bool indexed_string(uint16_t index, std::u16string &text, std::size_t max_units) override {
        text.clear();
        if (index == 0 || index > 0xFF || usb_device_dir_.empty())
            return false;
        std::string bus_text;
        std::string device_text;
        unsigned bus = 0;
        unsigned device = 0;
        if (!read_attribute(usb_device_dir_ + "/busnum", bus_text) ||
            !read_attribute(usb_device_dir_ + "/devnum", device_text) ||
            !parse_decimal(bus_text, 999, bus) || !parse_decimal(device_text, 999, device))
            return false;
        char node[32];
        std::snprintf(node, sizeof node, "/bus/usb/%03u/%03u", bus, device);
        // Control requests on usbfs need the node open for writing.
        unique_fd usb(::open((dev_root_ + node).c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY));
        if (!usb.valid())
            return false;

        uint16_t language = fallback_language;
        std::u16string languages;
        if (fetch_string_descriptor(usb.get(), 0, 0, languages) == status::ok && !languages.empty())
            language = languages[0];
        if (fetch_string_descriptor(usb.get(), static_cast<uint8_t>(index), language, text) !=
            status::ok)
            return false;
        // One unit is left for the caller's terminator.
        cut_to_units(text, max_units == 0 ? 0 : max_units - 1);
        return true;
    }

    bool flush_input() override {
        std::size_t discarded = 0;
        return discard_input(discarded);
    }

    bool discard_input(std::size_t &reads) override {
        // hidraw queues 64 reports; the bound only keeps a device that streams faster than it
        // is drained from holding the caller here.
        constexpr unsigned max_reads = 1024;
        uint8_t discarded[256];
        for (reads = 0; reads < max_reads; ++reads) {
            pollfd queued{fd_.get(), POLLIN, 0};
            const int ready = poll(&queued, 1, 0);
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            if (ready == 0)
                return true;
            if ((queued.revents & POLLIN) == 0)
                return false; // unplugged
            const ssize_t got = ::read(fd_.get(), discarded, sizeof discarded);
            if (got > 0 || (got < 0 && errno == EINTR))
                continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return true;
            return false;
        }
        return true;
    }

    hid_io_result write_report(const uint8_t *report, std::size_t length,
                               uint32_t timeout_ms) override {
        if (report == nullptr || length == 0 || start_writer() != status::ok)
            return hid_io_result::not_started;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        write_channel &channel = *channel_;
        std::unique_lock lock(channel.mutex);
        // A write the previous caller gave up on may still be under way.
        if (!channel.changed.wait_until(lock, deadline,
                                        [&] { return channel.phase == write_phase::idle; }))
            return hid_io_result::timed_out;
        channel.report.assign(report, report + length);
        channel.abandoned = false;
        channel.phase = write_phase::queued;
        lock.unlock();
        channel.work.notify_one();
        lock.lock();
        if (!channel.changed.wait_until(lock, deadline,
                                        [&] { return channel.phase == write_phase::done; })) {
            channel.abandoned = true;
            return hid_io_result::timed_out;
        }
        channel.phase = write_phase::idle;
        const hid_io_result result = channel.result;
        // Only another caller waiting for its turn cares that the writer is idle again.
        lock.unlock();
        channel.changed.notify_all();
        return result;
    }

    hid_io_result read_report(uint8_t *buffer, std::size_t length, uint32_t timeout_ms) override {
        if (buffer == nullptr || length == 0)
            return hid_io_result::not_started;
        // Without report IDs hidraw hands over the data alone; callers always find the report ID
        // in byte 0, here 0.
        const bool unnumbered = description_status_ == status::ok && !description_.uses_report_ids;
        const uint32_t start = monotonic_ms();
        for (;;) {
            const uint32_t elapsed = monotonic_ms() - start;
            const uint32_t remaining = elapsed >= timeout_ms ? 0 : timeout_ms - elapsed;
            pollfd input{fd_.get(), POLLIN, 0};
            const int ready =
                poll(&input, 1, static_cast<int>(std::min<uint32_t>(remaining, INT_MAX)));
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                return hid_io_result::not_started;
            }
            if (ready == 0)
                return hid_io_result::timed_out;
            if ((input.revents & POLLIN) == 0)
                return hid_io_result::not_started; // unplugged
            // A one-byte buffer still takes a whole report off the queue (hidraw drops what
            // does not fit), so the read always asks for at least one byte.
            uint8_t ignored = 0;
            const ssize_t got = !unnumbered  ? ::read(fd_.get(), buffer, length)
                                : length > 1 ? ::read(fd_.get(), buffer + 1, length - 1)
                                             : ::read(fd_.get(), &ignored, 1);
            if (got > 0) {
                if (unnumbered)
                    buffer[0] = 0;
                return hid_io_result::done;
            }
            if (got == 0)
                return hid_io_result::not_started; // end of stream: the device is gone
            if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
                return hid_io_result::not_started;
            // Another reader took the report; wait for the next one.
        }
    }

    bool send_feature(const uint8_t *report, std::size_t length) override {
        // The ioctl number carries the length in 14 bits.
        constexpr std::size_t max_ioctl_length = (1u << 14) - 1;
        if (report == nullptr || length == 0 || length > max_ioctl_length)
            return false;
        int result = -1;
        do {
            result = ioctl(fd_.get(), HIDIOCSFEATURE(length), report);
        } while (result < 0 && errno == EINTR);
        return result >= 0;
    }

  private:
    // A USB device's strings come from its own attributes; a HID device of another bus has only
    // the name and unique ID the HID core put in its uevent.
    bool read_string(const char *usb_attribute, std::string_view uevent_key, std::u16string &text) {
        std::string utf8;
        if (!usb_device_dir_.empty()) {
            if (!read_attribute(usb_device_dir_ + "/" + usb_attribute, utf8))
                return false;
        } else if (hid_device_dir_.empty() ||
                   !read_uevent_value(hid_device_dir_, uevent_key, utf8) || utf8.empty()) {
            return false;
        }
        text = utf16_from_utf8(utf8);
        return true;
    }

    status_t start_writer() {
        std::lock_guard lock(start_mutex_);
        if (writer_thread_.joinable())
            return status::ok;
        auto channel = std::make_shared<write_channel>();
        channel->fd = unique_fd(fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
        channel->wake = unique_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!channel->fd.valid() || !channel->wake.valid())
            return status::write_not_started;
        // The writer takes no signals: they stay with the program's own threads, and a write to
        // a vanished peer fails with EPIPE instead of raising SIGPIPE.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        status_t result = status::ok;
        try {
            writer_thread_ = std::thread(run_writer, channel);
        } catch (const std::system_error &) {
            result = status::write_not_started;
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (result == status::ok)
            channel_ = std::move(channel);
        return result;
    }

    unique_fd fd_;
    std::string hid_device_dir_;
    std::string usb_device_dir_;
    std::string dev_root_;
    std::mutex start_mutex_;
    std::shared_ptr<write_channel> channel_;
    std::thread writer_thread_;
};

// ---- Backend ------------------------------------------------------------------------------------

class hidraw_backend final : public hid_backend {
  public:
    hidraw_backend(std::string sysfs_root, std::string dev_root)
        : sysfs_root_(std::move(sysfs_root)), dev_root_(std::move(dev_root)) {}

    std::vector<std::string> list_devices() override {
        std::vector<std::pair<unsigned, std::string>> found;
        const std::unique_ptr<DIR, int (*)(DIR *)> directory(
            opendir((sysfs_root_ + "/class/hidraw").c_str()), closedir);
        if (directory == nullptr)
            return {};
        while (const dirent *entry = readdir(directory.get())) {
            unsigned number = 0;
            if (hidraw_number(entry->d_name, number))
                found.emplace_back(number, entry->d_name);
        }
        std::sort(found.begin(), found.end());
        std::vector<std::string> paths;
        paths.reserve(found.size());
        for (const auto &[number, name] : found)
            paths.push_back(dev_root_ + "/" + name);
        return paths;
    }

    std::unique_ptr<hid_device> open_device(const std::string &path) override {
        unique_fd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        if (!fd.valid())
            return nullptr;
        const std::size_t slash = path.rfind('/');
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        // class/hidraw/hidrawN/device leads to the HID device, whose parents lead to its bus.
        std::string hid_device_dir;
        if (!name.empty() && name != "." && name != "..")
            hid_device_dir = canonical_path(sysfs_root_ + "/class/hidraw/" + name + "/device");
        const std::string sysfs_root = canonical_path(sysfs_root_);
        std::string usb_device_dir;
        if (!hid_device_dir.empty() && !sysfs_root.empty())
            usb_device_dir = find_usb_parent(hid_device_dir, sysfs_root);

        std::vector<uint8_t> descriptor;
        const status_t descriptor_status =
            read_report_descriptor(fd.get(), hid_device_dir, descriptor);
        return std::make_unique<hidraw_device>(std::move(fd), descriptor, descriptor_status,
                                               std::move(hid_device_dir), std::move(usb_device_dir),
                                               dev_root_);
    }

  private:
    std::string sysfs_root_;
    std::string dev_root_;
};

} // namespace

std::unique_ptr<hid_device> make_hidraw_device(int fd, std::span<const uint8_t> report_descriptor) {
    return std::make_unique<hidraw_device>(unique_fd(fd), report_descriptor, status::ok,
                                           std::string(), std::string(), std::string());
}

std::unique_ptr<hid_backend> make_hidraw_backend(const std::string &sysfs_root,
                                                 const std::string &dev_root) {
    return std::make_unique<hidraw_backend>(sysfs_root, dev_root);
}

std::unique_ptr<hid_backend> make_native_hid_backend() {
    return make_hidraw_backend("/sys", "/dev");
}

} // namespace vortlink::platform
