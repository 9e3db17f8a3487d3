// The main window's controls as one table: name, kind, caption or initial
// value, parent and design rectangle in 96-DPI pixels, and how each follows
// the window when it is made taller. Both faces create the window from it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// Every control of the window, named as the operators' manual names them.
enum class TControlId : std::int32_t {
  mainForm,
  GroupBox7,
  GroupBox5,
  Label4,
  srcHostAddress,
  Label5,
  srcHostPort,
  cbScoreboardLog,
  cbEnableEdit,
  sbSaveConfig,
  mScoreboardSourceLog,
  gbResults,
  rbBestLap,
  rbRace,
  lvScoreboard,
  SpeedButton2,
  SpeedButton1,
  ePathToBmp,
  Label7,
  tbBrightness,
  sbStartLight,
  sbStopLight,
  sbClearScoreboard,
  sbRefreshScoreboard,
  Label1,
  cbPortsList,
  mainStatusBar,
  TrayIcon1,
  PopupMenu1,
  N1,
  Timer1,
  odBMPFile,
};

enum class TControlKind : std::int32_t {
  Form,
  GroupBox,
  Label,
  Edit,  // single line
  Memo,  // multi-line text, word wrap, no scroll bars
  CheckBox,
  RadioButton,
  Button,    // push button; "\r\n" in its caption breaks the line
  ComboBox,  // drop-down list without free text
  ListView,  // virtual, owner-drawn report list
  TrackBar,
  StatusBar,
  TrayIcon,
  PopupMenu,
  MenuItem,
  Timer,
  OpenDialog,
};

// What a control does when the window (and so its parent) grows taller by d
// pixels; the window's width is fixed.
enum class TVerticalAnchor : std::int32_t {
  Top,      // keeps its place and height
  Stretch,  // keeps its top, grows by d
  Bottom,   // keeps its height and its distance to the parent's bottom
};

struct TRect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t Right() const { return left + width; }
  std::int32_t Bottom() const { return top + height; }
  bool operator==(const TRect&) const = default;
};

struct TControlDesign {
  TControlId id;
  std::string_view name;  // the control's name, also the Qt objectName
  TControlKind kind;
  std::u16string_view caption;  // caption, initial text, tooltip or filter
  TControlId parent;            // mainForm for the window's direct children
  TRect rect;                   // in the parent's client area; empty for components
  TVerticalAnchor anchor;
  bool enabled;
  bool visible;
  bool checked;  // check and radio boxes
  // Track bar: range and position; timer: interval in ms; otherwise 0.
  std::int32_t minimum;
  std::int32_t maximum;
  std::int32_t value;
};

// Parents come before their children, so a face can create in table order.
std::span<const TControlDesign> MainFormControls();
const TControlDesign& ControlDesign(TControlId id);

// The control's rectangle in its parent when the window's client area is
// `clientHeight` pixels high (design: kClientHeight), by the anchors.
TRect ControlRect(TControlId id, std::int32_t clientHeight);

// The window itself.
inline constexpr std::u16string_view kMainFormCaption = u"Brelvo Proxy";
inline constexpr std::u16string_view kMainFormFontName = u"Tahoma";
inline constexpr std::int32_t kMainFormFontPoints = 8;
inline constexpr std::int32_t kClientWidth = 564;
inline constexpr std::int32_t kClientHeight = 546;
// Outer (frame included) limits: the width is fixed.
inline constexpr std::int32_t kOuterWidth = 580;
inline constexpr std::int32_t kMinOuterHeight = 350;
inline constexpr std::int32_t kMaxOuterHeight = 732;

// The status bar's panels, left to right.
struct TStatusPanelSpec {
  std::int32_t width;
  std::u16string_view text;  // at start
};
inline constexpr std::int32_t kStatusPanelCount = 3;
std::span<const TStatusPanelSpec> StatusPanels();
inline constexpr std::int32_t kBoardStatusPanel = 0;
inline constexpr std::int32_t kFeedStatusPanel = 1;
inline constexpr std::u16string_view kBoardStartText = u"Табло: отключено";
inline constexpr std::u16string_view kBoardDisconnectedText = u"Табло отключено";

// The results list's columns, left to right. Column 0 is the row's caption
// (its position); the others show a standings column.
struct TResultsColumnSpec {
  std::u16string_view header;
  std::int32_t width;
  std::int32_t resultColumn;  // a TResultColumn; -1 for the position column
};
inline constexpr std::int32_t kResultsColumnCount = 7;
std::span<const TResultsColumnSpec> ResultsColumns();

// The picture file dialog's one filter entry.
inline constexpr std::u16string_view kBmpFilterDescription = u"BMP изображение";
inline constexpr std::u16string_view kBmpFilterPattern = u"*.bmp";
