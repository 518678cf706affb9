#include "usb_testbed.h"

#include <gtest/gtest.h>
#include <umockdev.h>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vortlink::test {

namespace {

using steady = std::chrono::steady_clock;

// hidraw keeps this many input reports per open descriptor and drops newer ones.
constexpr std::size_t input_queue_limit = 64;
constexpr unsigned hidraw_major = 241;
constexpr unsigned usbfs_major = 189;
constexpr unsigned bus_number = 1;
constexpr char vendor_id[] = "fff0";
constexpr char product_id[] = "0001";

// The bytes of a descriptor fixture: hex bytes, '#' starts a comment.
std::vector<uint8_t> read_descriptor_fixture(const std::string &path) {
    std::ifstream in(path);
    std::vector<uint8_t> bytes;
    for (std::string line; std::getline(in, line);) {
        std::istringstream items(line.substr(0, line.find('#')));
        for (std::string item; items >> item;)
            bytes.push_back(static_cast<uint8_t>(std::stoul(item, nullptr, 16)));
    }
    return bytes;
}

std::string take_gstring(gchar *text) {
    std::string result = text != nullptr ? text : "";
    g_free(text);
    return result;
}

// A USB string descriptor of the text (ASCII, widened unit by unit), cut to 255 bytes.
std::vector<uint8_t> string_descriptor(const std::string &text) {
    const std::size_t units = std::min<std::size_t>(text.size(), 126);
    std::vector<uint8_t> bytes{static_cast<uint8_t>(2 + 2 * units), 3};
    for (std::size_t i = 0; i < units; ++i)
        bytes.insert(bytes.end(), {static_cast<uint8_t>(text[i]), 0});
    return bytes;
}

// The client's memory that a pointer at `offset` in `parent` points to, `length` bytes of it.
struct data_unref {
    void operator()(UMockdevIoctlData *data) const { g_object_unref(data); }
};
using data_ref = std::unique_ptr<UMockdevIoctlData, data_unref>;

data_ref resolve(UMockdevIoctlData *parent, std::size_t offset, std::size_t length) {
    return data_ref(umockdev_ioctl_data_resolve(parent, offset, length, nullptr));
}

bool set_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

} // namespace

struct usb_testbed::node {
    usb_testbed *bed = nullptr;
    std::size_t index = 0;
    emulated_controller options;
    std::unique_ptr<sim::device> model;
    unsigned devnum = 0;
    std::string hidraw_dev; // /dev/hidrawN
    std::string usbfs_dev;  // /dev/bus/usb/BBB/DDD
    UMockdevIoctlBase *hidraw_handler = nullptr;
    UMockdevIoctlBase *usbfs_handler = nullptr;
    // sysfs paths while plugged in, child first.
    std::vector<std::string> sysfs;

    // Under the testbed's mutex_.
    bool present = false;
    unsigned generation = 0; // of the present plugging; descriptors of an older one are stale
    unsigned plugs = 0;
    std::deque<std::vector<uint8_t>> input;
    int master = -1; // the terminal's side the emulation reads output reports from
    int slave = -1;  // the emulation's own descriptor of the node's side, for the poll bytes
    bool unplug_on_next = false;
    std::map<UMockdevIoctlClient *, unsigned> clients; // generation each connected in
    int reader_stop = -1;
    std::thread reader;
};

// The ioctl handlers' signal callbacks, run on umockdev's worker thread. They never block.
struct handler_access {
    using node = usb_testbed::node;

    static void connected(UMockdevIoctlBase *, UMockdevIoctlClient *client, node *target) {
        std::lock_guard lock(target->bed->mutex_);
        target->clients[client] = target->generation;
    }

