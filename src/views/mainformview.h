// The narrow seam between the console and a face: everything the console
// tells the window to show, and the few things it asks of it. The Qt face
// and the Win32 face implement it; the console's tests use a double.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "views/controltable.h"

enum class TMessageKind : std::int32_t {
  Warning,  // OK button, the operator reads and goes on
  Error,
};

// A picture file as the face's toolkit decoded it. Pixel colours are
// 0xRRGGBB; for a palette picture the palette entry's colour, not the index.
struct TDecodedPicture {
  std::int32_t width = 0;
  std::int32_t height = 0;
  // Fills `rgb` with the `width` colours of row y (0 is the top row).
  std::function<void(std::int32_t y, std::uint32_t* rgb)> readRow;
};

class TmainFormView {
 public:
  virtual ~TmainFormView() = default;

  // Controls by id. A value set here never runs the control's handler: the
  // console calls the handlers itself when the operator acts.
  virtual std::u16string Text(TControlId control) const = 0;  // edits, the port list's current item
  virtual void SetText(TControlId control, const std::u16string& text) = 0;
  virtual bool Checked(TControlId control) const = 0;  // check boxes, radio buttons
  virtual void SetChecked(TControlId control, bool checked) = 0;
  virtual void SetEnabled(TControlId control, bool enabled) = 0;
  virtual void SetVisible(TControlId control, bool visible) = 0;
  virtual std::int32_t Position(TControlId control) const = 0;  // track bar
  // The track bar clamps to its range.
  virtual void SetPosition(TControlId control, std::int32_t position) = 0;
  // Drop-down list: replaces the items; `selected` -1 selects none.
  virtual void SetItems(TControlId control, const std::vector<std::u16string>& items, std::int32_t selected) = 0;

  // The results list (lvScoreboard): its one state is the row count. The
  // repaint asks the console for the texts of every visible row again.
  virtual void SetRowCount(std::int32_t count) = 0;
  virtual void RepaintList(bool immediately) = 0;  // false: at the next paint cycle

  // The feed log (mScoreboardSourceLog).
  virtual void AppendLogLine(const std::u16string& line) = 0;
  virtual std::int32_t LogLineCount() const = 0;
  virtual void DeleteFirstLogLine() = 0;
  // Queued, not done at once: the newest line comes into view once the
  // window's thread has finished the current work.
  virtual void PostScrollLogToEnd() = 0;

  virtual void SetStatusText(std::int32_t panel, const std::u16string& text) = 0;

  // Window and tray.
  virtual void ShowWindow() = 0;  // out of the tray or minimised: normal state, in front
  virtual void HideWindow() = 0;
  virtual void SetTrayIconVisible(bool visible) = 0;
  virtual bool TrayAvailable() const = 0;
  virtual void CloseWindow() = 0;      // an ordinary close request: runs FormCloseQuery
  virtual void QuitApplication() = 0;  // ends the message loop

  // Modal dialogs.
  virtual void ShowMessage(TMessageKind kind, const std::u16string& text) = 0;
  // The open-file dialog; nullopt when cancelled.
  virtual std::optional<std::u16string> AskOpenFileName(std::u16string_view filterDescription,
                                                        std::u16string_view filterPattern) = 0;
  // Decodes a BMP file whose bytes passed ValidateBmpFile; nullopt when the
  // toolkit cannot read it after all.
  virtual std::optional<TDecodedPicture> DecodePicture(const std::u16string& path,
                                                       std::span<const std::uint8_t> file) = 0;
};
