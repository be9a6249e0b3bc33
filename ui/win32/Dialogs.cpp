#include "ui/win32/Dialogs.h"

#include <commctrl.h>

#include <exception>
#include <string>
#include <vector>

#include "platform/serial/SerialNames.h"
#include "serial/PortSelection.h"
#include "ui/win32/Controls.h"
#include "ui/win32/ProgramInfo.h"
#include "ui/win32/Text.h"

namespace velmora::ui::win32 {

namespace {

// A modal box whose controls are made in pixels when it opens, inside a client area of the
// given size. What a handler raises ends the box and is raised again by Run.
class PixelDialog {
 public:
  PixelDialog(std::wstring title, int width, int height)
      : title_(std::move(title)), width_(width), height_(height) {}
  virtual ~PixelDialog() = default;
  PixelDialog(const PixelDialog&) = delete;
  PixelDialog& operator=(const PixelDialog&) = delete;

  // IDOK or IDCANCEL.
  INT_PTR Run(HWND owner) {
    // An empty template: no controls, no font; the box gets both in build().
    std::vector<WORD> layout(sizeof(DLGTEMPLATE) / sizeof(WORD) + 3, 0);
    auto* header = reinterpret_cast<DLGTEMPLATE*>(layout.data());
    header->style = DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    const INT_PTR result =
        DialogBoxIndirectParamW(GetModuleHandleW(nullptr), header, owner, &PixelDialog::proc,
                                reinterpret_cast<LPARAM>(this));
    if (failure_) std::rethrow_exception(failure_);
    return result;
  }

 protected:
  virtual void build() = 0;
  // A command of a control other than OK and Cancel.
  virtual void command(WORD, WORD) {}
  // OK was pressed: false keeps the box open.
  virtual bool accept() { return true; }
  virtual void closing() {}
  virtual LRESULT colour(HDC, HWND) { return 0; }

  HWND add(const wchar_t* type, const std::wstring& text, DWORD style, int id, int left, int top,
           int width, int height, HWND parent = nullptr, DWORD exStyle = 0) {
    HWND control = CreateWindowExW(exStyle, type, text.c_str(), WS_CHILD | WS_VISIBLE | style, left,
                                   top, width, height, parent ? parent : dialog_,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   GetModuleHandleW(nullptr), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
    return control;
  }
  HWND label(const std::string& text, int left, int top, int width, int height,
             DWORD style = SS_LEFT) {
    return add(WC_STATICW, Wide(text), style | SS_NOPREFIX, -1, left, top, width, height);
  }
  HWND dialog() const { return dialog_; }
  const Font& font() const { return font_; }

 private:
  static INT_PTR CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) SetWindowLongPtrW(window, DWLP_USER, lParam);
    auto* self = reinterpret_cast<PixelDialog*>(GetWindowLongPtrW(window, DWLP_USER));
    if (self == nullptr) return FALSE;
    try {
      return self->handle(window, message, wParam, lParam);
    } catch (...) {
      self->failure_ = std::current_exception();
      EndDialog(window, IDCANCEL);
      return TRUE;
    }
  }

  INT_PTR handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
      case WM_INITDIALOG: {
        dialog_ = window;
        SetWindowTextW(window, title_.c_str());
        RECT frame{0, 0, width_, height_};
        AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)), FALSE,
                           static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE)));
        RECT owner{};
        HWND parent = GetParent(window);
        if (parent == nullptr || !GetWindowRect(parent, &owner)) {
          SystemParametersInfoW(SPI_GETWORKAREA, 0, &owner, 0);
        }
        const int w = frame.right - frame.left;
        const int h = frame.bottom - frame.top;
        SetWindowPos(window, nullptr, owner.left + (owner.right - owner.left - w) / 2,
                     owner.top + (owner.bottom - owner.top - h) / 2, w, h, SWP_NOZORDER);
        build();
        return TRUE;
      }
      case WM_COMMAND: {
        const WORD id = LOWORD(wParam);
        if (id == IDOK) {
          if (accept()) {
            closing();
            EndDialog(window, IDOK);
          }
          return TRUE;
        }
        if (id == IDCANCEL) {
          closing();
          EndDialog(window, IDCANCEL);
          return TRUE;
        }
        command(id, HIWORD(wParam));
        return TRUE;
      }
      case WM_CTLCOLORSTATIC:
        return static_cast<INT_PTR>(
            colour(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
      default:
        return FALSE;
    }
  }

  std::wstring title_;
  int width_;
  int height_;
  HWND dialog_ = nullptr;
  Font font_{L"Arial", 11};
  std::exception_ptr failure_;
};

