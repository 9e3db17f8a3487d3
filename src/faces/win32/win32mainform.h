// The Win32 face of the operator's window: a registered window class whose
// controls come from the console's control table, scaled from 96-DPI design
// pixels to the monitor. It turns window messages into console calls and
// shows what the console tells it; every rule lives in the console.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "shell/fMainForm.h"
#include "views/mainformview.h"

class TWin32MainForm final : public TmainFormView {
 public:
  // Application messages of the face itself, above the console's.
  static constexpr UINT kTrayMessage = WM_APP + 100;

  // Creates the window and its controls (hidden), then the console; the
  // console's FormCreate runs in Start().
  explicit TWin32MainForm(TmainFormEnvironment environment = {});
  ~TWin32MainForm() override;
  TWin32MainForm(const TWin32MainForm&) = delete;
  TWin32MainForm& operator=(const TWin32MainForm&) = delete;

  // FormCreate, then the window shown centred.
  void Start(int showCommand = SW_SHOWNORMAL);

  HWND Handle() const { return window_; }  // null once destroyed
  // WM_COMMAND identifier of a control or menu item.
  static int CommandId(TControlId id);
  HWND Control(TControlId id) const;
  TmainForm& Console() { return *console_; }
  bool TrayIconShown() const { return trayShown_; }

  // The key preview: F1–F4 reach the console before the focused control,
  // which still gets them. True when the message was a function key.
  bool PreviewKey(const MSG& message);

  // TmainFormView
  std::u16string Text(TControlId control) const override;
  void SetText(TControlId control, const std::u16string& text) override;
  bool Checked(TControlId control) const override;
  void SetChecked(TControlId control, bool checked) override;
  void SetEnabled(TControlId control, bool enabled) override;
  void SetVisible(TControlId control, bool visible) override;
  std::int32_t Position(TControlId control) const override;
  void SetPosition(TControlId control, std::int32_t position) override;
  void SetItems(TControlId control, const std::vector<std::u16string>& items, std::int32_t selected) override;
  void SetRowCount(std::int32_t count) override;
  void RepaintList(bool immediately) override;
  void AppendLogLine(const std::u16string& line) override;
  std::int32_t LogLineCount() const override;
  void DeleteFirstLogLine() override;
  void PostScrollLogToEnd() override;
  void SetStatusText(std::int32_t panel, const std::u16string& text) override;
  void ShowWindow() override;
  void HideWindow() override;
  void SetTrayIconVisible(bool visible) override;
  bool TrayAvailable() const override { return true; }
  void CloseWindow() override;
  void QuitApplication() override;
  void ShowMessage(TMessageKind kind, const std::u16string& text) override;
  std::optional<std::u16string> AskOpenFileName(std::u16string_view filterDescription,
                                                std::u16string_view filterPattern) override;
  std::optional<TDecodedPicture> DecodePicture(const std::u16string& path, std::span<const std::uint8_t> file) override;

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK RefreshButtonProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR subclass,
                                            DWORD_PTR data);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  void Layout();
  void OnCommand(int id, int code, HWND control);
  void OnTrayMessage(LPARAM lParam);
  bool OnDrawItem(const DRAWITEMSTRUCT& item);
  void OnListNotify(NMHDR& header);
  void CountLogLines();
  HFONT CreateWindowFont() const;  // Tahoma 8 pt at the window's DPI
  int Scale(int designPixels) const;
  int Unscale(int pixels) const;

  HWND window_ = nullptr;
  UINT dpi_ = USER_DEFAULT_SCREEN_DPI;
  HFONT font_ = nullptr;
  HICON icon_ = nullptr;
  HICON smallIcon_ = nullptr;
  HMENU trayMenu_ = nullptr;
  bool trayShown_ = false;
  std::array<HWND, 64> controls_{};
  // Lengths (characters, line end included) of the log's lines, top down,
  // so the first line is removed without reading the whole log back.
  std::vector<std::int32_t> logLines_;
  std::size_t logFirst_ = 0;  // logLines_[logFirst_] is the top line
  bool changingLog_ = false;
  std::unique_ptr<TmainForm> console_;
};

// The message loop of the program: runs until the window is destroyed.
int RunMessageLoop(TWin32MainForm& form);
// Dispatches what is queued, through the same key preview (for tests).
// True when the loop's end (WM_QUIT) was among them; it is not kept.
bool ProcessPendingMessages(TWin32MainForm& form);
