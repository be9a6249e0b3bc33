#include "ui/win32/MainWindow.h"

#include <commctrl.h>

#include <stdexcept>

#include "platform/MessagePump.h"
#include "ui/win32/Dialogs.h"
#include "ui/win32/ProgramInfo.h"
#include "ui/win32/Text.h"

namespace velmora::ui::win32 {

namespace {

constexpr wchar_t kClassName[] = L"VelmoraMainWindow";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_CONTROLPARENT;
constexpr int kStatusBarHeight = 19;
constexpr int kStatusPanelWidth = 50;
constexpr int kLogLineHeight = 13;
constexpr UINT kFormCreateMessage = WM_APP + 2;

// Control, menu and timer ids.
enum : int {
  kComPortList = 101,
  kMidiInList,
  kMidiOutList,
  kLogList = 110,
  kClearButton,
  kResetButton,
  kPortSettingsItem = 201,
  kCloseItem,
  kHelpItem,
  kAboutItem,
};
enum : UINT_PTR { kMidiInTimer = 1, kMidiOutTimer, kLogPaintTimer };

std::size_t at(auto value) {
  return static_cast<std::size_t>(value);
}

void checkIndex(int index, int count) {
  if (index < 0 || index >= count) throw std::out_of_range("List index out of bounds");
}

std::wstring itemText(HWND control, UINT lengthMessage, UINT textMessage, int index) {
  const LRESULT length = SendMessageW(control, lengthMessage, static_cast<WPARAM>(index), 0);
  if (length < 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  SendMessageW(control, textMessage, static_cast<WPARAM>(index),
               reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

}  // namespace

MainWindow::MainWindow(core::Bridge& bridge, const platform::Clock& clock) : errors_(clock) {
  INITCOMMONCONTROLSEX common{sizeof common, ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&common);
  RegisterControlClasses();
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW type{};
  type.cbSize = sizeof type;
  type.lpfnWndProc = &MainWindow::windowProc;
  type.hInstance = instance;
  type.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconResource));
  type.hIconSm = type.hIcon;
  type.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  type.lpszClassName = kClassName;
  RegisterClassExW(&type);

  buildMenu();
  RECT frame{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&frame, kStyle, TRUE, kExStyle);
  window_ = CreateWindowExW(kExStyle, kClassName, Wide(ProgramInfo::kName).c_str(), kStyle,
                            CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                            frame.bottom - frame.top, nullptr, menu_, instance, this);
  if (window_ == nullptr) {
    DestroyMenu(menu_);
    throw std::runtime_error("Cannot create the main window");
  }
  try {
    buildControls();
  } catch (...) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);  // its end is no close of the program
    DestroyWindow(window_);
    throw;
  }
  waker_.SetDialogWindow(window_);
  errors_.SetOwner(window_);
  platform::MessagePump::current().setErrorReport(
      [this](std::exception_ptr error) { errors_.Report(error); });

  form_ = std::make_unique<TfmMain>(bridge, *this);
  form_->CloseWindow = [this] { close(); };
  form_->ShowAboutBox = [this] { ShowAboutBox(); };
}

MainWindow::~MainWindow() {
  form_.reset();
  platform::MessagePump::current().setErrorReport(nullptr);
  if (window_ != nullptr) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
}

HWND MainWindow::addControl(const wchar_t* type, const wchar_t* text, DWORD style, int id, int left,
                            int top, int width, int height, HFONT font) {
  HWND control = CreateWindowExW(0, type, text, WS_CHILD | WS_VISIBLE | style, left, top, width,
                                 height, window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 GetModuleHandleW(nullptr), nullptr);
  if (control == nullptr) throw std::runtime_error("Cannot create a control");
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font ? font : formFont_.get()), FALSE);
  return control;
}

HWND MainWindow::addLabel(const char* text, int left, int top) {
  const std::wstring wide = Wide(text);
  // Sized to its text, as an auto-sized label is.
  HDC dc = GetDC(window_);
  HGDIOBJ old = SelectObject(dc, formFont_.get());
  SIZE size{};
  GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(window_, dc);
  return addControl(L"STATIC", wide.c_str(), SS_LEFT | SS_NOPREFIX, -1, left, top, size.cx,
                    size.cy);
}