    static void vanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, node *target) {
        std::lock_guard lock(target->bed->mutex_);
        target->clients.erase(client);
    }

    // Whether the client's descriptor was opened on the present plugging.
    static bool current(const node &target, UMockdevIoctlClient *client) {
        const auto found = target.clients.find(client);
        const unsigned generation =
            found != target.clients.end() ? found->second : target.generation;
        return target.present && generation == target.generation;
    }

    static void count(node &target, const char *name) { ++target.bed->reached_[name]; }

    // The kernel's answer to a pointer it cannot follow.
    static gboolean fault(UMockdevIoctlClient *client) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }

    static gboolean hidraw_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, node *target) {
        usb_testbed &bed = *target->bed;
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        const gulong sized_request = request & ~(gulong(_IOC_SIZEMASK) << _IOC_SIZESHIFT);
        std::unique_lock lock(bed.mutex_);
        if (!current(*target, client)) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        if (request == HIDIOCGRDESCSIZE || request == HIDIOCGRDESC) {
            count(*target, request == HIDIOCGRDESC ? "HIDIOCGRDESC" : "HIDIOCGRDESCSIZE");
            if (target->options.refuse_descriptor_ioctls) {
                umockdev_ioctl_client_complete(client, -1, ENOTTY);
                return TRUE;
            }
            if (request == HIDIOCGRDESCSIZE) {
                const data_ref size = resolve(arg, 0, sizeof(int));
                if (!size)
                    return fault(client);
                int value = static_cast<int>(bed.descriptor_.size());
                umockdev_ioctl_data_update(size.get(), 0, reinterpret_cast<guint8 *>(&value),
                                           sizeof value);
            } else {
                const data_ref descriptor = resolve(arg, 0, sizeof(hidraw_report_descriptor));
                if (!descriptor)
                    return fault(client);
                uint32_t asked = 0;
                std::memcpy(&asked, descriptor->data, sizeof asked);
                const auto given =
                    static_cast<int>(std::min<std::size_t>(asked, bed.descriptor_.size()));
                umockdev_ioctl_data_update(descriptor.get(),
                                           offsetof(hidraw_report_descriptor, value),
                                           bed.descriptor_.data(), given);
            }
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        if (sized_request == HIDIOCSFEATURE(0)) {
            count(*target, "HIDIOCSFEATURE");
            const std::size_t length = _IOC_SIZE(request);
            const data_ref bytes = resolve(arg, 0, length);
            if (!bytes)
                return fault(client);
            const std::vector<uint8_t> report(bytes->data, bytes->data + length);
            lock.unlock();
            if (!sim::usb_feature_accepted(*target->model, report)) {
                umockdev_ioctl_client_complete(client, -1, EPIPE);
                return TRUE;
            }
            target->model->usb.record_feature(report);
            // The controller takes the report before it acts on it: a restart takes it off the
            // bus after this ioctl has returned.
            umockdev_ioctl_client_complete(client, static_cast<glong>(length), 0);
            target->model->model.take_feature(static_cast<uint16_t>(report[1] << 8 | report[2]));
            return TRUE;
        }
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }

    static gboolean hidraw_read(UMockdevIoctlBase *, UMockdevIoctlClient *client, node *target) {
        usb_testbed &bed = *target->bed;
        UMockdevIoctlData *buffer = umockdev_ioctl_client_get_arg(client);
        std::lock_guard lock(bed.mutex_);
        if (!current(*target, client)) {
            umockdev_ioctl_client_complete(client, -1, EIO);
            return TRUE;
        }
        if (target->input.empty()) {
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            return TRUE;
        }
        count(*target, "read");
        const std::vector<uint8_t> report = std::move(target->input.front());
        target->input.pop_front();
        uint8_t marker = 0;
        [[maybe_unused]] const ssize_t taken = ::read(target->slave, &marker, 1);
        const auto given = static_cast<int>(std::min<std::size_t>(report.size(), buffer->data_len));
        umockdev_ioctl_data_update(buffer, 0, const_cast<guint8 *>(report.data()), given);
        umockdev_ioctl_client_complete(client, given, 0);
        return TRUE;
    }

    static gboolean hidraw_write(UMockdevIoctlBase *, UMockdevIoctlClient *client, node *target) {
        usb_testbed &bed = *target->bed;
        UMockdevIoctlData *bytes = umockdev_ioctl_client_get_arg(client);
        std::vector<uint8_t> report(bytes->data, bytes->data + bytes->data_len);
        unsigned generation = 0;
        {
            std::lock_guard lock(bed.mutex_);
            if (!current(*target, client)) {
                umockdev_ioctl_client_complete(client, -1, ENODEV);
                return TRUE;
            }
            generation = target->generation;
        }
        umockdev_ioctl_client_complete(client, static_cast<glong>(report.size()), 0);
        bed.take_output(*target, generation, std::move(report), "write to handler");
        return TRUE;
    }

    static gboolean usbfs_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, node *target) {
        constexpr uint8_t device_to_host = 0x80;
        constexpr uint8_t get_descriptor = 6;
        constexpr unsigned string_type = 3;
        usb_testbed &bed = *target->bed;
        if (umockdev_ioctl_client_get_request(client) != USBDEVFS_CONTROL) {
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return TRUE;
        }
        {
            std::lock_guard lock(bed.mutex_);
            if (!current(*target, client)) {
                umockdev_ioctl_client_complete(client, -1, ENODEV);
                return TRUE;
            }
            count(*target, "USBDEVFS_CONTROL");
        }
        const data_ref transfer =
            resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_ctrltransfer));
        if (!transfer)
            return fault(client);
        usbdevfs_ctrltransfer setup{};
        std::memcpy(&setup, transfer->data, sizeof setup);
        std::vector<uint8_t> answer;
        if (setup.bRequestType == device_to_host && setup.bRequest == get_descriptor &&
            setup.wValue >> 8 == string_type) {
            const unsigned index = setup.wValue & 0xFF;
            if (index == 0) {
                answer = {4, 3, 0x09, 0x04}; // English (United States) only
            } else if (const auto text =
                           sim::usb_indexed_string(*target->model, static_cast<uint16_t>(index))) {
                answer = string_descriptor(*text);
            }
        }
        if (answer.empty()) {
            umockdev_ioctl_client_complete(client, -1, EPIPE); // the device stalls
            return TRUE;
        }
        const auto given = static_cast<int>(std::min<std::size_t>(answer.size(), setup.wLength));
        const data_ref data =
            resolve(transfer.get(), offsetof(usbdevfs_ctrltransfer, data), setup.wLength);
        if (!data)
            return fault(client);
        umockdev_ioctl_data_update(data.get(), 0, answer.data(), given);
        umockdev_ioctl_client_complete(client, given, 0);
        return TRUE;
    }
};

