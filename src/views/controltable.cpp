#include "views/controltable.h"

#include <algorithm>
#include <array>

#include "standings/celltext.h"
#include "views/feedlinkstatus.h"

namespace {

using enum TControlId;
using K = TControlKind;
using A = TVerticalAnchor;

// Design values; the taller-window rule is in the anchors: the outer group,
// the results group and the list grow, the controls under the list keep
// their distance to the group's bottom, the status bar stays at the bottom.
constexpr std::array<TControlDesign, 32> kControls{{
    {mainForm,
     "mainForm",
     K::Form,
     kMainFormCaption,
     mainForm,
     {0, 0, kClientWidth, kClientHeight},
     A::Stretch,
     true,
     true,
     false,
     0,
     0,
     0},
    {GroupBox7, "GroupBox7", K::GroupBox, u"Табло", mainForm, {0, 0, 564, 527}, A::Stretch, true, true, false, 0, 0, 0},
    {GroupBox5,
     "GroupBox5",
     K::GroupBox,
     u"Источник данных",
     GroupBox7,
     {8, 16, 541, 60},
     A::Top,
     true,
     true,
     false,
     0,
     0,
     0},
    {Label4, "Label4", K::Label, u"Адрес источника", GroupBox5, {8, 14, 120, 16}, A::Top, true, true, false, 0, 0, 0},
    {srcHostAddress,
     "srcHostAddress",
     K::Edit,
     u"127.0.0.1",
     GroupBox5,
     {8, 31, 120, 21},
     A::Top,
     false,
     true,
     false,
     0,
     0,
     0},
    {Label5, "Label5", K::Label, u"Порт источника", GroupBox5, {136, 14, 90, 16}, A::Top, true, true, false, 0, 0, 0},
    {srcHostPort, "srcHostPort", K::Edit, u"50000", GroupBox5, {136, 31, 80, 21}, A::Top, false, true, false, 0, 0, 0},
    {cbScoreboardLog,
     "cbScoreboardLog",
     K::CheckBox,
     u"Лог обмена",
     GroupBox5,
     {226, 33, 92, 18},
     A::Top,
     true,
     true,
     false,
     0,
     0,
     0},
    {cbEnableEdit,
     "cbEnableEdit",
     K::CheckBox,
     u"Изменить",
     GroupBox5,
     {320, 33, 80, 18},
     A::Top,
     true,
     true,
     false,
     0,
     0,
     0},
    {sbSaveConfig,
     "sbSaveConfig",
     K::Button,
     u"Сохранить",
     GroupBox5,
     {402, 29, 75, 25},
     A::Top,
     true,
     true,
     false,
     0,
     0,
     0},
    {mScoreboardSourceLog,
     "mScoreboardSourceLog",
     K::Memo,
     u"",
     GroupBox7,
     {8, 80, 541, 120},
     A::Top,
     true,
     true,
     false,
     0,
     0,
     0},
    {gbResults,
     "gbResults",
     K::GroupBox,
     u"Таблица результатов",
     GroupBox7,
     {8, 204, 548, 315},
     A::Stretch,
     true,
     true,
     false,
     0,
     0,
     0},
    {rbBestLap,
     "rbBestLap",
     K::RadioButton,
     u"Лучший круг/Квалификация",
     gbResults,
     {8, 17, 190, 18},
     A::Top,
     true,
     true,
     true,
     0,
     0,
     0},
    {rbRace, "rbRace", K::RadioButton, u"Гонка", gbResults, {204, 17, 80, 18}, A::Top, true, true, false, 0, 0, 0},
    {lvScoreboard,
     "lvScoreboard",
     K::ListView,
     u"",
     gbResults,
     {2, 38, 541, 127},
     A::Stretch,
     true,
     true,
     false,
     0,
     0,
     0},
    {SpeedButton2,
     "SpeedButton2",
     K::Button,
     u"Выбрать\r\nизображение",
     gbResults,
     {8, 176, 106, 44},
     A::Bottom,
     true,
     true,
     false,
     0,
     0,
     0},
    {SpeedButton1,
     "SpeedButton1",
     K::Button,
     u"Вывести\r\nизображение",
     gbResults,
     {122, 176, 106, 44},
     A::Bottom,
     true,
     true,
     false,
     0,
     0,
     0},
    {ePathToBmp, "ePathToBmp", K::Edit, u"", gbResults, {8, 230, 220, 21}, A::Bottom, false, true, false, 0, 0, 0},
    {Label7,
     "Label7",
     K::Label,
     u"Яркость экрана",
     gbResults,
     {240, 180, 110, 16},
     A::Bottom,
     true,
     true,
     false,
     0,
     0,
     0},
    {tbBrightness,
     "tbBrightness",
     K::TrackBar,
     u"",
     gbResults,
     {236, 198, 118, 26},
     A::Bottom,
     true,
     true,
     false,
     1,
     16,
     16},
    {sbStartLight,
     "sbStartLight",
     K::Button,
     u"Светофор\r\nстарт F3",
     gbResults,
     {362, 176, 88, 44},
     A::Bottom,
     true,
     true,
     false,
     0,
     0,
     0},
    {sbStopLight,
     "sbStopLight",
     K::Button,
     u"Светофор\r\nфиниш F4",
     gbResults,
     {454, 176, 88, 44},
     A::Bottom,
     true,
     true,
     false,
     0,
     0,
     0},
    {sbClearScoreboard,
     "sbClearScoreboard",
     K::Button,
     u"Очистить F1",
     gbResults,
     {362, 226, 88, 30},
     A::Bottom,
     true,
     true,
     false,
     0,
     0,
     0},
    {sbRefreshScoreboard,
     "sbRefreshScoreboard",
     K::Button,
     u"Обновить F2",
     gbResults,
     {454, 226, 88, 30},
     A::Bottom,
     true,
     true,
     false,
     0,
     0,
     0},
    // The board's port, in the band under the buttons, so the operator sees
    // which port is used and can pick another adapter.
    {Label1, "Label1", K::Label, u"Порт табло", gbResults, {8, 266, 68, 16}, A::Bottom, true, true, false, 0, 0, 0},
    {cbPortsList,
     "cbPortsList",
     K::ComboBox,
     u"",
     gbResults,
     {80, 262, 270, 21},
     A::Bottom,
     true,
     true,
     false,
     0,
     0,
     0},
    {mainStatusBar,
     "mainStatusBar",
     K::StatusBar,
     u"",
     mainForm,
     {0, 527, 564, 19},
     A::Bottom,
     true,
     true,
     false,
     0,
     0,
     0},
    {TrayIcon1, "TrayIcon1", K::TrayIcon, kMainFormCaption, mainForm, {}, A::Top, true, true, false, 0, 0, 0},
    {PopupMenu1, "PopupMenu1", K::PopupMenu, u"", TrayIcon1, {}, A::Top, true, true, false, 0, 0, 0},
    {N1, "N1", K::MenuItem, u"Выход", PopupMenu1, {}, A::Top, true, true, false, 0, 0, 0},
    {Timer1, "Timer1", K::Timer, u"", mainForm, {}, A::Top, true, true, false, 0, 0, 5000},
    {odBMPFile, "odBMPFile", K::OpenDialog, u"BMP изображение|*.bmp", mainForm, {}, A::Top, true, true, false, 0, 0, 0},
}};

// Board, feed, and the results page's address in the rest of the width.
// The feed panel holds the longest endpoint, "Источник: нет связи
// (255.255.255.255:65535)", whole in the window's font.
constexpr std::array<TStatusPanelSpec, kStatusPanelCount> kPanels{
    {{192, kBoardStartText}, {276, kFeedStartText}, {kClientWidth - 192 - 276, u""}}};

constexpr std::array<TResultsColumnSpec, kResultsColumnCount> kColumns{{
    {u"Поз.", 50, -1},
    {u"Номер", 50, rcNumber},
    {u"Имя", 100, rcName},
    {u"Лучший круг", 80, rcBestLap},
    {u"Последний круг", 94, rcLastLap},
    {u"Отставание", 80, rcGap},
    {u"Круги", 50, rcLaps},
}};

constexpr bool TableIsInIdOrder() {
  for (std::size_t i = 0; i < kControls.size(); ++i) {
    if (static_cast<std::size_t>(kControls[i].id) != i) return false;
  }
  return true;
}
static_assert(TableIsInIdOrder(), "ControlDesign looks controls up by id");

// How much taller than at design size the control's client area is.
std::int32_t Growth(TControlId id, std::int32_t windowGrowth) {
  if (id == mainForm) return windowGrowth;
  const TControlDesign& design = ControlDesign(id);
  if (design.anchor != A::Stretch) return 0;
  return Growth(design.parent, windowGrowth);
}

}  // namespace

std::span<const TControlDesign> MainFormControls() { return kControls; }

const TControlDesign& ControlDesign(TControlId id) { return kControls[static_cast<std::size_t>(id)]; }

TRect ControlRect(TControlId id, std::int32_t clientHeight) {
  const TControlDesign& design = ControlDesign(id);
  TRect rect = design.rect;
  const std::int32_t windowGrowth = clientHeight - kClientHeight;
  if (id == mainForm) {
    rect.height = std::max(0, clientHeight);
    return rect;
  }
  const std::int32_t parentGrowth = Growth(design.parent, windowGrowth);
  if (design.anchor == A::Stretch) rect.height = std::max(0, rect.height + parentGrowth);
  if (design.anchor == A::Bottom) rect.top += parentGrowth;
  return rect;
}

std::span<const TStatusPanelSpec> StatusPanels() { return kPanels; }

std::span<const TResultsColumnSpec> ResultsColumns() { return kColumns; }
