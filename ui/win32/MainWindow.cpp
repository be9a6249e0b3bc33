#include "ui/win32/MainWindow.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "core/Profile.h"
#include "ui/MainWindowHandlers.h"
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
constexpr int kCountsTop = 322;            // below the form's rows: the counters
constexpr int kPanelPadding = 12;          // a status panel's edges around its text
constexpr UINT kDrawMessage = WM_APP + 3;  // the bridge published a snapshot
constexpr WORD kIdcArrow = 32512;
constexpr WORD kIdcWait = 32514;

// Control and menu ids.
enum : int {
  kComPortList = 101,
  kMidiInList,
  kMidiOutList,
  kLogList = 110,
  kClearButton,
  kResetButton,
  kPanicButton,
  kPortSettingsItem = 201,
  kCloseItem,
  kHelpItem,
  kAboutItem,
  kMessagesItem,
  kCaptureStartItem,
  kCaptureStopItem,
  kPanicItem,
};

std::size_t at(auto value) {
  return static_cast<std::size_t>(value);
}

HCURSOR cursor(WORD id) {
  return LoadCursorW(nullptr, MAKEINTRESOURCEW(id));
}

// Whether `next` begins with `shown` less its first `dropped` lines.
bool continues(const std::vector<std::string>& next, const std::vector<std::string>& shown,
               std::size_t dropped) {
  const std::size_t kept = shown.size() - dropped;
  return kept <= next.size() && std::equal(shown.begin() + static_cast<std::ptrdiff_t>(dropped),
                                           shown.end(), next.begin());
}

}  // namespace

MainWindow::MainWindow(ViewLink& link) : link_(link) {
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
  type.hCursor = cursor(kIdcArrow);
  type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  type.lpszClassName = kClassName;
  RegisterClassExW(&type);

  buildMenu();
  RECT frame{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&frame, kStyle, TRUE, kExStyle);
  window_ = CreateWindowExW(kExStyle, kClassName, Wide(core::WindowTitle(link_.Profile())).c_str(),
                            kStyle, CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                            frame.bottom - frame.top, nullptr, menu_, instance, this);
  if (window_ == nullptr) {
    DestroyMenu(menu_);
    throw std::runtime_error("Cannot create the main window");
  }
  try {
    buildControls();
  } catch (...) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
    throw;
  }
  // As wide as the font's widest texts need.
  RECT sized{0, 0, clientWidth_, kClientHeight};
  AdjustWindowRectEx(&sized, kStyle, TRUE, kExStyle);
  SetWindowPos(window_, nullptr, 0, 0, sized.right - sized.left, sized.bottom - sized.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  ACCEL panic{FCONTROL | FVIRTKEY, VK_SPACE, kPanicItem};
  accelerators_ = CreateAcceleratorTableW(&panic, 1);
  // The bridge thread wakes us after each snapshot; one draw message waits in the queue at most.
  link_.SetWake([this, target = window_] {
    if (wakeQueued_.exchange(true)) return;
    if (!PostMessageW(target, kDrawMessage, 0, 0)) wakeQueued_ = false;
  });
  ShowSnapshot();
}

