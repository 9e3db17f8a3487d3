#include "win32mainform.h"

#include <algorithm>
#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <stdexcept>

#include "exchange/scoreboardexchangethread.h"
#include "platform/messagewindow.h"
#include "views/resultslist.h"

namespace {

constexpr const wchar_t* kClassName = L"TmainForm";
constexpr UINT kTrayIconId = 1;
constexpr UINT_PTR kTimerId = 1;
constexpr int kControlIdBase = 1000;
constexpr int kDropDownListHeight = 200;  // the drop-down list below a combo box

const wchar_t* W(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
std::u16string U(const wchar_t* text, std::size_t length) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

std::u16string WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(window, text.data(), length + 1);
  return U(text.data(), static_cast<std::size_t>(std::max(got, 0)));
}

int ControlIndex(TControlId id) { return static_cast<int>(id); }

struct TWindowClass {
  const wchar_t* name;
  DWORD style;
  DWORD exStyle;
};

TWindowClass ClassFor(TControlKind kind) {
  switch (kind) {
    case TControlKind::GroupBox:
      return {WC_BUTTONW, BS_GROUPBOX, 0};
    case TControlKind::Label:
      // One line, cut at the label's width.
      return {WC_STATICW, SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0};
    case TControlKind::Edit:
      return {WC_EDITW, ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE};
    case TControlKind::Memo:
      // Word wrap: no ES_AUTOHSCROLL; no scroll bars.
      return {WC_EDITW, ES_MULTILINE | ES_WANTRETURN | ES_NOHIDESEL | WS_TABSTOP, WS_EX_CLIENTEDGE};
    case TControlKind::CheckBox:
      return {WC_BUTTONW, BS_AUTOCHECKBOX | WS_TABSTOP, 0};
    case TControlKind::RadioButton:
      return {WC_BUTTONW, BS_AUTORADIOBUTTON | WS_TABSTOP, 0};
    case TControlKind::Button:
      return {WC_BUTTONW, BS_PUSHBUTTON | BS_MULTILINE | WS_TABSTOP, 0};
    case TControlKind::ComboBox:
      return {WC_COMBOBOXW, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0};
    case TControlKind::ListView:
      return {WC_LISTVIEWW,
              LVS_REPORT | LVS_OWNERDATA | LVS_OWNERDRAWFIXED | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_TABSTOP,
              WS_EX_CLIENTEDGE};
    case TControlKind::TrackBar:
      return {TRACKBAR_CLASSW, TBS_HORZ | TBS_AUTOTICKS | WS_TABSTOP, 0};
    case TControlKind::StatusBar:
      return {STATUSCLASSNAMEW, 0, 0};
    default:
      return {nullptr, 0, 0};  // components without a window
  }
}

// A control's rectangle in the window's client area, in design pixels.
TRect AbsoluteRect(TControlId id, std::int32_t clientHeight) {
  TRect rect = ControlRect(id, clientHeight);
  for (TControlId parent = ControlDesign(id).parent; parent != TControlId::mainForm;
       parent = ControlDesign(parent).parent) {
    const TRect outer = ControlRect(parent, clientHeight);
    rect.left += outer.left;
    rect.top += outer.top;
  }
  return rect;
}

UINT WindowDpi(HWND window) {
  // GetDpiForWindow exists from Windows 10 1607 on; older systems scale by
  // the screen's logical DPI.
  using TGetDpiForWindow = UINT(WINAPI*)(HWND);
  static const auto getDpi = reinterpret_cast<TGetDpiForWindow>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpi != nullptr && window != nullptr) {
    const UINT dpi = getDpi(window);
    if (dpi != 0) return dpi;
  }
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

}  // namespace

