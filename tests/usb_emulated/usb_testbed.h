#pragma once
// Quorrel controllers on an emulated USB bus, for tests that run the library's hidraw backend
// unchanged: with its real roots (/sys, /dev) and its real system calls, which umockdev's
// preload library (umockdev-wrapper) redirects into a testbed that this class builds.
//
// Each controller is a USB device with its product and serial attributes, its HID interface and
// HID device (report descriptor from tests/fixtures/hidraw), a hidraw node and a usbfs node. The
// controller model behind them is quorrel-sim's (quorrel_sim_core):
// - the hidraw node is a pseudo-terminal in raw mode, so that poll, read and write on it, and on
//   duplicates of its descriptor, are real system calls. Output reports written to it are taken
//   from the terminal's other side and answered by the model. Reads, the report descriptor
//   ioctls and HIDIOCSFEATURE are answered by an ioctl handler: a read hands over one whole
//   queued input report, as hidraw does, and each queued report keeps one byte waiting on the
//   terminal so that poll sees it;
// - the usbfs node answers USBDEVFS_CONTROL GET_DESCRIPTOR(string) from the model's strings;
// - unplugging removes the devices and hangs the terminal up, so that a descriptor still open
//   on the node sees POLLHUP and its reads and ioctls fail, as on a real unplug. A restart of the
//   model (a feature report, say) unplugs the controller and plugs it in again after its restart
//   delay.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "usb_reports.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace vortlink::test {

struct emulated_controller {
    // Empty: Q0000001, Q0000002, ... by position, as quorrel-sim names them.
    std::string serial;
    bool start_in_boot_loader = false;
    // The hidraw node answers the report descriptor ioctls with ENOTTY, as a node that is no
    // hidraw device does; the descriptor then comes only from sysfs.
    bool refuse_descriptor_ioctls = false;
    // False: a HID device of another bus, with its name and serial number only in its uevent.
    bool on_usb = true;
};

class usb_testbed {
  public:
    // How long a restart keeps a controller off the bus.
    static constexpr uint32_t restart_delay_ms = 300;

    // Builds the testbed with the controllers plugged in. Outside umockdev's preload the test
    // fails (and the controllers are not there).
    explicit usb_testbed(const std::vector<emulated_controller> &controllers);
    // Every descriptor the code under test opened on the nodes must be closed by now.
    ~usb_testbed();
    usb_testbed(const usb_testbed &) = delete;
    usb_testbed &operator=(const usb_testbed &) = delete;

    sim::device &controller(std::size_t index);
    void unplug(std::size_t index);
    void plug(std::size_t index);
    // How often the controller was plugged in, restarts included.
    unsigned plug_count(std::size_t index);
    // Waits up to `limit` until the controller has been plugged in `count` times and is present.
    bool wait_plugged(std::size_t index, unsigned count, std::chrono::milliseconds limit);
    // The controller's next output report takes it off the bus instead of being answered.
    void unplug_on_next_report(std::size_t index);
    // An input report the controller sends unasked (report ID first).
    void send_input_report(std::size_t index, std::vector<uint8_t> report);
    // No output report is taken from the node any more: a write waits for room that never
    // comes.
    void stop_taking_reports(std::size_t index);

    // What reached the emulation, by name: the ioctls ("HIDIOCGRDESCSIZE", "HIDIOCGRDESC",
    // "HIDIOCSFEATURE", "USBDEVFS_CONTROL"), "read" (on the node), "write to node" (taken from
    // the terminal) and "write to handler" (a write on the node's own descriptor).
    std::map<std::string, unsigned> reached();

    struct node;

  private:
    struct bus_action {
        std::chrono::steady_clock::time_point due;
        std::size_t index;
        enum { unplug, plug, deliver } kind;
        unsigned generation = 0;
        std::vector<uint8_t> report;
    };

    friend struct handler_access;
    void post(bus_action action);
    void run_bus();
    void plug_locked(node &target);
    void unplug_locked(node &target);
    void take_output(node &target, unsigned generation, std::vector<uint8_t> report,
                     const char *via);
    void deliver(node &target, unsigned generation, const std::vector<uint8_t> &report);
    void read_node(node &target, unsigned generation, int master, int stop);

    UMockdevTestbed *testbed_ = nullptr;
    std::string root_;
    std::vector<uint8_t> descriptor_;
    const sim::usb_layout layout_{};
    std::vector<std::unique_ptr<node>> nodes_;

    // Node state, the handlers' and the readers' (see node).
    std::mutex mutex_;
    std::condition_variable plugged_;
    std::map<std::string, unsigned> reached_;
    // Plugging and unplugging, one at a time: they change the testbed.
    std::mutex bus_mutex_;

    std::mutex queue_mutex_;
    std::condition_variable queue_changed_;
    std::vector<bus_action> queue_;
    bool stopping_ = false;
    std::thread bus_;
};

} // namespace vortlink::test