usb_testbed::usb_testbed(const std::vector<emulated_controller> &controllers) {
    descriptor_ = read_descriptor_fixture(VORTLINK_HIDRAW_FIXTURES "/quorrel_controller.hex");
    EXPECT_EQ(descriptor_, sim::build_report_descriptor(layout_, true))
        << "the descriptor fixture and the controller model describe different reports";
    testbed_ = umockdev_testbed_new();
    if (!umockdev_in_mock_environment()) {
        ADD_FAILURE() << "not under umockdev's preload library: run the test through "
                         "umockdev-wrapper (ctest does)";
        g_object_unref(testbed_);
        testbed_ = nullptr;
        return;
    }
    root_ = take_gstring(umockdev_testbed_get_root_dir(testbed_));
    for (std::size_t i = 0; i < controllers.size(); ++i) {
        auto target = std::make_unique<node>();
        target->bed = this;
        target->index = i;
        target->options = controllers[i];
        sim::usb_identity identity;
        char serial[32];
        std::snprintf(serial, sizeof serial, "Q%07zu", i + 1);
        identity.serial = controllers[i].serial.empty() ? serial : controllers[i].serial;
        sim::controller_settings settings;
        settings.serial_number = identity.serial;
        settings.hw_version = identity.hw_version;
        settings.start_in_boot_loader = controllers[i].start_in_boot_loader;
        settings.restart_delay_ms = restart_delay_ms;
        target->model =
            std::make_unique<sim::device>(settings, "emulated-" + std::to_string(i + 1), identity);
        target->devnum = static_cast<unsigned>(2 + i);
        target->hidraw_dev = "/dev/hidraw" + std::to_string(i);
        char usbfs[32];
        std::snprintf(usbfs, sizeof usbfs, "/dev/bus/usb/%03u/%03u", bus_number, target->devnum);
        target->usbfs_dev = usbfs;

        node *raw = target.get();
        target->hidraw_handler = umockdev_ioctl_base_new();
        target->usbfs_handler = umockdev_ioctl_base_new();
        for (UMockdevIoctlBase *handler : {target->hidraw_handler, target->usbfs_handler}) {
            g_signal_connect(handler, "client-connected", G_CALLBACK(handler_access::connected),
                             raw);
            g_signal_connect(handler, "client-vanished", G_CALLBACK(handler_access::vanished), raw);
        }
        g_signal_connect(target->hidraw_handler, "handle-ioctl",
                         G_CALLBACK(handler_access::hidraw_ioctl), raw);
        g_signal_connect(target->hidraw_handler, "handle-read",
                         G_CALLBACK(handler_access::hidraw_read), raw);
        g_signal_connect(target->hidraw_handler, "handle-write",
                         G_CALLBACK(handler_access::hidraw_write), raw);
        g_signal_connect(target->usbfs_handler, "handle-ioctl",
                         G_CALLBACK(handler_access::usbfs_ioctl), raw);
        GError *error = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed_, target->hidraw_dev.c_str(),
                                           target->hidraw_handler, &error) ||
            !umockdev_testbed_attach_ioctl(testbed_, target->usbfs_dev.c_str(),
                                           target->usbfs_handler, &error)) {
            ADD_FAILURE() << "cannot attach the ioctl handlers: "
                          << (error != nullptr ? error->message : "?");
            g_clear_error(&error);
        }
        target->model->model.add_restart_listener([this, i](sim::firmware_kind, uint32_t off_ms) {
            const auto now = steady::now();
            post({now, i, bus_action::unplug, 0, {}});
            post({now + std::chrono::milliseconds(off_ms), i, bus_action::plug, 0, {}});
        });
        nodes_.push_back(std::move(target));
    }
    bus_ = std::thread([this] { run_bus(); });
    for (std::size_t i = 0; i < nodes_.size(); ++i)
        plug(i);
}