void MainWindow::buildControls() {
  using core::DeviceList;
  using core::Lamp;
  using core::Shape;
  struct Row {
    Shape shape;
    DeviceList list;
    int id;
    const char* labelText;
    int top;
  };
  const Row rows[] = {
      {Shape::ComPort, DeviceList::ComPort, kComPortList, "RS232", 16},
      {Shape::MidiIn, DeviceList::MidiIn, kMidiInList, "MIDI In", 48},
      {Shape::MidiOut, DeviceList::MidiOut, kMidiOutList, "MIDI Out", 80},
  };
  for (const Row& row : rows) {
    shapes_[at(row.shape)] = std::make_unique<ShapeBox>(window_, 16, row.top, 17, 22);
    // A drop-down list's height includes its open list.
    lists_[at(row.list)] = addControl(WC_COMBOBOXW, L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP,
                                      row.id, 40, row.top, 249, 200);
    addLabel(row.labelText, 296, row.top + 8);
  }

  addLabel("Evenements récents (le plus récent en fin de liste)", 16, 120);
  lstLog_ = addControl(WC_LISTBOXW, L"",
                       LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | WS_TABSTOP,
                       kLogList, 16, 136, 345, 97, logFont_.get());
  SendMessageW(lstLog_, LB_SETITEMHEIGHT, 0, kLogLineHeight);

  struct LampRow {
    Lamp lamp;
    int left;
    int top;
    const char* labelText;
  };
  const LampRow lampRows[] = {
      {Lamp::CPRx, 16, 248, "RS232 In (RX)"},
      {Lamp::MidiOut, 128, 248, "MIDI Out"},
      {Lamp::MidiIn, 16, 264, "MIDI In"},
      {Lamp::CPTx, 128, 264, "RS232 Out (TX)"},
  };
  for (const LampRow& row : lampRows) {
    auto lamp = std::make_unique<LampBox>(window_, row.left, row.top);
    lamp->SetLitColor(serial::clLime);
    lamp->SetNotLitColor(serial::clNavy);
    lamps_[at(row.lamp)] = std::move(lamp);
    addLabel(row.labelText, row.left + 24, row.top);
  }
  addControl(WC_BUTTONW, L"Effacer", BS_PUSHBUTTON | WS_TABSTOP, kClearButton, 312, 248, 49, 20);
  addControl(WC_STATICW, L"", SS_ETCHEDHORZ, -1, 8, 288, 361, 2);

  const struct {
    int left;
    const char* labelText;
  } errorLamps[] = {{16, "Erreur MIDI"}, {128, "Erreur RS232"}};
  for (std::size_t index = 0; index < std::size(errorLamps); ++index) {
    auto lamp = std::make_unique<LampBox>(window_, errorLamps[index].left, 296);
    lamp->SetNotLitColor(serial::clGray);
    errorLamps_[index] = std::move(lamp);
    addLabel(errorLamps[index].labelText, errorLamps[index].left + 24, 296);
  }
  addControl(WC_BUTTONW, L"Reset", BS_PUSHBUTTON | WS_TABSTOP, kResetButton, 312, 296, 49, 20);

  status_ = addControl(STATUSCLASSNAMEW, L"", CCS_NOPARENTALIGN | CCS_NORESIZE | CCS_NODIVIDER, -1,
                       0, kClientHeight - kStatusBarHeight, kClientWidth, kStatusBarHeight);
  int edges[2] = {kStatusPanelWidth, -1};
  SendMessageW(status_, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(edges));
}

