// Removal notices on Windows: a hidden window of the class "VELQUIN_CLASS",
// registered for device-interface notifications of KSCATEGORY_CAPTURE. The
// window belongs to the subscribing thread, so notices arrive on that thread
// whenever it dispatches window messages.
#include <windows.h>
#include <dbt.h>

#include <cstddef>

#include "platform/device_notices.h"

namespace platform {
namespace {

constexpr wchar_t kClassName[] = L"VELQUIN_CLASS";
constexpr wchar_t kWindowTitle[] = L"VEL-QUIN";
constexpr wchar_t kPropertyName[] = L"AfxOrvane_EV";
// KSCATEGORY_CAPTURE, the video capture interfaces.
constexpr GUID kCaptureClass = {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

HINSTANCE ModuleInstance() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ModuleInstance), &module);
  return module;
}

class WindowRemovalSubscription final : public RemovalSubscription {
 public:
  explicit WindowRemovalSubscription(RemovalCallback callback) : callback_(std::move(callback)) {}
  ~WindowRemovalSubscription() override {
    if (window_ == nullptr) return;
    if (notification_ != nullptr) UnregisterDeviceNotification(notification_);
    RemovePropW(window_, kPropertyName);  // a late message finds no subscription
    // Only the owning thread may destroy the window (also from inside its own
    // message); any other thread asks it to close.
    if (GetWindowThreadProcessId(window_, nullptr) == GetCurrentThreadId())
      DestroyWindow(window_);
    else
      PostMessageW(window_, WM_CLOSE, 0, 0);
    if (const ATOM atom = GlobalFindAtomW(kPropertyName); atom != 0) GlobalDeleteAtom(atom);
  }
  WindowRemovalSubscription(const WindowRemovalSubscription&) = delete;
  WindowRemovalSubscription& operator=(const WindowRemovalSubscription&) = delete;

  // False when no window could be made: no notices then.
  bool Start() {
    const HINSTANCE instance = ModuleInstance();
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = &WindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = kClassName;
    if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    window_ = CreateWindowExW(0, kClassName, kWindowTitle, WS_POPUPWINDOW, 0, 0, 0, 0, nullptr, nullptr, instance,
                              nullptr);
    if (window_ == nullptr) return false;
    if (SetPropW(window_, kPropertyName, this) && GetPropW(window_, kPropertyName) == this)
      GlobalAddAtomW(kPropertyName);

    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = 32;  // the header without a name
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kCaptureClass;
    notification_ = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    return true;
  }

 private:
  static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM event, LPARAM data) {
    if (message != WM_DEVICECHANGE) return DefWindowProcW(window, message, event, data);
    auto* self = static_cast<WindowRemovalSubscription*>(GetPropW(window, kPropertyName));
    if (self != nullptr && event == DBT_DEVICEREMOVECOMPLETE && data != 0) self->OnRemoval(data);
    return 0;  // the subscription may be gone here
  }

  void OnRemoval(LPARAM data) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return;
    const auto* notice = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(data);
    constexpr size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    if (notice->dbcc_size < kNameOffset || !IsEqualGUID(notice->dbcc_classguid, kCaptureClass)) return;
    // The name ends at its terminator or at the end of the notice, whichever comes first.
    const size_t capacity = (notice->dbcc_size - kNameOffset) / sizeof(wchar_t);
    size_t length = 0;
    while (length < capacity && notice->dbcc_name[length] != L'\0') ++length;
    const ComString path(reinterpret_cast<const OLECHAR*>(notice->dbcc_name), length);
    const RemovalCallback callback = callback_;  // the callback may end this subscription
    callback(path);
  }

  RemovalCallback callback_;
  HWND window_ = nullptr;
  HDEVNOTIFY notification_ = nullptr;
};

}  // namespace

std::unique_ptr<RemovalSubscription> SubscribeRemovalNotices(RemovalCallback callback) {
  if (!callback) return nullptr;
  try {
    auto subscription = std::make_unique<WindowRemovalSubscription>(std::move(callback));
    if (!subscription->Start()) return nullptr;
    return subscription;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace platform