usb_testbed::~usb_testbed() {
    if (bus_.joinable()) {
        {
            std::lock_guard lock(queue_mutex_);
            stopping_ = true;
        }
        queue_changed_.notify_all();
        bus_.join();
    }
    for (std::size_t i = 0; i < nodes_.size(); ++i)
        unplug(i);
    for (auto &target : nodes_) {
        umockdev_testbed_detach_ioctl(testbed_, target->hidraw_dev.c_str(), nullptr);
        umockdev_testbed_detach_ioctl(testbed_, target->usbfs_dev.c_str(), nullptr);
        g_object_unref(target->hidraw_handler);
        g_object_unref(target->usbfs_handler);
    }
    if (testbed_ != nullptr)
        g_object_unref(testbed_);
}

sim::device &usb_testbed::controller(std::size_t index) {
    return *nodes_.at(index)->model;
}

void usb_testbed::plug(std::size_t index) {
    std::lock_guard bus(bus_mutex_);
    plug_locked(*nodes_.at(index));
}

void usb_testbed::unplug(std::size_t index) {
    std::lock_guard bus(bus_mutex_);
    unplug_locked(*nodes_.at(index));
}

unsigned usb_testbed::plug_count(std::size_t index) {
    std::lock_guard lock(mutex_);
    return nodes_.at(index)->plugs;
}

bool usb_testbed::wait_plugged(std::size_t index, unsigned count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    node &target = *nodes_.at(index);
    return plugged_.wait_for(lock, limit, [&] { return target.present && target.plugs >= count; });
}

void usb_testbed::unplug_on_next_report(std::size_t index) {
    std::lock_guard lock(mutex_);
    nodes_.at(index)->unplug_on_next = true;
}

void usb_testbed::send_input_report(std::size_t index, std::vector<uint8_t> report) {
    node &target = *nodes_.at(index);
    unsigned generation = 0;
    {
        std::lock_guard lock(mutex_);
        generation = target.generation;
    }
    deliver(target, generation, report);
}

void usb_testbed::stop_taking_reports(std::size_t index) {
    // A stopped terminal has no room for output: a write to the node finds none (EAGAIN on a
    // non-blocking descriptor) and poll never reports POLLOUT.
    std::lock_guard lock(mutex_);
    node &target = *nodes_.at(index);
    if (target.present && tcflow(target.slave, TCOOFF) != 0)
        ADD_FAILURE() << "tcflow: " << std::strerror(errno);
}

std::map<std::string, unsigned> usb_testbed::reached() {
    std::lock_guard lock(mutex_);
    return reached_;
}