std::wstring windowText(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::wstring comboItem(HWND combo, int index) {
  const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length < 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index),
               reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

void addItems(HWND combo, const std::vector<std::string>& items, int selected) {
  for (const auto& item : items) {
    const std::wstring wide = Wide(item);
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
  }
  SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

// ---- Line settings ------------------------------------------------------------------------

constexpr int kCommonRates[] = {300,   1200,  2400,  4800,   9600,   19200,
                                31250, 38400, 57600, 115200, 230400, 460800};
enum : int { kBaud = 301, kDataBits, kParity, kStopBits };

class LineSettingsDialog final : public PixelDialog {
 public:
  explicit LineSettingsDialog(const core::LineSettings& current)
      : PixelDialog(L"Paramètres du port", 240, kButtonsTop + 23 + 10), current_(current) {}

  std::optional<core::LineSettings> Settings() const { return chosen_; }

 private:
  // Below the last row (a list 22 high at 96) with a gap, not against it.
  static constexpr int kButtonsTop = 96 + 22 + 12;

  void build() override {
    const char* const captions[] = {
        "Vitesse (bauds) :", "Bits de données :", "Parité :", "Bits d'arrêt :"};
    for (int row = 0; row < 4; ++row) label(captions[row], 12, 15 + row * 28, 100, 16);
    baud_ =
        add(WC_COMBOBOXW, L"", CBS_DROPDOWN | WS_VSCROLL | WS_TABSTOP, kBaud, 116, 12, 112, 200);
    std::vector<std::string> rates;
    for (const int rate : kCommonRates) rates.push_back(std::to_string(rate));
    addItems(baud_, rates, -1);
    SetWindowTextW(baud_, std::to_wstring(current_.baud).c_str());
    dataBits_ = add(WC_COMBOBOXW, L"", CBS_DROPDOWNLIST | WS_TABSTOP, kDataBits, 116, 40, 112, 200);
    addItems(dataBits_, {"5", "6", "7", "8"}, current_.dataBits - 5);
    parity_ = add(WC_COMBOBOXW, L"", CBS_DROPDOWNLIST | WS_TABSTOP, kParity, 116, 68, 112, 200);
    addItems(parity_, {"Aucune", "Impaire", "Paire", "Marque", "Espace"},
             static_cast<int>(current_.parity));
    stopBits_ = add(WC_COMBOBOXW, L"", CBS_DROPDOWNLIST | WS_TABSTOP, kStopBits, 116, 96, 112, 200);
    addItems(stopBits_, {"1", "2"}, current_.stopBits - 1);
    ok_ = add(WC_BUTTONW, L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, IDOK, 72, kButtonsTop, 75, 23);
    add(WC_BUTTONW, L"Annuler", BS_PUSHBUTTON | WS_TABSTOP, IDCANCEL, 153, kButtonsTop, 75, 23);
  }

  void command(WORD id, WORD code) override {
    if (id != kBaud) return;
    // A chosen entry is not in the edit field yet when its notice comes.
    if (code == CBN_SELCHANGE) {
      const int index = static_cast<int>(SendMessageW(baud_, CB_GETCURSEL, 0, 0));
      EnableWindow(ok_, read(comboItem(baud_, index)).has_value());
    } else if (code == CBN_EDITCHANGE) {
      EnableWindow(ok_, read(windowText(baud_)).has_value());
    }
  }

  bool accept() override {
    chosen_ = read(windowText(baud_));
    return chosen_.has_value();
  }

  std::optional<core::LineSettings> read(const std::wstring& baudText) const {
    // The command line's rules, so that both take the same speeds.
    const std::string text = Utf8(baudText);
    if (text.find(',') != std::string::npos) return std::nullopt;
    const auto first = text.find_first_not_of(' ');
    const auto last = text.find_last_not_of(' ');
    auto line = core::ParseLineSettings(
        first == std::string::npos ? std::string{} : text.substr(first, last - first + 1));
    if (!line) return std::nullopt;
    line->dataBits = static_cast<std::uint16_t>(SendMessageW(dataBits_, CB_GETCURSEL, 0, 0) + 5);
    line->parity = static_cast<serial::TParity>(SendMessageW(parity_, CB_GETCURSEL, 0, 0));
    line->stopBits = static_cast<std::uint16_t>(SendMessageW(stopBits_, CB_GETCURSEL, 0, 0) + 1);
    return line;
  }

  core::LineSettings current_;
  std::optional<core::LineSettings> chosen_;
  HWND baud_ = nullptr;
  HWND dataBits_ = nullptr;
  HWND parity_ = nullptr;
  HWND stopBits_ = nullptr;
  HWND ok_ = nullptr;
};

// ---- Messages that cross ----------------------------------------------------------------

class MessagesBox final : public PixelDialog {
 public:
  MessagesBox(const core::MessageChoice& current,
              const std::function<void(const core::MessageChoice&)>& changed)
      : PixelDialog(L"Messages transmis", 440, 262), current_(current), changed_(changed) {}

 private:
  static constexpr int kRowTop = 34;
  static constexpr int kRowHeight = 22;

  void build() override {
    const int columns[] = {290, 365};  // left edges, 75 wide
    label(core::kToSerialHeading, columns[0], 12, 75, 16, SS_CENTER);
    label(core::kToMidiHeading, columns[1], 12, 75, 16, SS_CENTER);
    for (std::size_t k = 0; k < core::kMessageKindCount; ++k) {
      const auto kind = static_cast<core::MessageKind>(k);
      const int top = kRowTop + static_cast<int>(k) * kRowHeight;
      label(core::KindLabel(kind), 12, top + 2, 270, 16);
      for (const bool toSerial : {true, false}) {
        HWND box =
            add(WC_BUTTONW, L"", BS_AUTOCHECKBOX | WS_TABSTOP, MessageKindBoxId(toSerial, kind),
                columns[toSerial ? 0 : 1] + 30, top, 16, 18);
        check(box, (toSerial ? current_.toSerial : current_.toMidi).Has(kind));
      }
    }
    const int textTop = kRowTop + static_cast<int>(core::kMessageKindCount) * kRowHeight + 8;
    check(add(WC_BUTTONW, Wide(core::kSerialTextLabel), BS_AUTOCHECKBOX | WS_TABSTOP,
              kSerialTextBoxId, 12, textTop, 416, 18),
          current_.serialText);
    HWND close =
        add(WC_BUTTONW, L"Fermer", BS_DEFPUSHBUTTON | WS_TABSTOP, IDOK, 353, textTop + 30, 75, 23);
    SetFocus(close);
  }

  void command(WORD, WORD code) override {
    if (code != BN_CLICKED) return;
    core::MessageChoice choice;
    for (std::size_t k = 0; k < core::kMessageKindCount; ++k) {
      const auto kind = static_cast<core::MessageKind>(k);
      choice.toSerial.Set(kind, checked(MessageKindBoxId(true, kind)));
      choice.toMidi.Set(kind, checked(MessageKindBoxId(false, kind)));
    }
    choice.serialText = checked(kSerialTextBoxId);
    if (choice == current_) return;
    current_ = choice;
    if (changed_) changed_(choice);
  }

  static void check(HWND box, bool on) {
    SendMessageW(box, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  bool checked(int id) const { return IsDlgButtonChecked(dialog(), id) == BST_CHECKED; }

  core::MessageChoice current_;  // what the boxes held at the last change
  std::function<void(const core::MessageChoice&)> changed_;
};

// ---- Port selection -----------------------------------------------------------------------

class PortSelectionDialog final : public PixelDialog {
 public:
  PortSelectionDialog() : PixelDialog(Wide(serial::kSelectPortCaption), 220, 131) {}

  std::uint16_t Chosen() const { return chosen_; }

 private:
  void build() override {
    add(WC_STATICW, L"", SS_ETCHEDFRAME, -1, 8, 8, 204, 82);
    label(serial::kSelectPortLine1, 14, 14, 194, 16);
    label(serial::kSelectPortLine2, 14, 32, 194, 16);
    ports_ =
        add(WC_COMBOBOXW, L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 401, 10, 60, 201, 200);
    addItems(ports_, list_.Entries(), list_.ItemIndex());
    add(WC_BUTTONW, L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, IDOK, 37, 98, 75, 25);
    add(WC_BUTTONW, L"Annuler", BS_PUSHBUTTON | WS_TABSTOP, IDCANCEL, 120, 98, 75, 25);
  }

  bool accept() override {
    const int index = static_cast<int>(SendMessageW(ports_, CB_GETCURSEL, 0, 0));
    chosen_ =
        index < 0
            ? 0
            : static_cast<std::uint16_t>(platform::ComNumberOf(Utf8(comboItem(ports_, index))));
    return true;
  }

  serial::TComSelectList list_;
  HWND ports_ = nullptr;
  std::uint16_t chosen_ = 0;
};

// ---- About box ----------------------------------------------------------------------------

constexpr COLORREF kGreen = RGB(0, 128, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);

LRESULT CALLBACK BulletProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT area;
    GetClientRect(window, &area);
    HBRUSH face = GetSysColorBrush(COLOR_BTNFACE);
    FillRect(dc, &area, face);
    HPEN pen = CreatePen(PS_SOLID, 1, RGB(0, 64, 0));
    HBRUSH brush = CreateSolidBrush(kGreen);
    HGDIOBJ oldPen = SelectObject(dc, pen);
    HGDIOBJ oldBrush = SelectObject(dc, brush);
    Ellipse(dc, 2, 2, 10, 10);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
    DeleteObject(pen);
    DeleteObject(brush);
    EndPaint(window, &ps);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

class AboutBox final : public PixelDialog {
 public:
  explicit AboutBox(const std::string& comments)
      : PixelDialog(L"A propos...", 305, 193), comments_(comments) {
    WNDCLASSEXW type{};
    type.cbSize = sizeof type;
    type.lpfnWndProc = &BulletProc;
    type.hInstance = GetModuleHandleW(nullptr);
    type.lpszClassName = L"VelmoraBullet";
    RegisterClassExW(&type);
  }

 private:
  void build() override {
    HWND icon = add(WC_STATICW, L"", SS_ICON | SS_REALSIZECONTROL, -1, 16, 16, 32, 32);
    HANDLE image = LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kIconResource),
                              IMAGE_ICON, 32, 32, LR_SHARED);
    SendMessageW(icon, STM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(image));

    // The name's two parts touch, as one word, its end where the form's second label ends; the
    // description ends under it. Both sized from their font, so that nothing is cut.
    const std::wstring name = Wide(ProgramInfo::kName);
    const std::wstring first = name.substr(0, 3);
    const std::wstring last = name.substr(3);
    const int lastWidth = TextSize(dialog(), title_.get(), last).cx + 2;
    const int firstWidth = TextSize(dialog(), title_.get(), first).cx + 2;
    const int lastLeft = 296 - lastWidth;
    CreateTitleLabel(dialog(), first, RGB(0, 0, 0), true, title_.get(), lastLeft - firstWidth, 8,
                     firstWidth, 33);
    CreateTitleLabel(dialog(), last, RGB(255, 0, 0), false, title_.get(), lastLeft, 8, lastWidth,
                     33);
    const std::string description = "Passerelle expérimentale MIDI / Port série";
    const SIZE text = TextSize(dialog(), font().get(), Wide(description));
    label(description, 289 - text.cx, 40, text.cx, text.cy, SS_RIGHT);
    add(WC_STATICW, L"", SS_ETCHEDHORZ, -1, 16, 56, 273, 2);

    const struct {
      const char* caption;
      const char* value;
      int top;
    } rows[] = {
        {"Version :", ProgramInfo::kFileVersion, 72},
        {"Copyright :", ProgramInfo::kLegalCopyright, 88},
        {"Commentaires :", comments_.empty() ? ProgramInfo::kComments : comments_.c_str(), 104},
    };
    for (const auto& row : rows) {
      add(L"VelmoraBullet", L"", 0, -1, 16, row.top, 12, 12);
      label(row.caption, 32, row.top, 78, 14);
      fields_.push_back(add(WC_STATICW, Wide(row.value), SS_LEFT | SS_NOPREFIX | SS_SUNKEN, -1, 112,
                            row.top, 177, 16));
    }

    add(WC_STATICW, L"", SS_ETCHEDHORZ, -1, 8, 136, 289, 2);
    label("Remerciements", 8, 144, 120, 14);
    scroll_ = std::make_unique<ScrollTextBox>(
        dialog(),
        std::vector<std::wstring>{L"Merci aux auteurs des composants série",
                                  L"Merci aux auteurs des composants MIDI"},
        kBlue, font().get(), 8, 160, 200, 25);
    scroll_->SetScrolling(true);
    HWND ok = add(WC_BUTTONW, L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, IDOK, 216, 160, 81, 25);
    SetFocus(ok);
  }

  void closing() override {
    if (scroll_) scroll_->SetScrolling(false);
  }

  LRESULT colour(HDC dc, HWND control) override {
    for (HWND field : fields_) {
      if (field == control) {
        SetTextColor(dc, kGreen);
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
      }
    }
    return 0;
  }

  const std::string comments_;
  Font title_{L"Arial", 24, true};
  std::vector<HWND> fields_;
  std::unique_ptr<ScrollTextBox> scroll_;
};

}  // namespace

std::optional<core::LineSettings> ChooseLineSettings(HWND owner,
                                                     const core::LineSettings& current) {
  LineSettingsDialog dialog(current);
  if (dialog.Run(owner) != IDOK) return std::nullopt;
  return dialog.Settings();
}

void ShowMessagesBox(HWND owner, const core::MessageChoice& current,
                     const std::function<void(const core::MessageChoice&)>& changed) {
  MessagesBox box(current, changed);
  box.Run(owner);
}

std::uint16_t ChooseComPort(HWND owner) {
  PortSelectionDialog dialog;
  if (dialog.Run(owner) != IDOK) return 0;
  return dialog.Chosen();
}

void ShowAboutBox(HWND owner, const std::string& comments) {
  AboutBox box(comments);
  box.Run(owner);
}

}  // namespace velmora::ui::win32
