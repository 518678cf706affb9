// The system's HID devices through the HID class services: SetupAPI lists the present devices
// of the HID interface class, the HID stack parses each report description (HidP_*), and
// reports move by overlapped ReadFile / WriteFile bounded by the caller's time-out.
#include "core/platform/hid_backend.h"

#include <windows.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <cstring>
#include <vector>

namespace vortlink::platform {

namespace {

// The design's string buffers: 250 bytes, 125 UTF-16 units with the terminator.
constexpr ULONG string_buffer_bytes = 250;

class owned_handle {
  public:
    explicit owned_handle(HANDLE handle = nullptr) : handle_(handle) {}
    ~owned_handle() { reset(); }
    owned_handle(const owned_handle &) = delete;
    owned_handle &operator=(const owned_handle &) = delete;
    HANDLE get() const { return handle_; }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void reset(HANDLE handle = nullptr) {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
        handle_ = handle;
    }

  private:
    HANDLE handle_;
};

std::u16string from_wide(const wchar_t *text, std::size_t max_units) {
    std::u16string result;
    for (std::size_t i = 0; i < max_units && text[i] != L'\0'; ++i)
        result.push_back(static_cast<char16_t>(text[i]));
    return result;
}

class setupapi_device final : public hid_device {
  public:
    setupapi_device(HANDLE handle, HANDLE event, PHIDP_PREPARSED_DATA preparsed)
        : handle_(handle), event_(event), preparsed_(preparsed) {}
    ~setupapi_device() override {
        // A transfer still pending would write into freed memory: cancel it and let it end.
        CancelIoEx(handle_.get(), nullptr);
        if (preparsed_ != nullptr)
            HidD_FreePreparsedData(preparsed_);
    }

    bool report_lengths(hid_report_lengths &lengths) override {
        HIDP_CAPS caps{};
        if (preparsed_ == nullptr || HidP_GetCaps(preparsed_, &caps) != HIDP_STATUS_SUCCESS)
            return false;
        lengths.input = caps.InputReportByteLength;
        lengths.output = caps.OutputReportByteLength;
        lengths.feature = caps.FeatureReportByteLength;
        return true;
    }

    bool find_value_usage(uint16_t usage, hid_value_report &report) override {
        HIDP_CAPS caps{};
        if (preparsed_ == nullptr || HidP_GetCaps(preparsed_, &caps) != HIDP_STATUS_SUCCESS)
            return false;
        const struct {
            HIDP_REPORT_TYPE type;
            USHORT count;
        } kinds[] = {{HidP_Input, caps.NumberInputValueCaps},
                     {HidP_Output, caps.NumberOutputValueCaps},
                     {HidP_Feature, caps.NumberFeatureValueCaps}};
        for (const auto &kind : kinds) {
            if (kind.count == 0)
                continue;
            std::vector<HIDP_VALUE_CAPS> values(kind.count);
            USHORT found = kind.count;
            // Usage page 0 and link collection 0 stand for any.
            if (HidP_GetSpecificValueCaps(kind.type, 0, 0, usage, values.data(), &found,
                                          preparsed_) == HIDP_STATUS_SUCCESS &&
                found > 0) {
                report.report_id = values[0].ReportID;
                report.report_count = values[0].ReportCount;
                return true;
            }
        }
        return false;
    }

    bool product_string(std::u16string &text) override {
        return read_string(text, [this](wchar_t *buffer) {
            return HidD_GetProductString(handle_.get(), buffer, string_buffer_bytes);
        });
    }
    bool serial_number_string(std::u16string &text) override {
        return read_string(text, [this](wchar_t *buffer) {
            return HidD_GetSerialNumberString(handle_.get(), buffer, string_buffer_bytes);
        });
    }
    bool indexed_string(uint16_t index, std::u16string &text, std::size_t max_units) override {
        if (index == 0 || max_units == 0)
            return false;
        std::vector<wchar_t> buffer(max_units + 1, L'\0');
        const auto bytes = static_cast<ULONG>(max_units * sizeof(wchar_t));
        if (!HidD_GetIndexedString(handle_.get(), index, buffer.data(), bytes))
            return false;
        text = from_wide(buffer.data(), max_units - 1);
        return true;
    }

    bool flush_input() override { return HidD_FlushQueue(handle_.get()) != FALSE; }

    hid_io_result write_report(const uint8_t *report, std::size_t length,
                               uint32_t timeout_ms) override {
        std::vector<uint8_t> copy(report, report + length);
        return transfer(copy, timeout_ms, false);
    }