void usb_testbed::post(bus_action action) {
    {
        std::lock_guard lock(queue_mutex_);
        queue_.push_back(std::move(action));
    }
    queue_changed_.notify_all();
}

void usb_testbed::run_bus() {
    std::unique_lock lock(queue_mutex_);
    for (;;) {
        if (stopping_)
            return;
        const auto next =
            std::min_element(queue_.begin(), queue_.end(),
                             [](const auto &a, const auto &b) { return a.due < b.due; });
        if (next == queue_.end()) {
            queue_changed_.wait(lock);
            continue;
        }
        if (next->due > steady::now()) {
            queue_changed_.wait_until(lock, next->due);
            continue;
        }
        bus_action action = std::move(*next);
        queue_.erase(next);
        lock.unlock();
        node &target = *nodes_.at(action.index);
        switch (action.kind) {
        case bus_action::unplug:
            unplug(action.index);
            break;
        case bus_action::plug:
            plug(action.index);
            break;
        case bus_action::deliver:
            deliver(target, action.generation, action.report);
            break;
        }
        lock.lock();
    }
}

void usb_testbed::plug_locked(node &target) {
    if (testbed_ == nullptr)
        return;
    {
        std::lock_guard lock(mutex_);
        if (target.present)
            return;
    }
    int master = -1;
    int slave = -1;
    char terminal[256] = {};
    if (openpty(&master, &slave, terminal, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty: " << std::strerror(errno);
        return;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    set_nonblocking(master);
    set_nonblocking(slave);

    const sim::usb_identity identity = target.model->usb.identity();
    const std::string number = std::to_string(target.index + 1);
    const std::string usbfs_number = std::to_string(usbfs_major) + ":" +
                                     std::to_string((bus_number - 1) * 128 + target.devnum - 1);
    const std::string devnum = std::to_string(target.devnum);
    const std::string busnum = std::to_string(bus_number);
    // A HID device of another bus (Bluetooth here) has neither the USB device above it nor a
    // usbfs node.
    std::string usb;
    std::string interface;
    if (target.options.on_usb) {
        usb = take_gstring(umockdev_testbed_add_device(
            testbed_, "usb", ("1-" + number).c_str(), nullptr, "idVendor", vendor_id, "idProduct",
            product_id, "product", identity.product.c_str(), "busnum", busnum.c_str(), "devnum",
            devnum.c_str(), "dev", usbfs_number.c_str(), nullptr, "DEVNAME",
            target.usbfs_dev.c_str(), "DEVTYPE", "usb_device", nullptr));
        if (identity.serial_readable)
            umockdev_testbed_set_attribute(testbed_, usb.c_str(), "serial",
                                           identity.serial.c_str());
        interface = take_gstring(umockdev_testbed_add_device(
            testbed_, "usb", ("1-" + number + ":1.0").c_str(), usb.c_str(), "bInterfaceClass", "03",
            nullptr, "DEVTYPE", "usb_interface", nullptr));
    }
    char hid_name[32];
    std::snprintf(hid_name, sizeof hid_name, "%s:%s:%s.%04zX",
                  target.options.on_usb ? "0003" : "0005", vendor_id, product_id, target.index + 1);
    const std::string hid = take_gstring(umockdev_testbed_add_device(
        testbed_, "hid", hid_name, target.options.on_usb ? interface.c_str() : nullptr, nullptr,
        "HID_NAME", identity.product.c_str(), "HID_UNIQ", identity.serial.c_str(), nullptr));
    umockdev_testbed_set_attribute_binary(testbed_, hid.c_str(), "report_descriptor",
                                          descriptor_.data(),
                                          static_cast<gint>(descriptor_.size()));
    const std::string hidraw_number =
        std::to_string(hidraw_major) + ":" + std::to_string(target.index);
    const std::string hidraw = take_gstring(umockdev_testbed_add_device(
        testbed_, "hidraw", ("hidraw/hidraw" + std::to_string(target.index)).c_str(), hid.c_str(),
        "dev", hidraw_number.c_str(), nullptr, "DEVNAME", target.hidraw_dev.c_str(), nullptr));
    umockdev_testbed_set_attribute_link(testbed_, hidraw.c_str(), "device", "../..");
    target.sysfs = {hidraw, hid};
    if (target.options.on_usb)
        target.sysfs.insert(target.sysfs.end(), {interface, usb});

    // The nodes: the terminal, and a plain file that only takes ioctls.
    namespace fs = std::filesystem;
    if (target.options.on_usb) {
        const fs::path usbfs_node = root_ + target.usbfs_dev;
        fs::create_directories(usbfs_node.parent_path());
        std::ofstream(usbfs_node).close();
    }
    fs::create_symlink(terminal, root_ + target.hidraw_dev);

    const int stop = eventfd(0, EFD_CLOEXEC);
    std::lock_guard lock(mutex_);
    target.master = master;
    target.slave = slave;
    target.reader_stop = stop;
    target.input.clear();
    target.unplug_on_next = false;
    target.present = true;
    ++target.generation;
    ++target.plugs;
    target.reader = std::thread([this, &target, generation = target.generation, master, stop] {
        read_node(target, generation, master, stop);
    });
    plugged_.notify_all();
}

void usb_testbed::unplug_locked(node &target) {
    std::thread reader;
    int master = -1;
    int slave = -1;
    int stop = -1;
    {
        std::lock_guard lock(mutex_);
        if (!target.present)
            return;
        target.present = false;
        target.input.clear();
        reader = std::move(target.reader);
        std::swap(master, target.master);
        std::swap(slave, target.slave);
        std::swap(stop, target.reader_stop);
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t woken = ::write(stop, &one, sizeof one);
    }
    if (reader.joinable())
        reader.join();
    for (const std::string &path : target.sysfs)
        umockdev_testbed_remove_device(testbed_, path.c_str());
    target.sysfs.clear();
    std::error_code ignored;
    std::filesystem::remove(root_ + target.hidraw_dev, ignored);
    std::filesystem::remove(root_ + target.usbfs_dev, ignored);
    // Closing the terminal's other side hangs up every descriptor open on the node.
    ::close(master);
    ::close(slave);
    ::close(stop);
}

void usb_testbed::read_node(node &target, unsigned generation, int master, int stop) {
    const std::size_t report_length = layout_.longest_report();
    std::vector<uint8_t> pending;
    uint8_t chunk[4096];
    for (;;) {
        pollfd waits[2] = {{master, POLLIN, 0}, {stop, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0 && errno != EINTR)
            return;
        if (waits[1].revents != 0)
            return;
        const ssize_t got = ::read(master, chunk, sizeof chunk);
        if (got <= 0) {
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            return;
        }
        pending.insert(pending.end(), chunk, chunk + got);
        // hidraw writes are whole output reports, each as long as the longest one.
        while (pending.size() >= report_length) {
            std::vector<uint8_t> report(pending.begin(), pending.begin() + report_length);
            pending.erase(pending.begin(), pending.begin() + report_length);
            take_output(target, generation, std::move(report), "write to node");
        }
    }
}

void usb_testbed::take_output(node &target, unsigned generation, std::vector<uint8_t> report,
                              const char *via) {
    {
        std::lock_guard lock(mutex_);
        if (!target.present || target.generation != generation)
            return;
        ++reached_[via];
        if (target.unplug_on_next) {
            target.unplug_on_next = false;
            post({steady::now(), target.index, bus_action::unplug, 0, {}});
            return;
        }
    }
    // A report the controller does not take is dropped, as on the wire.
    if (!sim::usb_output_accepted(layout_, report))
        return;
    sim::usb_reply_plan plan = sim::answer_output_report(*target.model, layout_, report);
    if (plan.report.empty())
        return;
    if (plan.delay_ms == 0) {
        deliver(target, generation, plan.report);
        return;
    }
    post({steady::now() + std::chrono::milliseconds(plan.delay_ms), target.index,
          bus_action::deliver, generation, std::move(plan.report)});
}

void usb_testbed::deliver(node &target, unsigned generation, const std::vector<uint8_t> &report) {
    std::lock_guard lock(mutex_);
    if (!target.present || target.generation != generation ||
        target.input.size() >= input_queue_limit)
        return;
    target.input.push_back(report);
    const uint8_t marker = 1;
    [[maybe_unused]] const ssize_t written = ::write(target.master, &marker, 1);
}

} // namespace vortlink::test
