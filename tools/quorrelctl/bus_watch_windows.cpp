// Device notifications: a message-only window registered for the HID device interface class
// hears WM_DEVICECHANGE when a HID device arrives or is removed. (RegisterDeviceNotification
// rather than CM_Register_Notification, which Wine 8 lacks.) The window belongs to the thread
// that made the watch, which is the thread that waits on it.

#include <windows.h>

#include <dbt.h>
// mingw-w64's HID header declares C functions without saying so to C++.
extern "C" {
#include <hidsdi.h>
}

#include <chrono>

#include "bus_watch.h"

namespace vortlink::platform {

namespace {

constexpr wchar_t window_class_name[] = L"QuorrelctlBusWatch";

class device_notification_watch final : public usb_bus_watch {
  public:
    device_notification_watch() = default;
    ~device_notification_watch() override {
        if (notification_ != nullptr)
            ::UnregisterDeviceNotification(notification_);
        if (window_ != nullptr)
            ::DestroyWindow(window_);
    }
    device_notification_watch(const device_notification_watch &) = delete;
    device_notification_watch &operator=(const device_notification_watch &) = delete;

    bool start(std::string &error) {
        WNDCLASSEXW window_class{};
        window_class.cbSize = sizeof window_class;
        window_class.lpfnWndProc = &device_notification_watch::window_procedure;
        window_class.hInstance = ::GetModuleHandleW(nullptr);
        window_class.lpszClassName = window_class_name;
        if (::RegisterClassExW(&window_class) == 0 &&
            ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            error = "cannot register the notification window class";
            return false;
        }
        window_ = ::CreateWindowExW(0, window_class_name, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                    nullptr, window_class.hInstance, nullptr);
        if (window_ == nullptr) {
            error = "cannot make the notification window";
            return false;
        }
        ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        ::HidD_GetHidGuid(&filter.dbcc_classguid);
        notification_ =
            ::RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        if (notification_ == nullptr) {
            error = "the system does not notify device changes";
            return false;
        }
        return true;
    }

    outcome wait_for_change(int timeout_ms) override {
        using clock = std::chrono::steady_clock;
        const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            MSG message;
            while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                if (message.message == WM_QUIT) {
                    // Left for whoever runs the thread's loop.
                    ::PostQuitMessage(static_cast<int>(message.wParam));
                    return outcome::failed;
                }
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
            if (changed_) {
                changed_ = false;
                return outcome::changed;
            }
            DWORD wait = INFINITE;
            if (timeout_ms >= 0) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
                if (left <= 0)
                    return outcome::timed_out;
                wait = static_cast<DWORD>(left);
            }
            if (::MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT) == WAIT_FAILED)
                return outcome::failed;
        }
    }

  private:
    static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM kind,
                                             LPARAM data) {
        if (message == WM_DEVICECHANGE &&
            (kind == DBT_DEVICEARRIVAL || kind == DBT_DEVICEREMOVECOMPLETE)) {
            auto *watch = reinterpret_cast<device_notification_watch *>(
                ::GetWindowLongPtrW(window, GWLP_USERDATA));
            if (watch != nullptr)
                watch->changed_ = true;
            return TRUE;
        }
        return ::DefWindowProcW(window, message, kind, data);
    }

    HWND window_ = nullptr;
    HDEVNOTIFY notification_ = nullptr;
    bool changed_ = false;
};

} // namespace

std::unique_ptr<usb_bus_watch> make_device_bus_watch(std::string &error) {
    auto watch = std::make_unique<device_notification_watch>();
    if (!watch->start(error))
        return nullptr;
    return watch;
}

} // namespace vortlink::platform
