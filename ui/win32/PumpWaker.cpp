#include "ui/win32/PumpWaker.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "platform/MessagePump.h"

namespace velmora::ui::win32 {

namespace {

constexpr UINT kWakeMessage = WM_APP + 1;
constexpr wchar_t kClassName[] = L"VelmoraPumpWaker";

}  // namespace

void PumpWaker::Target::schedule() {
  std::lock_guard lock(mutex);
  if (window == nullptr || scheduled.exchange(true)) return;
  if (!PostMessageW(window, kWakeMessage, 0, 0)) scheduled = false;
}

PumpWaker::PumpWaker() : target_(std::make_shared<Target>()) {
  WNDCLASSEXW type{};
  type.cbSize = sizeof type;
  type.lpfnWndProc = &PumpWaker::windowProc;
  type.hInstance = GetModuleHandleW(nullptr);
  type.lpszClassName = kClassName;
  RegisterClassExW(&type);  // fails harmlessly when a previous waker registered it
  HWND window = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                type.hInstance, nullptr);
  if (window == nullptr) throw std::runtime_error("Cannot create the message window");
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  target_->window = window;

  platform::MessagePump::ToolkitHooks hooks;
  hooks.wake = [target = target_] { target->schedule(); };
  hooks.processEvents = [this] { dispatchWaiting(); };
  hooks.waitEvents = [](std::chrono::milliseconds bound) {
    const auto timeout = static_cast<DWORD>(
        std::clamp<std::chrono::milliseconds::rep>(bound.count(), 0, INFINITE - 1));
    MsgWaitForMultipleObjectsEx(0, nullptr, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  };
  auto& pump = platform::MessagePump::current();
  pump.setToolkitHooks(std::move(hooks));
  // Messages posted before the hooks existed would otherwise wait for the next post.
  if (pump.waitingCount() > 0) target_->schedule();
}

PumpWaker::~PumpWaker() {
  platform::MessagePump::current().setToolkitHooks({});
  HWND window = nullptr;
  {
    std::lock_guard lock(target_->mutex);
    window = target_->window;
    target_->window = nullptr;
  }
  DestroyWindow(window);
}

void PumpWaker::dispatchWaiting() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      platform::MessagePump::current().quit();
      continue;
    }
    if (dialogWindow_ != nullptr && IsDialogMessageW(dialogWindow_, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

void PumpWaker::wakeReceived() {
  target_->scheduled = false;
  if (passDepth_ >= kMaxNesting) {
    missed_ = true;
    return;
  }
  auto& pump = platform::MessagePump::current();
  ++passDepth_;
  pump.processMessages();
  --passDepth_;
  if (missed_ || pump.waitingCount() > 0) {
    missed_ = false;
    target_->schedule();
  }
}

LRESULT CALLBACK PumpWaker::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kWakeMessage) {
    if (auto* waker = reinterpret_cast<PumpWaker*>(GetWindowLongPtrW(window, GWLP_USERDATA))) {
      waker->wakeReceived();
    }
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace velmora::ui::win32