    hid_io_result read_report(uint8_t *buffer, std::size_t length, uint32_t timeout_ms) override {
        // The stack hands over whole input reports only: read one, keep what the caller has room
        // for.
        hid_report_lengths lengths;
        if (!report_lengths(lengths) || lengths.input == 0)
            return hid_io_result::not_started;
        std::vector<uint8_t> report(lengths.input, 0);
        const hid_io_result result = transfer(report, timeout_ms, true);
        if (result == hid_io_result::done)
            std::memcpy(buffer, report.data(), std::min(length, report.size()));
        return result;
    }

    bool send_feature(const uint8_t *report, std::size_t length) override {
        if (length > MAXDWORD)
            return false;
        std::vector<uint8_t> copy(report, report + length);
        return HidD_SetFeature(handle_.get(), copy.data(), static_cast<ULONG>(copy.size())) !=
               FALSE;
    }

  private:
    template <typename Query> static bool read_string(std::u16string &text, Query query) {
        wchar_t buffer[string_buffer_bytes / sizeof(wchar_t) + 1] = {};
        if (!query(buffer))
            return false;
        text = from_wide(buffer, string_buffer_bytes / sizeof(wchar_t));
        return true;
    }

    hid_io_result transfer(std::vector<uint8_t> &bytes, uint32_t timeout_ms, bool reading) {
        if (bytes.size() > MAXDWORD)
            return hid_io_result::not_started;
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        ResetEvent(event_.get());
        DWORD moved = 0;
        const auto size = static_cast<DWORD>(bytes.size());
        const BOOL finished = reading
                                  ? ReadFile(handle_.get(), bytes.data(), size, &moved, &overlapped)
                                  : WriteFile(handle_.get(), bytes.data(), size, &moved, &overlapped);
        if (finished)
            return hid_io_result::done;
        if (GetLastError() != ERROR_IO_PENDING)
            return hid_io_result::not_started;
        if (WaitForSingleObject(event_.get(), timeout_ms) == WAIT_OBJECT_0 &&
            GetOverlappedResult(handle_.get(), &overlapped, &moved, FALSE))
            return hid_io_result::done;
        // Cancelled, then waited for: the buffer and the OVERLAPPED record are ours again.
        CancelIoEx(handle_.get(), &overlapped);
        GetOverlappedResult(handle_.get(), &overlapped, &moved, TRUE);
        return hid_io_result::timed_out;
    }

    owned_handle handle_;
    owned_handle event_;
    PHIDP_PREPARSED_DATA preparsed_;
};

class setupapi_backend final : public hid_backend {
  public:
    std::vector<std::string> list_devices() override {
        std::vector<std::string> paths;
        GUID hid_class{};
        HidD_GetHidGuid(&hid_class);
        HDEVINFO devices =
            SetupDiGetClassDevsA(&hid_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (devices == INVALID_HANDLE_VALUE)
            return paths;
        SP_DEVICE_INTERFACE_DATA interface_data{};
        interface_data.cbSize = sizeof interface_data;
        for (DWORD index = 0;
             SetupDiEnumDeviceInterfaces(devices, nullptr, &hid_class, index, &interface_data);
             ++index) {
            DWORD required = 0;
            SetupDiGetDeviceInterfaceDetailA(devices, &interface_data, nullptr, 0, &required,
                                             nullptr);
            if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
                continue;
            std::vector<unsigned char> storage(required);
            auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(storage.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            if (SetupDiGetDeviceInterfaceDetailA(devices, &interface_data, detail, required,
                                                 nullptr, nullptr))
                paths.emplace_back(detail->DevicePath);
        }
        SetupDiDestroyDeviceInfoList(devices);
        return paths;
    }

    std::unique_ptr<hid_device> open_device(const std::string &path) override {
        owned_handle handle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED, nullptr));
        if (handle.get() == INVALID_HANDLE_VALUE || handle.get() == nullptr)
            return nullptr;
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        if (!HidD_GetPreparsedData(handle.get(), &preparsed))
            preparsed = nullptr; // report_lengths then says the description is unreadable
        // Manual-reset, not signalled: it tells the end of each of this device's transfers.
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (event == nullptr) {
            if (preparsed != nullptr)
                HidD_FreePreparsedData(preparsed);
            return nullptr;
        }
        return std::make_unique<setupapi_device>(handle.release(), event, preparsed);
    }
};

} // namespace

std::unique_ptr<hid_backend> make_native_hid_backend() {
    return std::make_unique<setupapi_backend>();
}

} // namespace vortlink::platform