MainWindow::~MainWindow() {
  link_.SetWake(nullptr);
  if (accelerators_ != nullptr) DestroyAcceleratorTable(accelerators_);
  SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
  DestroyWindow(window_);
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
  const SIZE size = TextSize(window_, formFont_.get(), wide);
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
  lstLog_ = addControl(
      WC_LISTBOXW, L"",
      LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_HSCROLL | WS_BORDER | WS_TABSTOP,
      kLogList, 16, 136, 345, 97, logFont_.get());
  SendMessageW(lstLog_, LB_SETITEMHEIGHT, 0, kLogLineHeight);
  // A line wider than the list scrolls, and reads whole under the pointer.
  logTip_ = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_,
                            nullptr, GetModuleHandleW(nullptr), nullptr);
  if (logTip_ == nullptr) throw std::runtime_error("Cannot create a control");
  SendMessageW(logTip_, TTM_SETMAXTIPWIDTH, 0, 600);
  TTTOOLINFOW logTool{};
  logTool.cbSize = TTTOOLINFOW_V2_SIZE;
  logTool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  logTool.hwnd = window_;
  logTool.uId = reinterpret_cast<UINT_PTR>(lstLog_);
  logTool.lpszText = LPSTR_TEXTCALLBACKW;
  SendMessageW(logTip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&logTool));
  SetWindowSubclass(lstLog_, &MainWindow::logProc, 1, reinterpret_cast<DWORD_PTR>(this));

  // The four activity lamps, then the two error lamps that a loss lights and "Reset" darkens;
  // their colours come with each snapshot.
  const struct {
    Lamp lamp;
    int left;
    int top;
    const char* labelText;
  } lampRows[] = {
      {Lamp::CPRx, 16, 248, "RS232 In (RX)"},    {Lamp::MidiOut, 128, 248, "MIDI Out"},
      {Lamp::MidiIn, 16, 264, "MIDI In"},        {Lamp::CPTx, 128, 264, "RS232 Out (TX)"},
      {Lamp::MidiError, 16, 296, "Erreur MIDI"}, {Lamp::ComError, 128, 296, "Erreur RS232"},
  };
  tips_ = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                          CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_,
                          nullptr, GetModuleHandleW(nullptr), nullptr);
  if (tips_ == nullptr) throw std::runtime_error("Cannot create a control");
  SendMessageW(tips_, TTM_SETMAXTIPWIDTH, 0, 400);
  for (const auto& row : lampRows) {
    auto lamp = std::make_unique<LampBox>(window_, row.left, row.top);
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;  // no manifest: the common controls of version 5
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = window_;
    tool.uId = reinterpret_cast<UINT_PTR>(lamp->Handle());
    tool.lpszText = const_cast<wchar_t*>(L"");
    SendMessageW(tips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    lamps_[at(row.lamp)] = std::move(lamp);
    addLabel(row.labelText, row.left + 24, row.top);
  }
  addControl(WC_BUTTONW, L"Effacer", BS_PUSHBUTTON | WS_TABSTOP, kClearButton, 312, 248, 49, 20);
  addControl(WC_STATICW, L"", SS_ETCHEDHORZ, -1, 8, 288, 361, 2);
  addControl(WC_BUTTONW, L"Reset", BS_PUSHBUTTON | WS_TABSTOP, kResetButton, 312, 296, 49, 20);

  // The counters and "Tout arrêter", sized from the font: the window grows rather than cut.
  const auto widest = [this](const std::vector<std::string>& texts) {
    int width = 0;
    for (const auto& text : texts)
      width = std::max(width, static_cast<int>(TextSize(window_, formFont_.get(), Wide(text)).cx));
    return width;
  };
  // "Tout arrêter" between the error lamps and "Reset"; the counters on a row of their own.
  const std::wstring panicText = L"Tout arrêter";
  const int panicWidth = static_cast<int>(TextSize(window_, formFont_.get(), panicText).cx) + 16;
  addControl(WC_BUTTONW, panicText.c_str(), BS_PUSHBUTTON | WS_TABSTOP, kPanicButton,
             312 - 6 - panicWidth, 296, panicWidth, 20);
  const int countsWidth = widest(WidestCountsTexts());
  lineWidth_ = widest({"50,460800,8,2,pSpace"}) + kPanelPadding;
  clientWidth_ = std::max({kClientWidth, 16 + countsWidth + 16,
                           widest(WidestCauseTexts()) + kPanelPadding + lineWidth_});
  for (std::size_t row = 0; row < counts_.size(); ++row) {
    counts_[row] = addControl(WC_STATICW, L"", SS_LEFT | SS_NOPREFIX, -1, 16,
                              kCountsTop + static_cast<int>(row) * 14, clientWidth_ - 32, 13);
  }
  showCounts({});

  // A panel too narrow for its text shows it whole under the pointer.
  status_ = addControl(STATUSCLASSNAMEW, L"",
                       CCS_NOPARENTALIGN | CCS_NORESIZE | CCS_NODIVIDER | SBT_TOOLTIPS, -1, 0,
                       kClientHeight - kStatusBarHeight, clientWidth_, kStatusBarHeight);
}