TWin32MainForm::TWin32MainForm(TmainFormEnvironment environment) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);

  const HINSTANCE instance = GetModuleHandleW(nullptr);
  icon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                        GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
  smallIcon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &WindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = icon_;
  windowClass.hIconSm = smallIcon_;
  windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  windowClass.lpszClassName = kClassName;
  RegisterClassExW(&windowClass);  // fails harmlessly when already registered

  const std::u16string caption(kMainFormCaption);
  window_ = CreateWindowExW(0, kClassName, W(caption), WS_OVERLAPPEDWINDOW & ~WS_MAXIMIZEBOX, CW_USEDEFAULT,
                            CW_USEDEFAULT, kOuterWidth, kMinOuterHeight, nullptr, nullptr, instance, this);
  if (window_ == nullptr) throw std::runtime_error("CreateWindowExW failed");
  dpi_ = WindowDpi(window_);
  font_ = CreateWindowFont();
  CreateControls();

  // The design client area, centred on the monitor the window opens on.
  RECT outer{0, 0, Scale(kClientWidth), Scale(kClientHeight)};
  AdjustWindowRectEx(&outer, static_cast<DWORD>(GetWindowLongPtrW(window_, GWL_STYLE)), FALSE, 0);
  const int width = Scale(kOuterWidth);
  const int height =
      std::clamp(static_cast<int>(outer.bottom - outer.top), Scale(kMinOuterHeight), Scale(kMaxOuterHeight));
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  GetMonitorInfoW(MonitorFromWindow(window_, MONITOR_DEFAULTTOPRIMARY), &monitor);
  const RECT& work = monitor.rcWork;
  SetWindowPos(window_, nullptr, work.left + (work.right - work.left - width) / 2,
               work.top + (work.bottom - work.top - height) / 2, width, height, SWP_NOZORDER | SWP_NOACTIVATE);

  environment.windowHandle = window_;
  console_ = std::make_unique<TmainForm>(*this, std::move(environment));
}