void MainWindow::buildMenu() {
  HMENU file = CreatePopupMenu();
  AppendMenuW(file, MF_STRING, kPortSettingsItem, L"Paramètres du port...");
  AppendMenuW(file, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(file, MF_STRING, kCloseItem, L"Quitter");
  HMENU help = CreatePopupMenu();
  AppendMenuW(help, MF_STRING, kHelpItem, L"Index de l'aide");
  AppendMenuW(help, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(help, MF_STRING, kAboutItem, L"A propos...");
  menu_ = CreateMenu();
  AppendMenuW(menu_, MF_POPUP, reinterpret_cast<UINT_PTR>(file), L"Fichier");
  AppendMenuW(menu_, MF_POPUP, reinterpret_cast<UINT_PTR>(help), L"Aide");
}

void MainWindow::Show(int how) {
  RECT area{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  RECT frame{};
  GetWindowRect(window_, &frame);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  SetWindowPos(window_, nullptr, area.left + (area.right - area.left - width) / 2,
               area.top + (area.bottom - area.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  ShowWindow(window_, how);
  UpdateWindow(window_);
  // From the message loop, so that the window is up first.
  PostMessageW(window_, kFormCreateMessage, 0, 0);
}

void MainWindow::runFormCreate() {
  if (formCreated_ || formClosed_) return;
  errors_.Guard([this] { form_->FormCreate(); });
  // Closed meanwhile (from an error box's loop, say): there is nothing left to start.
  if (window_ == nullptr || formClosed_) return;
  formCreated_ = true;
  if (onFormCreated_) errors_.Guard(onFormCreated_);
}

void MainWindow::close() {
  PostMessageW(window_, WM_CLOSE, 0, 0);
}

void MainWindow::ShowAboutBox() {
  win32::ShowAboutBox(window_, core::AboutLineText(form_->Bridge().PortLineSettings()));
}

LRESULT CALLBACK MainWindow::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr || self->window_ != window) {
    return DefWindowProcW(window, message, wParam, lParam);
  }
  return self->handle(message, wParam, lParam);
}

LRESULT MainWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kFormCreateMessage:
      runFormCreate();
      return 0;
    case WM_COMMAND:
      command(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_TIMER:
      if (wParam == kLogPaintTimer) {
        if (logFrozen_) {
          logFrozen_ = false;
          SendMessageW(lstLog_, WM_SETREDRAW, TRUE, 0);
          InvalidateRect(lstLog_, nullptr, TRUE);  // paints what changed meanwhile
        } else {
          KillTimer(window_, kLogPaintTimer);
          logPaintPending_ = false;
        }
      } else if (wParam == kMidiInTimer || wParam == kMidiOutTimer) {
        const auto& handler = timerHandlers_[wParam - kMidiInTimer];
        if (handler) errors_.Guard(handler);
      }
      return 0;
    case WM_SETCURSOR:
      if (cursor_ == core::Cursor::HourGlass) {
        SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32514)));  // IDC_WAIT
        return TRUE;
      }
      break;
    case WM_CLOSE:
      if (!formClosed_) {
        formClosed_ = true;
        if (onClosing_) errors_.Guard(onClosing_);
        errors_.Guard([this] { form_->FormClose(); });
      }
      DestroyWindow(window_);
      return 0;
    case WM_DESTROY:
      platform::MessagePump::current().quit();
      return 0;
    case WM_NCDESTROY:
      window_ = nullptr;
      break;
    default:
      break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

void MainWindow::command(WORD id, WORD code) {
  switch (id) {
    case kComPortList:
      if (code == CBN_SELCHANGE) errors_.Guard([this] { form_->cbComPortChange(); });
      break;
    case kMidiInList:
      if (code == CBN_SELCHANGE) errors_.Guard([this] { form_->cbMIDIInChange(); });
      break;
    case kMidiOutList:
      if (code == CBN_SELCHANGE) errors_.Guard([this] { form_->cbMIDIOutChange(); });
      break;
    case kClearButton:
      if (code == BN_CLICKED) errors_.Guard([this] { form_->btnLogClearClick(); });
      break;
    case kPortSettingsItem:
      errors_.Guard([this] {
        if (const auto line = ChooseLineSettings(window_, form_->Bridge().PortLineSettings())) {
          form_->ActPortSettingsApply(*line);
        }
      });
      break;
    case kCloseItem:
      errors_.Guard([this] { form_->ActAppCloseExecute(); });
      break;
    case kAboutItem:
      errors_.Guard([this] { form_->ActAppAboutExecute(); });
      break;
    default:
      break;
  }
}

// ---- Window surface -----------------------------------------------------------------------

HWND MainWindow::combo(core::DeviceList list) const {
  return lists_[at(list)];
}

void MainWindow::SetShapeColor(core::Shape shape, serial::TColor color) {
  shapes_[at(shape)]->SetBrushColor(color);
}

serial::TColor MainWindow::ShapeColor(core::Shape shape) const {
  return shapes_[at(shape)]->BrushColor();
}

serial::TApdCustomStatusLight& MainWindow::LampOf(core::Lamp lamp) {
  return *lamps_[at(lamp)];
}

void MainWindow::SetTimerEnabled(core::Timer timer, bool enabled) {
  auto& on = timersOn_[at(timer)];
  // Once the window is gone a timer would belong to the thread and tick for nobody.
  if (enabled == on || window_ == nullptr) return;
  on = enabled;
  const UINT_PTR id = kMidiInTimer + at(timer);
  if (enabled) {
    SetTimer(window_, id, kTimerInterval, nullptr);
  } else {
    KillTimer(window_, id);
  }
}

bool MainWindow::TimerEnabled(core::Timer timer) const {
  return timersOn_[at(timer)];
}

void MainWindow::SetOnTimer(core::Timer timer, std::function<void()> handler) {
  timerHandlers_[at(timer)] = std::move(handler);
}

void MainWindow::ListClear(core::DeviceList list) {
  SendMessageW(combo(list), CB_RESETCONTENT, 0, 0);
}

void MainWindow::ListAppend(core::DeviceList list, const std::string& text) {
  const std::wstring wide = Wide(text);
  SendMessageW(combo(list), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
}

void MainWindow::ListDelete(core::DeviceList list, int index) {
  checkIndex(index, ListCount(list));
  const int selected = ListSelected(list);
  SendMessageW(combo(list), CB_DELETESTRING, static_cast<WPARAM>(index), 0);
  if (selected == index) ListSetSelected(list, -1);
}

int MainWindow::ListCount(core::DeviceList list) const {
  return static_cast<int>(SendMessageW(combo(list), CB_GETCOUNT, 0, 0));
}

std::string MainWindow::ListItem(core::DeviceList list, int index) const {
  checkIndex(index, ListCount(list));
  return Utf8(itemText(combo(list), CB_GETLBTEXTLEN, CB_GETLBTEXT, index));
}

void MainWindow::ListSetSelected(core::DeviceList list, int index) {
  const int chosen = index >= 0 && index < ListCount(list) ? index : -1;
  SendMessageW(combo(list), CB_SETCURSEL, static_cast<WPARAM>(chosen), 0);
}

int MainWindow::ListSelected(core::DeviceList list) const {
  return static_cast<int>(SendMessageW(combo(list), CB_GETCURSEL, 0, 0));
}

int MainWindow::LogCount() const {
  return static_cast<int>(SendMessageW(lstLog_, LB_GETCOUNT, 0, 0));
}

void MainWindow::logChanged() {
  // Text layout is most of the cost of a message with the window shown; nobody reads more
  // than a few dozen lines a second.
  if (logPaintPending_) {
    if (!logFrozen_) {
      logFrozen_ = true;
      SendMessageW(lstLog_, WM_SETREDRAW, FALSE, 0);
    }
  } else if (window_ != nullptr) {
    logPaintPending_ = true;
    SetTimer(window_, kLogPaintTimer, kLogPaintInterval, nullptr);
  }
}

void MainWindow::LogDelete(int index) {
  checkIndex(index, LogCount());
  logChanged();
  SendMessageW(lstLog_, LB_DELETESTRING, static_cast<WPARAM>(index), 0);
}

void MainWindow::LogAppend(const std::string& line) {
  logChanged();
  const std::wstring wide = Wide(line);
  SendMessageW(lstLog_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
}

void MainWindow::LogClear() {
  logChanged();
  SendMessageW(lstLog_, LB_RESETCONTENT, 0, 0);
}

std::string MainWindow::LogLine(int index) const {
  checkIndex(index, LogCount());
  return Utf8(itemText(lstLog_, LB_GETTEXTLEN, LB_GETTEXT, index));
}

void MainWindow::LogSetSelected(int index) {
  if (index < 0 || index >= LogCount()) {
    SendMessageW(lstLog_, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    return;
  }
  logChanged();
  SendMessageW(lstLog_, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int MainWindow::LogSelected() const {
  return static_cast<int>(SendMessageW(lstLog_, LB_GETCURSEL, 0, 0));
}

void MainWindow::SetStatusText(int panel, const std::string& text) {
  statusTexts_.at(static_cast<std::size_t>(panel)) = text;
  const std::wstring wide = Wide(text);
  SendMessageW(status_, SB_SETTEXTW, static_cast<WPARAM>(panel),
               reinterpret_cast<LPARAM>(wide.c_str()));
}

std::string MainWindow::StatusText(int panel) const {
  return statusTexts_.at(static_cast<std::size_t>(panel));
}

void MainWindow::SetScreenCursor(core::Cursor cursor) {
  if (cursor == cursor_) return;
  cursor_ = cursor;
  SetCursor(
      LoadCursorW(nullptr, MAKEINTRESOURCEW(cursor == core::Cursor::HourGlass ? 32514 : 32512)));
}

void MainWindow::ProcessMessages() {
  platform::MessagePump::current().processMessages();
}

}  // namespace velmora::ui::win32
