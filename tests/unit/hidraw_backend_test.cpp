#include "core/platform/hidraw_backend.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/platform/text_file.h"
#include "support/descriptor_fixture.h"
#include "support/temp_directory.h"

namespace vortlink::platform {
namespace {

using test::read_descriptor_fixture;

namespace fs = std::filesystem;
using bytes = std::vector<uint8_t>;

void write_bytes(const fs::path &path, const bytes &content) {
    test::write_file(path.string(), std::string(content.begin(), content.end()));
}

long elapsed_ms(std::chrono::steady_clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

// ---- A sysfs and /dev tree laid out as the kernel lays it out -----------------------------------

class FakeSystem {
  public:
    FakeSystem() {
        fs::create_directories(sysfs() / "class" / "hidraw");
        fs::create_directories(dev());
        // Above the sysfs root: a walk towards the USB parent must never get this far.
        test::write_file(directory.file("idVendor"), "dead\n");
    }

    fs::path sysfs() const { return fs::path(directory.path()) / "sys"; }
    fs::path dev() const { return fs::path(directory.path()) / "dev"; }
    std::unique_ptr<hid_backend> backend() const {
        return make_hidraw_backend(sysfs().string(), dev().string());
    }

    // A USB device (directory relative to sys/devices) with one HID interface; returns the HID
    // device's directory. A missing value leaves that attribute out.
    fs::path add_usb_device(unsigned number, const std::string &usb_path,
                            const std::vector<std::pair<std::string, std::string>> &attributes,
                            const bytes &descriptor) {
        const fs::path usb = sysfs() / "devices" / usb_path;
        fs::create_directories(usb);
        for (const auto &[name, value] : attributes)
            test::write_file((usb / name).string(), value + "\n");
        const std::string interface = usb.filename().string() + ":1.0";
        fs::create_directories(usb / interface);
        test::write_file((usb / interface / "bInterfaceNumber").string(), "00\n");
        return add_hid_device(number, fs::path(usb_path) / interface, descriptor,
                              "HID_NAME=wrong place for a USB device's name\n");
    }

    fs::path add_hid_device(unsigned number, const fs::path &parent_path, const bytes &descriptor,
                            const std::string &uevent) {
        const std::string hid_name = "0003:1A2B:0C3D." + std::to_string(1000 + number);
        const fs::path hid = sysfs() / "devices" / parent_path / hid_name;
        const std::string node = "hidraw" + std::to_string(number);
        fs::create_directories(hid / "hidraw" / node);
        write_bytes(hid / "report_descriptor", descriptor);
        test::write_file((hid / "uevent").string(), uevent);
        fs::create_directory_symlink(fs::path("..") / ".." / ".." / hid_name,
                                     hid / "hidraw" / node / "device");
        fs::create_directory_symlink(fs::path("..") / ".." / "devices" / parent_path / hid_name /
                                         "hidraw" / node,
                                     sysfs() / "class" / "hidraw" / node);
        test::write_file((dev() / node).string(), "");
        return hid;
    }

    test::temp_directory directory;
};

const std::string controller_usb = "pci0000:00/0000:00:14.0/usb1/1-2";

TEST(HidrawBackend, ListsHidrawNodesInNumericOrder) {
    FakeSystem system;
    const bytes descriptor = read_descriptor_fixture("vendor_64_byte");
    for (const unsigned number : {10u, 2u, 0u, 1u})
        system.add_hid_device(number, "virtual/misc/uhid", descriptor, "");
    for (const char *junk : {"hidraw", "hidrawX", "hidraw-1", "hidraw1a", "event3"})
        fs::create_directory(system.sysfs() / "class" / "hidraw" / junk);

    const std::string dev = system.dev().string();
    EXPECT_EQ(system.backend()->list_devices(),
              (std::vector<std::string>{dev + "/hidraw0", dev + "/hidraw1", dev + "/hidraw2",
                                        dev + "/hidraw10"}));
    EXPECT_TRUE(make_hidraw_backend(system.directory.file("nowhere"), dev)->list_devices().empty());
}

TEST(HidrawBackend, UsbDeviceGivesItsDescriptionAndUsbStrings) {
    FakeSystem system;
    system.add_usb_device(0, controller_usb,
                          {{"idVendor", "1a2b"},
                           {"product", "Kv Quorrel Controller"},
                           {"serial", "QC-000123"},
                           {"busnum", "1"},
                           {"devnum", "5"}},
                          read_descriptor_fixture("quorrel_controller"));
    const auto device = system.backend()->open_device((system.dev() / "hidraw0").string());
    ASSERT_NE(device, nullptr);

    hid_report_lengths lengths;
    ASSERT_TRUE(device->report_lengths(lengths));
    EXPECT_EQ(lengths.input, 113);
    EXPECT_EQ(lengths.output, 113);
    EXPECT_EQ(lengths.feature, 9);
    hid_value_report report;
    ASSERT_TRUE(device->find_value_usage(0xA7, report));
    EXPECT_EQ(report.report_id, 2);
    EXPECT_EQ(report.report_count, 112);
    ASSERT_TRUE(device->find_value_usage(0xAA, report));
    EXPECT_EQ(report.report_id, 5);
    EXPECT_EQ(report.report_count, 8);
    EXPECT_FALSE(device->find_value_usage(0xAB, report));

    std::u16string text;
    ASSERT_TRUE(device->product_string(text));
    EXPECT_EQ(text, u"Kv Quorrel Controller");
    ASSERT_TRUE(device->serial_number_string(text));
    EXPECT_EQ(text, u"QC-000123");
}

TEST(HidrawBackend, DescriptionIsReadOnceAtOpen) {
    FakeSystem system;
    const fs::path hid = system.add_usb_device(0, controller_usb, {{"idVendor", "1a2b"}},
                                               read_descriptor_fixture("quorrel_controller"));
    const auto device = system.backend()->open_device((system.dev() / "hidraw0").string());
    ASSERT_NE(device, nullptr);
    write_bytes(hid / "report_descriptor", {0xC0});
    hid_report_lengths lengths;
    ASSERT_TRUE(device->report_lengths(lengths));
    EXPECT_EQ(lengths.input, 113);
}

TEST(HidrawBackend, MissingUsbAttributesGiveNoString) {
    FakeSystem system;
    system.add_usb_device(0, "pci0000:00/0000:00:14.0/usb1/1-3",
                          {{"idVendor", "046d"}, {"product", "USB Keyboard"}},
                          read_descriptor_fixture("boot_keyboard"));
    system.add_usb_device(1, "pci0000:00/0000:00:14.0/usb1/1-4", {{"idVendor", "046d"}},
                          read_descriptor_fixture("boot_keyboard"));
    const auto backend = system.backend();
    const auto keyboard = backend->open_device((system.dev() / "hidraw0").string());
    const auto bare = backend->open_device((system.dev() / "hidraw1").string());
    ASSERT_NE(keyboard, nullptr);
    ASSERT_NE(bare, nullptr);
    std::u16string text = u"stale";
    EXPECT_TRUE(keyboard->product_string(text));
    EXPECT_EQ(text, u"USB Keyboard");
    // The USB device is there but keeps its serial to itself: the uevent is not asked instead.
    EXPECT_FALSE(keyboard->serial_number_string(text));
    EXPECT_FALSE(bare->product_string(text));
}

TEST(HidrawBackend, DeviceOfAnotherBusTakesItsStringsFromTheUevent) {
    FakeSystem system;
    system.add_hid_device(
        0, "virtual/misc/uhid", read_descriptor_fixture("mouse_with_report_id"),
        "DRIVER=hid-generic\nHID_ID=0005:0000046D:0000B012\n"
        "HID_NAME=MX Master 3\nHID_PHYS=00:1a:7d:da:71:13\n"
        "HID_UNIQ=d4:9b:2a:11:0e:7c\nMODALIAS=hid:b0005g0000v0000046Dp0000B012\n");
    system.add_hid_device(1, "virtual/misc/uhid", read_descriptor_fixture("mouse_with_report_id"),
                          "HID_NAME=Nameless\nHID_UNIQ=\n");
    const auto backend = system.backend();
    const auto mouse = backend->open_device((system.dev() / "hidraw0").string());
    const auto other = backend->open_device((system.dev() / "hidraw1").string());
    ASSERT_NE(mouse, nullptr);
    ASSERT_NE(other, nullptr);
    std::u16string text;
    ASSERT_TRUE(mouse->product_string(text));
    EXPECT_EQ(text, u"MX Master 3");
    ASSERT_TRUE(mouse->serial_number_string(text));
    EXPECT_EQ(text, u"d4:9b:2a:11:0e:7c");
    EXPECT_FALSE(other->serial_number_string(text));
    hid_report_lengths lengths;
    ASSERT_TRUE(mouse->report_lengths(lengths));
    EXPECT_EQ(lengths.input, 7);
    // No USB device, so no string descriptors either.
    EXPECT_FALSE(mouse->indexed_string(1, text, 64));
}

TEST(HidrawBackend, Utf8StringsBecomeUtf16) {
    FakeSystem system;
    system.add_usb_device(0, controller_usb,
                          {{"idVendor", "1a2b"},
                           {"product", "Contr\xC3\xB4leur \xE2\x9A\xA1 \xF0\x9F\x94\xA6"},
                           {"serial", "A\xFF"
                                      "B\xE2\x82"}},
                          read_descriptor_fixture("quorrel_controller"));
    const auto device = system.backend()->open_device((system.dev() / "hidraw0").string());
    ASSERT_NE(device, nullptr);
    std::u16string text;
    ASSERT_TRUE(device->product_string(text));
    EXPECT_EQ(text, u"Contr\u00F4leur \u26A1 \U0001F526");
    ASSERT_TRUE(device->serial_number_string(text));
    EXPECT_EQ(text, u"A\uFFFDB\uFFFD");
}

TEST(HidrawBackend, UnreadableDescriptionsStillOpenButGiveNothing) {
    FakeSystem system;
    bytes truncated = read_descriptor_fixture("quorrel_controller");
    truncated.resize(truncated.size() - 2);
    system.add_usb_device(0, controller_usb, {{"idVendor", "1a2b"}}, truncated);
    const fs::path hid =
        system.add_usb_device(1, "pci0000:00/0000:00:14.0/usb1/1-5", {{"idVendor", "1a2b"}}, {});
    fs::remove(hid / "report_descriptor");
    test::write_file((system.dev() / "hidraw7").string(), ""); // no sysfs entry at all

    const auto backend = system.backend();
    for (const char *node : {"hidraw0", "hidraw1", "hidraw7"}) {
        SCOPED_TRACE(node);
        const auto device = backend->open_device((system.dev() / node).string());
        ASSERT_NE(device, nullptr);
        hid_report_lengths lengths;
        hid_value_report report;
        EXPECT_FALSE(device->report_lengths(lengths));
        EXPECT_FALSE(device->find_value_usage(0xA6, report));
    }
    const auto lost = backend->open_device((system.dev() / "hidraw7").string());
    std::u16string text;
    EXPECT_FALSE(lost->product_string(text));
    EXPECT_FALSE(lost->serial_number_string(text));
    EXPECT_EQ(backend->open_device((system.dev() / "hidraw9").string()), nullptr);
}

TEST(HidrawBackend, IndexedStringsNeedARealUsbNode) {
    FakeSystem system;
    system.add_usb_device(0, controller_usb,
                          {{"idVendor", "1a2b"}, {"busnum", "1"}, {"devnum", "5"}},
                          read_descriptor_fixture("quorrel_controller"));
    system.add_usb_device(1, "pci0000:00/0000:00:14.0/usb1/1-6",
                          {{"idVendor", "1a2b"}, {"busnum", "1"}, {"devnum", "junk"}},
                          read_descriptor_fixture("quorrel_controller"));
    const auto backend = system.backend();
    const auto device = backend->open_device((system.dev() / "hidraw0").string());
    const auto damaged = backend->open_device((system.dev() / "hidraw1").string());
    ASSERT_NE(device, nullptr);
    std::u16string text = u"stale";
    EXPECT_FALSE(device->indexed_string(0, text, 64)); // index 0 lists languages, not text
    EXPECT_TRUE(text.empty());
    EXPECT_FALSE(device->indexed_string(1, text, 64)); // no usbfs node
    // A node that is no usbfs device refuses the control request.
    fs::create_directories(system.dev() / "bus" / "usb" / "001");
    test::write_file((system.dev() / "bus" / "usb" / "001" / "005").string(), "");
    EXPECT_FALSE(device->indexed_string(1, text, 64));
    EXPECT_FALSE(device->indexed_string(256, text, 64));
    EXPECT_FALSE(damaged->indexed_string(1, text, 64));
}

// ---- Text decoding ------------------------------------------------------------------------------

TEST(HidrawText, Utf8DecodesEveryPlaneAndReplacesEachBadSequenceOnce) {
    EXPECT_EQ(utf16_from_utf8(""), u"");
    EXPECT_EQ(utf16_from_utf8("plain"), u"plain");
    EXPECT_EQ(utf16_from_utf8("\xC2\xA9\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBD\xF4\x8F\xBF\xBF"),
              u"\u00A9\u07FF\u0800\uFFFD\U0010FFFF");
    const std::u16string bad = u"\uFFFD";
    // A stray continuation byte and bytes that never start a sequence.
    EXPECT_EQ(utf16_from_utf8("a\x80z"), u"a" + bad + u"z");
    EXPECT_EQ(utf16_from_utf8("\xC0\xAF"), bad + bad); // overlong '/'
    EXPECT_EQ(utf16_from_utf8("\xF5\x80"), bad + bad);
    // Overlong, surrogate and beyond-U+10FFFF forms are refused at their second byte.
    EXPECT_EQ(utf16_from_utf8("\xE0\x80\x80"), bad + bad + bad);
    EXPECT_EQ(utf16_from_utf8("\xED\xA0\x80"), bad + bad + bad);
    EXPECT_EQ(utf16_from_utf8("\xF4\x90\x80\x80"), bad + bad + bad + bad);
    // A sequence cut short is one error, and the byte that cut it is read afresh.
    EXPECT_EQ(utf16_from_utf8("\xE2\x82"), bad);
    EXPECT_EQ(utf16_from_utf8("\xF0\x9F\x94"
                              "A"),
              bad + u"A");
    EXPECT_EQ(utf16_from_utf8("\xE2\x82\xC3\xA9"), bad + u"\u00E9");
    EXPECT_EQ(utf16_from_utf8(std::string("\0x", 2)), std::u16string(u"\0x", 2));
}

TEST(HidrawText, StringDescriptorsAreCheckedBeforeTheyAreRead) {
    std::u16string text;
    // String 0: the language list (English US, German).
    ASSERT_EQ(decode_string_descriptor(bytes{0x06, 0x03, 0x09, 0x04, 0x07, 0x04}, text),
              status::ok);
    EXPECT_EQ(text, (std::u16string{0x0409, 0x0407}));
    const bytes product = {0x0C, 0x03, 'Q', 0, 'u', 0, 0xA1, 0x26, 0x3D, 0xD8, 0x26, 0xDD};
    ASSERT_EQ(decode_string_descriptor(product, text), status::ok);
    EXPECT_EQ(text, u"Qu\u26A1\U0001F526");
    // Bytes after bLength (a transfer of the full buffer) are not part of it.
    ASSERT_EQ(decode_string_descriptor(bytes{0x04, 0x03, 'K', 0, 'v', 0, 0xFF}, text), status::ok);
    EXPECT_EQ(text, u"K");
    ASSERT_EQ(decode_string_descriptor(bytes{0x02, 0x03}, text), status::ok);
    EXPECT_EQ(text, u"");

    for (const bytes &broken :
         {bytes{}, bytes{0x04}, bytes{0x05, 0x03, 'K', 0, 'v'}, bytes{0x0A, 0x03, 'K', 0, 'v', 0},
          bytes{0x04, 0x02, 'K', 0}, bytes{0x01, 0x03}, bytes{0x00, 0x03, 'K', 0}}) {
        text = u"stale";
        EXPECT_EQ(decode_string_descriptor(broken, text), status::no_string) << broken.size();
        EXPECT_TRUE(text.empty());
    }
}

TEST(HidrawText, CuttingNeverSplitsASurrogatePair) {
    std::u16string text = u"ab\U0001F526c";
    cut_to_units(text, 10);
    EXPECT_EQ(text, u"ab\U0001F526c");
    cut_to_units(text, 4);
    EXPECT_EQ(text, u"ab\U0001F526");
    cut_to_units(text, 3);
    EXPECT_EQ(text, u"ab");
    cut_to_units(text, 0);
    EXPECT_EQ(text, u"");
}

// ---- Reports over a socketpair standing in for the node -----------------------------------------

class HidrawIo : public testing::Test {
  protected:
    // The device gets one end of a SOCK_SEQPACKET pair (one report per read, like hidraw), the
    // test keeps the other as the controller's side.
    void open(const std::string &descriptor_name, bool fill_before = false, bool blocking = false) {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
        peer = unique_fd(ends[1]);
        ASSERT_EQ(fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
        if (fill_before) {
            // Queue filler reports until the device's side has no room left.
            const bytes filler(113, 0xF1);
            while (::write(ends[0], filler.data(), filler.size()) > 0)
                ++filler_count;
            ASSERT_EQ(errno, EAGAIN);
            ASSERT_GT(filler_count, 0u);
        }
        if (blocking) {
            ASSERT_EQ(fcntl(ends[0], F_SETFL, 0), 0);
        }
        const bytes descriptor = read_descriptor_fixture(descriptor_name);
        device = make_hidraw_device(ends[0], descriptor);
    }

    void send(const bytes &report) {
        ASSERT_EQ(::write(peer.get(), report.data(), report.size()),
                  static_cast<ssize_t>(report.size()));
    }

    // The next report the device wrote; empty after `timeout_ms` or at the end of the stream.
    bytes receive(int timeout_ms = 10000) {
        pollfd ready{peer.get(), POLLIN, 0};
        if (poll(&ready, 1, timeout_ms) != 1)
            return {};
        bytes report(4096);
        const ssize_t got = ::read(peer.get(), report.data(), report.size());
        report.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return report;
    }

    void drain_fillers() {
        for (unsigned i = 0; i < filler_count; ++i)
            ASSERT_EQ(receive(), bytes(113, 0xF1)) << i;
    }

    static bytes request(uint8_t report_id, uint8_t marker, std::size_t length = 113) {
        bytes report(length, marker);
        report[0] = report_id;
        return report;
    }

    unique_fd peer;
    std::unique_ptr<hid_device> device;
    unsigned filler_count = 0;
};

TEST_F(HidrawIo, NumberedReportsArriveAsSentAndLongOnesAreCut) {
    open("quorrel_controller");
    bytes reply(64);
    for (std::size_t i = 0; i < reply.size(); ++i)
        reply[i] = static_cast<uint8_t>(i * 7);
    reply[0] = 3;
    send(reply);
    send(request(4, 0x44));

    bytes buffer(113, 0xEE);
    ASSERT_EQ(device->read_report(buffer.data(), buffer.size(), 1000), hid_io_result::done);
    EXPECT_TRUE(std::equal(reply.begin(), reply.end(), buffer.begin()));
    EXPECT_EQ(buffer[64], 0xEE);
    // A buffer shorter than the report takes its beginning; the rest of that report is gone.
    bytes short_buffer(10, 0xEE);
    ASSERT_EQ(device->read_report(short_buffer.data(), short_buffer.size(), 1000),
              hid_io_result::done);
    EXPECT_EQ(short_buffer, request(4, 0x44, 10));
    EXPECT_EQ(device->read_report(buffer.data(), buffer.size(), 0), hid_io_result::timed_out);
}

TEST_F(HidrawIo, UnnumberedReportsGetReportIdZeroInFront) {
    open("boot_keyboard");
    const bytes keys = {0x02, 0x00, 0x04, 0x05, 0x00, 0x00, 0x00, 0x00};
    send(keys);
    send(keys);
    bytes buffer(9, 0xEE);
    ASSERT_EQ(device->read_report(buffer.data(), buffer.size(), 1000), hid_io_result::done);
    EXPECT_EQ(buffer, (bytes{0x00, 0x02, 0x00, 0x04, 0x05, 0x00, 0x00, 0x00, 0x00}));
    // A one-byte buffer holds only the report ID, and the report is still taken.
    uint8_t id = 0xEE;
    ASSERT_EQ(device->read_report(&id, 1, 1000), hid_io_result::done);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(device->read_report(buffer.data(), buffer.size(), 0), hid_io_result::timed_out);
    EXPECT_EQ(device->read_report(nullptr, 9, 0), hid_io_result::not_started);
    EXPECT_EQ(device->read_report(buffer.data(), 0, 0), hid_io_result::not_started);
}

TEST_F(HidrawIo, ReadWaitsForTheReportOrTheTimeOut) {
    open("quorrel_controller");
    bytes buffer(113);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(device->read_report(buffer.data(), buffer.size(), 200), hid_io_result::timed_out);
    EXPECT_GE(elapsed_ms(start), 190);
    EXPECT_LT(elapsed_ms(start), 5000);

    // A report that comes while the read waits ends the wait.
    std::thread controller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        send(request(3, 0x33, 64));
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(device->read_report(buffer.data(), buffer.size(), 20000), hid_io_result::done);
    EXPECT_LT(elapsed_ms(start), 10000);
    EXPECT_EQ(buffer[0], 3);
    controller.join();
}

TEST_F(HidrawIo, AnUnpluggedDeviceEndsReadsAndFlushes) {
    open("quorrel_controller");
    send(request(3, 0x33, 64));
    peer.close();
    bytes buffer(113);
    // What was queued before is still delivered.
    EXPECT_EQ(device->read_report(buffer.data(), buffer.size(), 1000), hid_io_result::done);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(device->read_report(buffer.data(), buffer.size(), 20000), hid_io_result::not_started);
    EXPECT_LT(elapsed_ms(start), 10000);
    EXPECT_FALSE(device->flush_input());
    // A write to it fails rather than raising SIGPIPE.
    const bytes report = request(1, 0x11, 64);
    EXPECT_EQ(device->write_report(report.data(), report.size(), 1000), hid_io_result::not_started);
}

TEST_F(HidrawIo, FlushDiscardsEveryQueuedReport) {
    open("quorrel_controller");
    EXPECT_TRUE(device->flush_input());
    for (uint8_t i = 0; i < 8; ++i)
        send(request(3, i, 64));
    EXPECT_TRUE(device->flush_input());
    bytes buffer(113);
    EXPECT_EQ(device->read_report(buffer.data(), buffer.size(), 50), hid_io_result::timed_out);
    send(request(4, 0x44));
    ASSERT_EQ(device->read_report(buffer.data(), buffer.size(), 1000), hid_io_result::done);
    EXPECT_EQ(buffer[0], 4);
}

TEST_F(HidrawIo, WritesGoOutWholeAndInOrder) {
    open("quorrel_controller");
    const bytes first = request(1, 0x11, 64);
    const bytes second = request(2, 0x22);
    EXPECT_EQ(device->write_report(first.data(), first.size(), 5000), hid_io_result::done);
    EXPECT_EQ(device->write_report(second.data(), second.size(), 5000), hid_io_result::done);
    EXPECT_EQ(receive(), first);
    EXPECT_EQ(receive(), second);
    EXPECT_EQ(device->write_report(nullptr, 64, 1000), hid_io_result::not_started);
    EXPECT_EQ(device->write_report(first.data(), 0, 1000), hid_io_result::not_started);
}

TEST_F(HidrawIo, UnnumberedReportsAreWrittenWithTheirZeroByte) {
    open("vendor_64_byte");
    const bytes report = request(0, 0x5A, 65);
    EXPECT_EQ(device->write_report(report.data(), report.size(), 5000), hid_io_result::done);
    EXPECT_EQ(receive(), report);
}

TEST_F(HidrawIo, WritesFromSeveralThreadsEachGetTheirOwnResult) {
    open("quorrel_controller");
    constexpr unsigned writers = 4;
    constexpr unsigned reports_each = 25;
    std::atomic<unsigned> done{0};
    std::vector<std::thread> threads;
    for (unsigned writer = 0; writer < writers; ++writer) {
        threads.emplace_back([&, writer] {
            const bytes report = request(1, static_cast<uint8_t>(writer), 64);
            for (unsigned i = 0; i < reports_each; ++i)
                if (device->write_report(report.data(), report.size(), 20000) ==
                    hid_io_result::done)
                    ++done;
        });
    }
    std::vector<unsigned> received(writers, 0);
    for (unsigned i = 0; i < writers * reports_each; ++i) {
        const bytes report = receive();
        ASSERT_EQ(report.size(), 64u) << i;
        ASSERT_LT(report[1], writers);
        ++received[report[1]];
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(done.load(), writers * reports_each);
    EXPECT_EQ(received, std::vector<unsigned>(writers, reports_each));
}

TEST_F(HidrawIo, AWriteThatTimesOutIsFinishedLater) {
    open("quorrel_controller", /*fill_before=*/true);
    const bytes late = request(2, 0x1A);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(device->write_report(late.data(), late.size(), 200), hid_io_result::timed_out);
    EXPECT_GE(elapsed_ms(start), 190);
    EXPECT_LT(elapsed_ms(start), 5000);
    // While that write waits, the next caller cannot start one.
    const bytes refused = request(2, 0x2B);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(device->write_report(refused.data(), refused.size(), 100), hid_io_result::timed_out);
    EXPECT_GE(elapsed_ms(start), 90);

    drain_fillers();
    EXPECT_EQ(receive(), late);
    const bytes next = request(1, 0x3C, 64);
    EXPECT_EQ(device->write_report(next.data(), next.size(), 20000), hid_io_result::done);
    EXPECT_EQ(receive(), next);
    EXPECT_TRUE(receive(100).empty());
}

TEST_F(HidrawIo, ClosingADeviceEndsAWriteWaitingForRoom) {
    open("quorrel_controller", /*fill_before=*/true);
    const bytes stuck = request(2, 0x5C);
    EXPECT_EQ(device->write_report(stuck.data(), stuck.size(), 100), hid_io_result::timed_out);
    device.reset();
    // The writer gave the report up and closed its descriptor: after the fillers the stream ends.
    drain_fillers();
    EXPECT_TRUE(receive().empty());
}

TEST_F(HidrawIo, ClosingADeviceDoesNotHangOnAWriteStuckInTheKernel) {
    open("quorrel_controller", /*fill_before=*/true, /*blocking=*/true);
    const bytes stuck = request(2, 0x6D);
    EXPECT_EQ(device->write_report(stuck.data(), stuck.size(), 100), hid_io_result::timed_out);
    const auto start = std::chrono::steady_clock::now();
    device.reset();
    EXPECT_GE(elapsed_ms(start), static_cast<long>(hidraw_writer_stop_grace_ms) - 50);
    EXPECT_LT(elapsed_ms(start), 10000);
    // The writer was left to finish: once there is room its report goes out, and then it closes
    // its descriptor, which ends the stream.
    drain_fillers();
    EXPECT_EQ(receive(), stuck);
    EXPECT_TRUE(receive().empty());
}

TEST_F(HidrawIo, FeatureReportsNeedAHidrawNode) {
    open("quorrel_controller");
    const bytes feature = request(5, 0x55, 9);
    EXPECT_FALSE(device->send_feature(feature.data(), feature.size()));
    EXPECT_FALSE(device->send_feature(nullptr, 9));
    EXPECT_FALSE(device->send_feature(feature.data(), 0));
    const bytes huge(1u << 14, 0x05);
    EXPECT_FALSE(device->send_feature(huge.data(), huge.size()));
}

} // namespace
} // namespace vortlink::platform