TWin32MainForm::~TWin32MainForm() {
  SetTrayIconVisible(false);
  if (window_ != nullptr) {
    KillTimer(window_, kTimerId);
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  console_.reset();
  if (trayMenu_ != nullptr) DestroyMenu(trayMenu_);
  if (font_ != nullptr) DeleteObject(font_);
  if (icon_ != nullptr) DestroyIcon(icon_);
  if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
}

void TWin32MainForm::Start(int showCommand) {
  console_->FormCreate();
  ::ShowWindow(window_, showCommand);
  UpdateWindow(window_);
}

HFONT TWin32MainForm::CreateWindowFont() const {
  return CreateFontW(-MulDiv(kMainFormFontPoints, static_cast<int>(dpi_), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, W(std::u16string(kMainFormFontName)));
}

int TWin32MainForm::Scale(int designPixels) const { return MulDiv(designPixels, static_cast<int>(dpi_), 96); }
int TWin32MainForm::Unscale(int pixels) const { return MulDiv(pixels, 96, static_cast<int>(dpi_)); }

int TWin32MainForm::CommandId(TControlId id) { return kControlIdBase + ControlIndex(id); }

HWND TWin32MainForm::Control(TControlId id) const {
  const int index = ControlIndex(id);
  return index >= 0 && index < static_cast<int>(controls_.size()) ? controls_[static_cast<std::size_t>(index)]
                                                                  : nullptr;
}

void TWin32MainForm::CreateControls() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  std::vector<HWND> groupBoxes;
  for (const TControlDesign& design : MainFormControls()) {
    const int index = ControlIndex(design.id);
    switch (design.kind) {
      case TControlKind::Timer:
        SetTimer(window_, kTimerId, static_cast<UINT>(design.value), nullptr);
        continue;
      case TControlKind::PopupMenu:
        trayMenu_ = CreatePopupMenu();
        continue;
      case TControlKind::MenuItem:
        AppendMenuW(trayMenu_, MF_STRING, static_cast<UINT_PTR>(kControlIdBase + index),
                    W(std::u16string(design.caption)));
        continue;
      default:
        break;
    }
    const TWindowClass windowClass = ClassFor(design.kind);
    if (windowClass.name == nullptr) continue;
    DWORD style = WS_CHILD | windowClass.style;
    if (design.visible) style |= WS_VISIBLE;
    if (!design.enabled) style |= WS_DISABLED;
    const TRect rect = AbsoluteRect(design.id, kClientHeight);
    const int extra = design.kind == TControlKind::ComboBox ? kDropDownListHeight : 0;
    const std::u16string caption(design.kind == TControlKind::StatusBar ? std::u16string_view() : design.caption);
    HWND control =
        CreateWindowExW(windowClass.exStyle, windowClass.name, W(caption), style, Scale(rect.left), Scale(rect.top),
                        Scale(rect.width), Scale(rect.height + extra), window_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kControlIdBase + index)), instance, nullptr);
    controls_[static_cast<std::size_t>(index)] = control;
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    switch (design.kind) {
      case TControlKind::GroupBox:
        groupBoxes.push_back(control);
        break;
      case TControlKind::CheckBox:
      case TControlKind::RadioButton:
        SendMessageW(control, BM_SETCHECK, design.checked ? BST_CHECKED : BST_UNCHECKED, 0);
        break;
      case TControlKind::TrackBar:
        SendMessageW(control, TBM_SETRANGE, FALSE, MAKELPARAM(design.minimum, design.maximum));
        SendMessageW(control, TBM_SETPOS, TRUE, design.value);
        break;
      case TControlKind::ListView: {
        ListView_SetExtendedListViewStyle(control, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
        int column = 0;
        for (const TResultsColumnSpec& columnSpec : ResultsColumns()) {
          std::u16string header(columnSpec.header);
          LVCOLUMNW lvColumn{};
          lvColumn.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
          lvColumn.pszText = const_cast<wchar_t*>(W(header));
          lvColumn.cx = Scale(columnSpec.width);
          lvColumn.iSubItem = column;
          SendMessageW(control, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&lvColumn));
          ++column;
        }
        break;
      }
      case TControlKind::StatusBar: {
        std::vector<int> edges;
        int right = 0;
        for (const TStatusPanelSpec& panel : StatusPanels()) {
          right += Scale(panel.width);
          edges.push_back(right);
        }
        SendMessageW(control, SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
        int part = 0;
        for (const TStatusPanelSpec& panel : StatusPanels()) SetStatusText(part++, std::u16string(panel.text));
        break;
      }
      case TControlKind::Button:
        if (design.id == TControlId::sbRefreshScoreboard) SetWindowSubclass(control, &RefreshButtonProc, 1, 0);
        break;
      default:
        break;
    }
  }
  // Group boxes paint only their frame; kept below the controls they hold.
  for (auto it = groupBoxes.rbegin(); it != groupBoxes.rend(); ++it)
    SetWindowPos(*it, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  SetTrayIconVisible(ControlDesign(TControlId::TrayIcon1).visible);
}

// The resize rule: the console's anchors give every control's place for the
// new client height.
void TWin32MainForm::Layout() {
  RECT client{};
  GetClientRect(window_, &client);
  if (HWND status = Control(TControlId::mainStatusBar)) SendMessageW(status, WM_SIZE, 0, 0);
  const std::int32_t clientHeight = Unscale(client.bottom - client.top);
  HDWP positions = BeginDeferWindowPos(static_cast<int>(MainFormControls().size()));
  for (const TControlDesign& design : MainFormControls()) {
    HWND control = Control(design.id);
    if (control == nullptr || design.kind == TControlKind::StatusBar) continue;
    const TRect rect = AbsoluteRect(design.id, clientHeight);
    const int extra = design.kind == TControlKind::ComboBox ? kDropDownListHeight : 0;
    if (positions != nullptr) {
      positions = DeferWindowPos(positions, control, nullptr, Scale(rect.left), Scale(rect.top), Scale(rect.width),
                                 Scale(rect.height + extra), SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
  if (positions != nullptr) EndDeferWindowPos(positions);
  InvalidateRect(window_, nullptr, TRUE);
}

LRESULT CALLBACK TWin32MainForm::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    return DefWindowProcW(hwnd, message, wParam, lParam);
  }
  // The exchange thread's blocking call (the feed log) runs here.
  if (platform::RunSynchronizeCall(message, lParam)) return 0;
  auto* self = reinterpret_cast<TWin32MainForm*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self == nullptr || self->window_ == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
  return self->OnMessage(message, wParam, lParam);
}

LRESULT TWin32MainForm::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_EXCHANGE_NOTIFY:
    case WM_SCOREBOARD_STATE:
      console_->WindowMessage(message, static_cast<std::uintptr_t>(wParam), static_cast<std::intptr_t>(lParam));
      return 0;
    case kTrayMessage:
      OnTrayMessage(lParam);
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return 0;
    case WM_HSCROLL:
      if (reinterpret_cast<HWND>(lParam) == Control(TControlId::tbBrightness) && LOWORD(wParam) != TB_ENDTRACK)
        console_->tbBrightnessChange();
      return 0;
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lParam);
      if (header != nullptr && header->hwndFrom == Control(TControlId::lvScoreboard)) OnListNotify(*header);
      return 0;
    }
    case WM_DRAWITEM:
      if (OnDrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam))) return TRUE;
      break;
    case WM_MEASUREITEM:
      break;
    case WM_TIMER:
      if (wParam == kTimerId) console_->Timer1Timer();
      return 0;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize = {Scale(kOuterWidth), Scale(kMinOuterHeight)};
      info->ptMaxTrackSize = {Scale(kOuterWidth), Scale(kMaxOuterHeight)};
      info->ptMaxSize = info->ptMaxTrackSize;
      return 0;
    }
    case WM_SIZE:
      Layout();
      return 0;
    case WM_DPICHANGED: {
      // Moved to a monitor of another DPI: the font and the list's columns
      // follow; the controls follow through WM_SIZE.
      const UINT previous = dpi_;
      dpi_ = HIWORD(wParam);
      HFONT font = CreateWindowFont();
      HWND list = Control(TControlId::lvScoreboard);
      for (HWND control : controls_) {
        if (control != nullptr) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
      }
      for (int column = 0; list != nullptr && column < kResultsColumnCount; ++column) {
        const int width = ListView_GetColumnWidth(list, column);
        ListView_SetColumnWidth(list, column, MulDiv(width, static_cast<int>(dpi_), static_cast<int>(previous)));
      }
      DeleteObject(font_);
      font_ = font;
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(window_, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                   suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_CLOSE: {
      // The console hides to the tray, or passes the close and asks for the
      // end of the message loop (QuitApplication).
      bool canClose = true;
      console_->FormCloseQuery(canClose);
      return 0;
    }
    case WM_QUERYENDSESSION:
      return console_->FormQueryEndSession() ? TRUE : FALSE;
    case WM_ENDSESSION:
      // Windows ends the process once this returns; the console's end ends
      // it first, with the settings and the archive kept.
      if (wParam != FALSE) console_->FormEndSession();
      return 0;
    case WM_DESTROY:
      KillTimer(window_, kTimerId);
      console_->FormDestroy();
      SetTrayIconVisible(false);
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY: {
      HWND window = window_;
      window_ = nullptr;
      return DefWindowProcW(window, message, wParam, lParam);
    }
    default:
      break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

void TWin32MainForm::OnCommand(int id, int code, HWND control) {
  const auto controlId = static_cast<TControlId>(id - kControlIdBase);
  // The tray menu's item arrives without a control window.
  if (controlId == TControlId::N1 && control == nullptr) {
    console_->N1Click();
    return;
  }
  if (controlId == TControlId::mScoreboardSourceLog) {
    // The operator may type into the log; its lines are counted afresh.
    if (code == EN_CHANGE && !changingLog_) CountLogLines();
    return;
  }
  if (controlId == TControlId::cbPortsList) {
    if (code == CBN_SELCHANGE) console_->cbPortsListChange();
    return;
  }
  if (code != BN_CLICKED) return;
  switch (controlId) {
    case TControlId::cbEnableEdit:
      console_->cbEnableEditClick();
      break;
    case TControlId::cbScoreboardLog:
      console_->cbScoreboardLogClick();
      break;
    case TControlId::sbSaveConfig:
      console_->sbSaveConfigClick();
      break;
    case TControlId::rbBestLap:
      console_->rbBestLapClick();
      break;
    case TControlId::rbRace:
      console_->rbRaceClick();
      break;
    case TControlId::SpeedButton2:
      console_->SpeedButton2Click();
      break;
    case TControlId::SpeedButton1:
      console_->SpeedButton1Click();
      break;
    case TControlId::sbStartLight:
      console_->sbStartLightClick();
      break;
    case TControlId::sbStopLight:
      console_->sbStopLightClick();
      break;
    case TControlId::sbClearScoreboard:
      console_->sbClearScoreboardClick();
      break;
    case TControlId::sbRefreshScoreboard:
      console_->sbRefreshScoreboardClick();
      break;
    default:
      break;
  }
}

LRESULT CALLBACK TWin32MainForm::RefreshButtonProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                                   UINT_PTR /*subclass*/, DWORD_PTR /*data*/) {
  // Any mouse button pressed records whether Shift is held.
  if (message == WM_LBUTTONDOWN || message == WM_RBUTTONDOWN || message == WM_MBUTTONDOWN ||
      message == WM_LBUTTONDBLCLK) {
    auto* self = reinterpret_cast<TWin32MainForm*>(GetWindowLongPtrW(GetParent(hwnd), GWLP_USERDATA));
    if (self != nullptr) self->console_->sbRefreshScoreboardMouseDown((wParam & MK_SHIFT) != 0);
  }
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

void TWin32MainForm::OnTrayMessage(LPARAM lParam) {
  switch (LOWORD(lParam)) {
    case WM_LBUTTONUP:
      console_->TrayIcon1Click();
      break;
    case WM_RBUTTONUP:
    case WM_CONTEXTMENU: {
      POINT at{};
      GetCursorPos(&at);
      // The menu closes when the operator clicks elsewhere only if the
      // window is in the foreground.
      SetForegroundWindow(window_);
      TrackPopupMenu(trayMenu_, TPM_RIGHTBUTTON, at.x, at.y, 0, window_, nullptr);
      PostMessageW(window_, WM_NULL, 0, 0);
      break;
    }
    default:
      break;
  }
}

bool TWin32MainForm::PreviewKey(const MSG& message) {
  if (message.message != WM_KEYDOWN || message.wParam < VK_F1 || message.wParam > VK_F4) return false;
  if (message.hwnd != window_ && !IsChild(window_, message.hwnd)) return false;
  // Shift, Alt and Ctrl as the console's shift state spells them.
  std::uint32_t shiftState = 0;
  if (GetKeyState(VK_SHIFT) < 0) shiftState |= 1u;
  if (GetKeyState(VK_MENU) < 0) shiftState |= 2u;
  if (GetKeyState(VK_CONTROL) < 0) shiftState |= 4u;
  console_->FormKeyDown(static_cast<std::int32_t>(message.wParam), shiftState);
  return true;
}

void TWin32MainForm::OnListNotify(NMHDR& header) {
  if (header.code != LVN_GETDISPINFOW) return;
  auto& info = reinterpret_cast<NMLVDISPINFOW&>(header);
  LVITEMW& item = info.item;
  if ((item.mask & LVIF_TEXT) == 0 || item.pszText == nullptr || item.cchTextMax <= 0) return;
  const std::u16string text = console_->ListCellText(item.iItem, item.iSubItem);
  const std::size_t length = std::min(text.size(), static_cast<std::size_t>(item.cchTextMax - 1));
  std::copy_n(W(text), length, item.pszText);
  item.pszText[length] = L'\0';
}

bool TWin32MainForm::OnDrawItem(const DRAWITEMSTRUCT& item) {
  HWND list = Control(TControlId::lvScoreboard);
  if (item.CtlType != ODT_LISTVIEW || item.hwndItem != list) return false;
  const auto row = static_cast<std::int32_t>(item.itemID);
  const TListRowTexts texts = console_->lvScoreboardData(row);
  std::array<std::int32_t, kResultsColumnCount> widths{};
  for (int column = 0; column < kResultsColumnCount; ++column)
    widths[static_cast<std::size_t>(column)] = ListView_GetColumnWidth(list, column);
  HDC dc = item.hDC;
  HGDIOBJ oldFont = SelectObject(dc, font_);
  SIZE space{};
  GetTextExtentPoint32W(dc, L" ", 1, &space);
  const RECT& r = item.rcItem;
  const TRowPaint paint =
      console_->lvScoreboardDrawItem(TRect{r.left, r.top, r.right - r.left, r.bottom - r.top},
                                     (item.itemState & (ODS_SELECTED | ODS_GRAYED)) != 0, widths, space.cy);
  const COLORREF background =
      paint.background == TRowBackground::ActiveCaption ? GetSysColor(COLOR_ACTIVECAPTION) : RGB(255, 255, 255);
  HBRUSH brush = CreateSolidBrush(background);
  const RECT fill{paint.fill.left, paint.fill.top, paint.fill.Right(), paint.fill.Bottom()};
  FillRect(dc, &fill, brush);
  DeleteObject(brush);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  for (std::size_t cell = 0; cell < paint.cells.size(); ++cell) {
    const std::u16string& text = cell == 0 ? texts.caption : texts.subItems[cell - 1];
    const TCellPaint& at = paint.cells[cell];
    const RECT clip{at.clip.left, at.clip.top, at.clip.Right(), at.clip.Bottom()};
    // A cell that fails to draw is skipped; the next one is drawn.
    ExtTextOutW(dc, at.x, at.y, ETO_CLIPPED, &clip, W(text), static_cast<UINT>(text.size()), nullptr);
  }
  SelectObject(dc, oldFont);
  return true;
}

// ---- TmainFormView -------------------------------------------------------

std::u16string TWin32MainForm::Text(TControlId control) const {
  HWND window = Control(control);
  if (window == nullptr) return {};
  if (ControlDesign(control).kind == TControlKind::ComboBox) {
    const LRESULT selected = SendMessageW(window, CB_GETCURSEL, 0, 0);
    if (selected == CB_ERR) return {};
    const LRESULT length = SendMessageW(window, CB_GETLBTEXTLEN, static_cast<WPARAM>(selected), 0);
    if (length == CB_ERR) return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    SendMessageW(window, CB_GETLBTEXT, static_cast<WPARAM>(selected), reinterpret_cast<LPARAM>(text.data()));
    return U(text.data(), static_cast<std::size_t>(length));
  }
  return WindowText(window);
}

void TWin32MainForm::SetText(TControlId control, const std::u16string& text) {
  HWND window = Control(control);
  if (window == nullptr) return;
  if (control == TControlId::mScoreboardSourceLog) {
    changingLog_ = true;
    SetWindowTextW(window, W(text));
    changingLog_ = false;
    CountLogLines();
    return;
  }
  SetWindowTextW(window, W(text));
}

bool TWin32MainForm::Checked(TControlId control) const {
  HWND window = Control(control);
  return window != nullptr && SendMessageW(window, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void TWin32MainForm::SetChecked(TControlId control, bool checked) {
  if (HWND window = Control(control)) SendMessageW(window, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void TWin32MainForm::SetEnabled(TControlId control, bool enabled) {
  if (HWND window = Control(control)) EnableWindow(window, enabled ? TRUE : FALSE);
}

void TWin32MainForm::SetVisible(TControlId control, bool visible) {
  if (HWND window = Control(control)) ::ShowWindow(window, visible ? SW_SHOW : SW_HIDE);
}

std::int32_t TWin32MainForm::Position(TControlId control) const {
  HWND window = Control(control);
  return window != nullptr ? static_cast<std::int32_t>(SendMessageW(window, TBM_GETPOS, 0, 0)) : 0;
}

void TWin32MainForm::SetPosition(TControlId control, std::int32_t position) {
  if (HWND window = Control(control)) SendMessageW(window, TBM_SETPOS, TRUE, position);
}

void TWin32MainForm::SetItems(TControlId control, const std::vector<std::u16string>& items, std::int32_t selected) {
  HWND window = Control(control);
  if (window == nullptr) return;
  SendMessageW(window, CB_RESETCONTENT, 0, 0);
  for (const std::u16string& item : items) SendMessageW(window, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(item)));
  SendMessageW(window, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

void TWin32MainForm::SetRowCount(std::int32_t count) {
  // The count alone: the rows on screen repaint when the console says so.
  SendMessageW(Control(TControlId::lvScoreboard), LVM_SETITEMCOUNT, static_cast<WPARAM>(count),
               LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
}

void TWin32MainForm::RepaintList(bool immediately) {
  HWND list = Control(TControlId::lvScoreboard);
  InvalidateRect(list, nullptr, TRUE);
  if (immediately) UpdateWindow(list);
}

void TWin32MainForm::CountLogLines() {
  const std::u16string text = WindowText(Control(TControlId::mScoreboardSourceLog));
  logLines_.clear();
  logFirst_ = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find(u"\r\n", start);
    const std::size_t next = end == std::u16string::npos ? text.size() : end + 2;
    logLines_.push_back(static_cast<std::int32_t>(next - start));
    start = next;
  }
}

void TWin32MainForm::AppendLogLine(const std::u16string& line) {
  HWND log = Control(TControlId::mScoreboardSourceLog);
  // Each line ends with its own line break, so the next append starts a
  // new line and the first line is removed with its break.
  const std::u16string withEnd = line + u"\r\n";
  changingLog_ = true;
  const int end = GetWindowTextLengthW(log);
  SendMessageW(log, EM_SETSEL, static_cast<WPARAM>(end), end);
  SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(W(withEnd)));
  changingLog_ = false;
  logLines_.push_back(static_cast<std::int32_t>(withEnd.size()));
}

std::int32_t TWin32MainForm::LogLineCount() const { return static_cast<std::int32_t>(logLines_.size() - logFirst_); }

void TWin32MainForm::DeleteFirstLogLine() {
  if (logFirst_ >= logLines_.size()) return;
  HWND log = Control(TControlId::mScoreboardSourceLog);
  changingLog_ = true;
  SendMessageW(log, EM_SETSEL, 0, logLines_[logFirst_]);
  SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
  changingLog_ = false;
  // Drop the counted prefix now and then instead of shifting every time.
  if (++logFirst_ > 4096) {
    logLines_.erase(logLines_.begin(), logLines_.begin() + static_cast<std::ptrdiff_t>(logFirst_));
    logFirst_ = 0;
  }
}

void TWin32MainForm::PostScrollLogToEnd() {
  PostMessageW(Control(TControlId::mScoreboardSourceLog), EM_LINESCROLL, 0, LogLineCount());
}

void TWin32MainForm::SetStatusText(std::int32_t panel, const std::u16string& text) {
  SendMessageW(Control(TControlId::mainStatusBar), SB_SETTEXTW, static_cast<WPARAM>(panel),
               reinterpret_cast<LPARAM>(W(text)));
}

void TWin32MainForm::ShowWindow() {
  ::ShowWindow(window_, IsIconic(window_) || IsZoomed(window_) ? SW_RESTORE : SW_SHOW);
  SetForegroundWindow(window_);
}

void TWin32MainForm::HideWindow() { ::ShowWindow(window_, SW_HIDE); }

void TWin32MainForm::SetTrayIconVisible(bool visible) {
  if (visible == trayShown_ || window_ == nullptr) return;
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window_;
  data.uID = kTrayIconId;
  if (visible) {
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kTrayMessage;
    data.hIcon = smallIcon_;
    const std::u16string tip(kMainFormCaption);
    std::copy_n(W(tip), std::min(tip.size(), std::size(data.szTip) - 1), data.szTip);
    trayShown_ = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
  } else {
    Shell_NotifyIconW(NIM_DELETE, &data);
    trayShown_ = false;
  }
}

void TWin32MainForm::CloseWindow() { PostMessageW(window_, WM_CLOSE, 0, 0); }

void TWin32MainForm::QuitApplication() {
  if (window_ != nullptr) DestroyWindow(window_);
}

void TWin32MainForm::ShowMessage(TMessageKind kind, const std::u16string& text) {
  const std::u16string caption(kMainFormCaption);
  MessageBoxW(IsWindowVisible(window_) ? window_ : nullptr, W(text), W(caption),
              MB_OK | (kind == TMessageKind::Warning ? MB_ICONWARNING : MB_ICONERROR));
}

std::optional<std::u16string> TWin32MainForm::AskOpenFileName(std::u16string_view filterDescription,
                                                              std::u16string_view filterPattern) {
  std::u16string filter;
  filter.append(filterDescription).push_back(u'\0');
  filter.append(filterPattern).push_back(u'\0');
  filter.push_back(u'\0');
  std::wstring file(32768, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = window_;
  dialog.lpstrFilter = W(filter);
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.Flags = OFN_EXPLORER | OFN_HIDEREADONLY;
  if (!GetOpenFileNameW(&dialog)) return std::nullopt;
  return U(file.c_str(), wcslen(file.c_str()));
}

std::optional<TDecodedPicture> TWin32MainForm::DecodePicture(const std::u16string& path,
                                                             std::span<const std::uint8_t> /*file*/) {
  HANDLE image = LoadImageW(nullptr, W(path), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION);
  if (image == nullptr) return std::nullopt;
  auto bitmap = std::shared_ptr<void>(image, [](void* handle) { DeleteObject(static_cast<HBITMAP>(handle)); });
  BITMAP info{};
  if (GetObjectW(image, sizeof info, &info) == 0 || info.bmWidth <= 0 || info.bmHeight <= 0) return std::nullopt;
  // The pixels as top-down 32-bit RGB; a palette picture comes out as its
  // palette entries' colours.
  auto pixels = std::make_shared<std::vector<std::uint32_t>>(static_cast<std::size_t>(info.bmWidth) *
                                                             static_cast<std::size_t>(info.bmHeight));
  BITMAPINFO request{};
  request.bmiHeader.biSize = sizeof request.bmiHeader;
  request.bmiHeader.biWidth = info.bmWidth;
  request.bmiHeader.biHeight = -info.bmHeight;
  request.bmiHeader.biPlanes = 1;
  request.bmiHeader.biBitCount = 32;
  request.bmiHeader.biCompression = BI_RGB;
  HDC screen = GetDC(nullptr);
  const int rows = GetDIBits(screen, static_cast<HBITMAP>(image), 0, static_cast<UINT>(info.bmHeight), pixels->data(),
                             &request, DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  if (rows != info.bmHeight) return std::nullopt;
  TDecodedPicture picture;
  picture.width = info.bmWidth;
  picture.height = info.bmHeight;
  const std::int32_t width = info.bmWidth;
  picture.readRow = [pixels, width](std::int32_t y, std::uint32_t* rgb) {
    const std::uint32_t* row = pixels->data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    for (std::int32_t x = 0; x < width; ++x) rgb[x] = row[x] & 0xFFFFFFu;  // BGRX in memory is 0x00RRGGBB
  };
  return picture;
}

// ---- message loop ----------------------------------------------------------

namespace {
void Dispatch(TWin32MainForm& form, MSG& message) {
  form.PreviewKey(message);  // seen first, and not consumed
  TranslateMessage(&message);
  DispatchMessageW(&message);
}
}  // namespace

int RunMessageLoop(TWin32MainForm& form) {
  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) Dispatch(form, message);
  return 0;
}

bool ProcessPendingMessages(TWin32MainForm& form) {
  MSG message{};
  bool quit = false;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      quit = true;
      continue;
    }
    Dispatch(form, message);
  }
  return quit;
}