void MainWindow::buildMenu() {
  HMENU file = CreatePopupMenu();
  AppendMenuW(file, MF_STRING, kPortSettingsItem, L"Paramètres du port...");
  AppendMenuW(file, MF_STRING, kMessagesItem, L"Messages transmis...");
  AppendMenuW(file, MF_STRING, kCaptureStartItem, L"Capturer les octets...");
  AppendMenuW(file, MF_STRING | MF_GRAYED, kCaptureStopItem, L"Arrêter la capture");
  AppendMenuW(file, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(file, MF_STRING, kPanicItem, L"Tout arrêter\tCtrl+Espace");
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

POINT MainWindow::place() const {
  RECT frame{};
  GetWindowRect(window_, &frame);
  return POINT{frame.left, frame.top};
}

void MainWindow::Show(int how) {
  RECT frame{};
  GetWindowRect(window_, &frame);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  RECT area{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  POINT to{area.left + (area.right - area.left - width) / 2,
           area.top + (area.bottom - area.top - height) / 2};
  // Where it was left, unless no screen is there any more (one unplugged since).
  if (const auto remembered = link_.Position();
      remembered && MonitorFromPoint(POINT{remembered->x + 40, remembered->y + 40},
                                     MONITOR_DEFAULTTONULL) != nullptr) {
    to = POINT{remembered->x, remembered->y};
  }
  SetWindowPos(window_, nullptr, to.x, to.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  placedAt_ = place();
  ShowWindow(window_, how);
  UpdateWindow(window_);
}

int MainWindow::Run() {
  MSG message{};
  BOOL got = 0;
  while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
    if (TranslateAcceleratorW(window_, accelerators_, &message)) continue;
    // Tab and the arrows move between the controls, as in a dialog.
    if (IsDialogMessageW(window_, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return got == 0 ? static_cast<int>(message.wParam) : 1;
}

void MainWindow::close() {
  if (closed_) return;
  closed_ = true;
  // Hidden at once; the bridge closes its devices on its own thread.
  const POINT now = place();
  const bool minimized = IsIconic(window_);
  ShowWindow(window_, SW_HIDE);
  if (placedAt_ && !minimized && (now.x != placedAt_->x || now.y != placedAt_->y)) {
    Action moved(Action::Kind::Moved);
    moved.position = core::WindowPosition{now.x, now.y};
    link_.Post(std::move(moved));
  }
  link_.Post(Action(Action::Kind::Close));
  PostQuitMessage(0);
}

std::optional<std::string> MainWindow::chooseCaptureFile() const {
  std::wstring file(32768, L'\0');  // room for a long path
  OPENFILENAMEW box{};
  box.lStructSize = sizeof box;
  box.hwndOwner = window_;
  box.lpstrFile = file.data();
  box.nMaxFile = static_cast<DWORD>(file.size());
  box.lpstrTitle = L"Capturer les octets";
  box.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
  if (!GetSaveFileNameW(&box)) return std::nullopt;
  // The capture opens its file with fopen, as a path given on the command line.
  return LocalPath(file.c_str());
}

void MainWindow::ShowAboutBox() {
  win32::ShowAboutBox(window_, core::AboutLineText(shown_.line));
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
  // Nothing may leave through Win32's frames.
  try {
    return self->handle(message, wParam, lParam);
  } catch (const std::exception& error) {
    MessageBoxW(window, Wide(error.what()).c_str(), Wide(ProgramInfo::kName).c_str(),
                MB_OK | MB_ICONERROR);
  } catch (...) {
  }
  return 0;
}

LRESULT MainWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kDrawMessage:
      wakeQueued_ = false;
      ShowSnapshot();
      return 0;
    case WM_COMMAND:
      command(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return 0;
    case WM_NOTIFY: {
      auto* tip = reinterpret_cast<NMTTDISPINFOW*>(lParam);
      if (tip->hdr.hwndFrom == logTip_ && tip->hdr.code == TTN_GETDISPINFOW) {
        POINT pointer{};
        GetCursorPos(&pointer);
        ScreenToClient(lstLog_, &pointer);
        logTipText_ = logLineAt(pointer);
        tip->lpszText = logTipText_.data();
        return 0;
      }
      break;
    }
    case WM_SETCURSOR:
      if (shown_.busy) {
        SetCursor(cursor(kIdcWait));
        return TRUE;
      }
      break;
    case WM_CLOSE:
      close();
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

void MainWindow::command(WORD id, WORD code, HWND control) {
  using core::DeviceList;
  switch (id) {
    case kComPortList:
    case kMidiInList:
    case kMidiOutList: {
      if (code != CBN_SELCHANGE) return;
      // A choice is posted by its entry's text, which names the device: an index could point
      // at another device once the list has changed on the bridge's side.
      const LRESULT index = SendMessageW(control, CB_GETCURSEL, 0, 0);
      const LRESULT length = SendMessageW(control, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
      if (index < 0 || length < 0) return;
      std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
      SendMessageW(control, CB_GETLBTEXT, static_cast<WPARAM>(index),
                   reinterpret_cast<LPARAM>(text.data()));
      text.resize(static_cast<std::size_t>(length));
      link_.Post(Action::Choose(static_cast<DeviceList>(id - kComPortList), Utf8(text)));
      return;
    }
    case kClearButton:
      if (code == BN_CLICKED) link_.Post(Action(Action::Kind::ClearLog));
      return;
    case kResetButton:
      if (code == BN_CLICKED) link_.Post(Action(Action::Kind::Reset));
      return;
    case kPanicButton:
      if (code == BN_CLICKED) link_.Post(Action(Action::Kind::Panic));
      return;
    case kPanicItem:
      link_.Post(Action(Action::Kind::Panic));
      return;
    case kPortSettingsItem:
      if (const auto line = ChooseLineSettings(window_, shown_.line)) {
        Action action(Action::Kind::LineSettings);
        action.line = *line;
        link_.Post(std::move(action));
      }
      return;
    case kMessagesItem:
      ShowMessagesBox(window_, shown_.messages, [this](const core::MessageChoice& choice) {
        Action action(Action::Kind::Messages);
        action.messages = choice;
        link_.Post(std::move(action));
      });
      return;
    case kCaptureStartItem:
      if (const auto file = chooseCaptureFile()) {
        Action start(Action::Kind::StartCapture);
        start.entry = *file;
        link_.Post(std::move(start));
      }
      return;
    case kCaptureStopItem:
      link_.Post(Action(Action::Kind::StopCapture));
      return;
    case kCloseItem:
      close();
      return;
    case kAboutItem:
      ShowAboutBox();
      return;
    default:
      return;  // "Index de l'aide" does nothing
  }
}

// ---- Drawing a snapshot ----------------------------------------------------------------------

void MainWindow::ShowSnapshot() {
  core::WindowSnapshot next = link_.Snapshot();
  if (next.version == shown_.version && shown_.version != 0) return;
  const bool first = shown_.version == 0;
  for (std::size_t i = 0; i < shapes_.size(); ++i) shapes_[i]->SetBrushColor(next.shapes[i]);
  for (std::size_t i = 0; i < lamps_.size(); ++i) {
    const auto& lamp = next.lamps[i];
    lamps_[i]->SetLitColor(lamp.litColor);
    lamps_[i]->SetNotLitColor(lamp.notLitColor);
    lamps_[i]->SetLit(lamp.lit);
    if (lamp.hint == shown_.lamps[i].hint) continue;
    const std::wstring hint = Wide(lamp.hint);
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = window_;
    tool.uId = reinterpret_cast<UINT_PTR>(lamps_[i]->Handle());
    tool.lpszText = const_cast<wchar_t*>(hint.c_str());
    SendMessageW(tips_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
  }
  showLists(next);
  showLog(next);
  showStatus(next, first);
  if (next.counts != shown_.counts || first) showCounts(next.counts);
  if (next.busy != shown_.busy) showCursor(next.busy);
  shown_ = std::move(next);
  showNotices();
}

void MainWindow::showCounts(const core::TrafficCounts& counts) {
  SetWindowTextW(counts_[0], Wide(CountsText(Direction::ToMidi, counts)).c_str());
  SetWindowTextW(counts_[1], Wide(CountsText(Direction::ToSerial, counts)).c_str());
}

void MainWindow::showStatus(const core::WindowSnapshot& next, bool first) {
  const bool captureChanged = first || next.capture != shown_.capture;
  if (captureChanged) {
    // The capture's word takes its room at the right; the cause takes what is left.
    const std::wstring word = next.capture.empty() ? L"" : Wide(CaptureWord(next.capture));
    const int wordWidth =
        word.empty() ? 0 : TextSize(window_, formFont_.get(), word).cx + kPanelPadding;
    int edges[3] = {clientWidth_ - lineWidth_ - wordWidth, clientWidth_ - wordWidth, -1};
    SendMessageW(status_, SB_SETPARTS, word.empty() ? 2 : 3, reinterpret_cast<LPARAM>(edges));
    SendMessageW(status_, SB_SETTEXTW, 2, reinterpret_cast<LPARAM>(word.c_str()));
    const std::wstring path = Wide(next.capture);
    SendMessageW(status_, SB_SETTIPTEXTW, 2, reinterpret_cast<LPARAM>(path.c_str()));
    EnableMenuItem(menu_, kCaptureStartItem, next.capture.empty() ? MF_ENABLED : MF_GRAYED);
    EnableMenuItem(menu_, kCaptureStopItem, next.capture.empty() ? MF_GRAYED : MF_ENABLED);
  }
  for (std::size_t panel = 0; panel < next.status.size(); ++panel) {
    if (next.status[panel] == shown_.status[panel] && !captureChanged) continue;
    const std::wstring text = Wide(next.status[panel]);
    SendMessageW(status_, SB_SETTEXTW, panel, reinterpret_cast<LPARAM>(text.c_str()));
    SendMessageW(status_, SB_SETTIPTEXTW, panel, reinterpret_cast<LPARAM>(text.c_str()));
  }
}

std::wstring MainWindow::logLineAt(POINT client) const {
  const LRESULT hit = SendMessageW(lstLog_, LB_ITEMFROMPOINT, 0, MAKELPARAM(client.x, client.y));
  if (HIWORD(hit) != 0) return {};  // below the last line
  const auto index = static_cast<std::size_t>(LOWORD(hit));
  return index < shown_.log.size() ? Wide(shown_.log[index]) : std::wstring{};
}

LRESULT CALLBACK MainWindow::logProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR, DWORD_PTR self) {
  auto* window = reinterpret_cast<MainWindow*>(self);
  if (message == WM_MOUSEMOVE) {
    // Another line under the pointer: the tooltip asks for its text again.
    const LRESULT hit = SendMessageW(list, LB_ITEMFROMPOINT, 0, lParam);
    const int item = HIWORD(hit) != 0 ? -1 : LOWORD(hit);
    if (item != window->logTipItem_) {
      window->logTipItem_ = item;
      SendMessageW(window->logTip_, TTM_POP, 0, 0);
    }
  }
  return DefSubclassProc(list, message, wParam, lParam);
}

void MainWindow::showLists(const core::WindowSnapshot& next) {
  for (std::size_t i = 0; i < lists_.size(); ++i) {
    const auto& list = next.lists[i];
    HWND box = lists_[i];
    if (list.items != shown_.lists[i].items ||
        SendMessageW(box, CB_GETCOUNT, 0, 0) != static_cast<LRESULT>(list.items.size())) {
      SendMessageW(box, CB_RESETCONTENT, 0, 0);
      for (const auto& item : list.items) {
        const std::wstring wide = Wide(item);
        SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
      }
    }
    if (SendMessageW(box, CB_GETCURSEL, 0, 0) != list.selected) {
      SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(list.selected), 0);
    }
  }
}

void MainWindow::showLog(const core::WindowSnapshot& next) {
  const auto& shown = shown_.log;
  if (next.log == shown && next.logSelected == shown_.logSelected) return;
  SendMessageW(lstLog_, WM_SETREDRAW, FALSE, 0);
  // A new line usually pushes the oldest out: only the ends change.
  std::size_t dropped = 0;
  while (dropped < shown.size() && !continues(next.log, shown, dropped)) ++dropped;
  for (std::size_t i = 0; i < dropped; ++i) SendMessageW(lstLog_, LB_DELETESTRING, 0, 0);
  for (std::size_t i = shown.size() - dropped; i < next.log.size(); ++i) {
    const std::wstring wide = Wide(next.log[i]);
    SendMessageW(lstLog_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
  }
  for (std::size_t i = shown.size() - dropped; i < next.log.size(); ++i) {
    logExtent_ = std::max(
        logExtent_, static_cast<int>(TextSize(lstLog_, logFont_.get(), Wide(next.log[i])).cx));
  }
  SendMessageW(lstLog_, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(logExtent_ + 4), 0);
  SendMessageW(lstLog_, LB_SETCURSEL, static_cast<WPARAM>(next.logSelected), 0);
  SendMessageW(lstLog_, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(lstLog_, nullptr, TRUE);
}

void MainWindow::showCursor(bool busy) {
  // WM_SETCURSOR sets it as the pointer moves; one that rests over the window changes now.
  POINT pointer{};
  GetCursorPos(&pointer);
  HWND under = WindowFromPoint(pointer);
  if (under == window_ || IsChild(window_, under)) SetCursor(cursor(busy ? kIdcWait : kIdcArrow));
}

void MainWindow::showNotices() {
  // The box's own loop draws the snapshots that come meanwhile: one box at a time.
  if (noticeOpen_) return;
  std::erase_if(noticesShown_, [&](std::uint64_t id) {
    return std::none_of(shown_.notices.begin(), shown_.notices.end(),
                        [&](const core::Notice& notice) { return notice.id == id; });
  });
  for (const core::Notice& notice : shown_.notices) {
    if (std::find(noticesShown_.begin(), noticesShown_.end(), notice.id) != noticesShown_.end())
      continue;
    noticeOpen_ = true;
    noticesShown_.push_back(notice.id);
    const std::uint64_t id = notice.id;  // the box's loop replaces shown_
    MessageBoxW(window_, Wide(notice.text).c_str(), Wide(ProgramInfo::kName).c_str(),
                MB_OK | MB_ICONERROR);
    noticeOpen_ = false;
    Action closed(Action::Kind::NoticeClosed);
    closed.notice = id;
    link_.Post(std::move(closed));
    return;  // the next one comes with the next snapshot
  }
}

}  // namespace velmora::ui::win32
