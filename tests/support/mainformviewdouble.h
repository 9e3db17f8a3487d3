// A face without a toolkit for the console's tests: keeps what the console
// told it, answers what the console asks, and closes like a window does
// (through FormCloseQuery). Guarded by a lock, because the feed log may be
// handed over on the exchange thread where no GUI thread exists.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "shell/fMainForm.h"

class TMainFormViewDouble : public TmainFormView {
 public:
  TMainFormViewDouble() {
    for (const TControlDesign& design : MainFormControls()) {
      if (design.kind == TControlKind::Edit) text_[design.id] = std::u16string(design.caption);
      checked_[design.id] = design.checked;
      enabled_[design.id] = design.enabled;
      visible_[design.id] = design.visible;
      position_[design.id] = design.value;
    }
    for (const TStatusPanelSpec& panel : StatusPanels()) status_.emplace_back(panel.text);
  }

  // The console the double's window belongs to, for closing.
  TmainForm* form = nullptr;
  bool trayAvailable = true;
  // What the file dialog answers next; nullopt: cancelled.
  std::optional<std::u16string> nextFileName;
  // What the toolkit decodes a picture file into.
  std::function<std::optional<TDecodedPicture>(std::span<const std::uint8_t>)> decode;

  std::u16string Text(TControlId control) const override {
    std::lock_guard<std::mutex> lock(lock_);
    if (control == TControlId::cbPortsList) {
      return selected_ >= 0 && static_cast<std::size_t>(selected_) < items_.size()
                 ? items_[static_cast<std::size_t>(selected_)]
                 : std::u16string();
    }
    const auto found = text_.find(control);
    return found == text_.end() ? std::u16string() : found->second;
  }
  void SetText(TControlId control, const std::u16string& text) override {
    std::lock_guard<std::mutex> lock(lock_);
    text_[control] = text;
  }
  bool Checked(TControlId control) const override {
    std::lock_guard<std::mutex> lock(lock_);
    return checked_.at(control);
  }
  void SetChecked(TControlId control, bool checked) override {
    std::lock_guard<std::mutex> lock(lock_);
    checked_[control] = checked;
  }
  void SetEnabled(TControlId control, bool enabled) override {
    std::lock_guard<std::mutex> lock(lock_);
    enabled_[control] = enabled;
  }
  void SetVisible(TControlId control, bool visible) override {
    std::lock_guard<std::mutex> lock(lock_);
    visible_[control] = visible;
  }
  std::int32_t Position(TControlId control) const override {
    std::lock_guard<std::mutex> lock(lock_);
    return position_.at(control);
  }
  void SetPosition(TControlId control, std::int32_t position) override {
    std::lock_guard<std::mutex> lock(lock_);
    const TControlDesign& design = ControlDesign(control);
    position_[control] = std::clamp(position, design.minimum, design.maximum);
  }
  void SetItems(TControlId, const std::vector<std::u16string>& items, std::int32_t selected) override {
    std::lock_guard<std::mutex> lock(lock_);
    items_ = items;
    selected_ = selected;
  }
  void SetRowCount(std::int32_t count) override {
    std::lock_guard<std::mutex> lock(lock_);
    rowCount_ = count;
  }
  void RepaintList(bool immediately) override {
    std::lock_guard<std::mutex> lock(lock_);
    ++(immediately ? immediateRepaints_ : laterRepaints_);
  }
  void AppendLogLine(const std::u16string& line) override {
    std::lock_guard<std::mutex> lock(lock_);
    log_.push_back(line);
  }
  std::int32_t LogLineCount() const override {
    std::lock_guard<std::mutex> lock(lock_);
    return static_cast<std::int32_t>(log_.size());
  }
  void DeleteFirstLogLine() override {
    std::lock_guard<std::mutex> lock(lock_);
    log_.erase(log_.begin());
  }
  void PostScrollLogToEnd() override {
    std::lock_guard<std::mutex> lock(lock_);
    ++scrollsPosted_;
  }
  void SetStatusText(std::int32_t panel, const std::u16string& text) override {
    std::lock_guard<std::mutex> lock(lock_);
    status_.at(static_cast<std::size_t>(panel)) = text;
  }
  void ShowWindow() override { windowShown = true; }
  void HideWindow() override { windowShown = false; }
  void SetTrayIconVisible(bool visible) override { trayShown = visible; }
  bool TrayAvailable() const override { return trayAvailable; }
  void CloseWindow() override {
    bool canClose = false;
    form->FormCloseQuery(canClose);
    if (canClose) windowShown = false;
  }
  void QuitApplication() override { ++quits; }
  void ShowMessage(TMessageKind kind, const std::u16string& text) override { messages.emplace_back(kind, text); }
  std::optional<std::u16string> AskOpenFileName(std::u16string_view description, std::u16string_view pattern) override {
    fileFilters.emplace_back(std::u16string(description) + u"|" + std::u16string(pattern));
    return nextFileName;
  }
  std::optional<TDecodedPicture> DecodePicture(const std::u16string&, std::span<const std::uint8_t> file) override {
    ++decodes;
    return decode ? decode(file) : std::nullopt;
  }

  // What the console made of the window, read by the tests.
  bool Enabled(TControlId control) const {
    std::lock_guard<std::mutex> lock(lock_);
    return enabled_.at(control);
  }
  std::vector<std::u16string> Items() const {
    std::lock_guard<std::mutex> lock(lock_);
    return items_;
  }
  std::int32_t Selected() const {
    std::lock_guard<std::mutex> lock(lock_);
    return selected_;
  }
  // The operator picks a port list entry.
  void Select(std::int32_t index) {
    std::lock_guard<std::mutex> lock(lock_);
    selected_ = index;
  }
  std::int32_t RowCount() const {
    std::lock_guard<std::mutex> lock(lock_);
    return rowCount_;
  }
  std::pair<int, int> Repaints() const {  // immediate, later
    std::lock_guard<std::mutex> lock(lock_);
    return {immediateRepaints_, laterRepaints_};
  }
  std::vector<std::u16string> Log() const {
    std::lock_guard<std::mutex> lock(lock_);
    return log_;
  }
  int ScrollsPosted() const {
    std::lock_guard<std::mutex> lock(lock_);
    return scrollsPosted_;
  }
  std::u16string Status(std::size_t panel) const {
    std::lock_guard<std::mutex> lock(lock_);
    return status_.at(panel);
  }

  bool windowShown = true;
  bool trayShown = true;
  int quits = 0;
  int decodes = 0;
  std::vector<std::pair<TMessageKind, std::u16string>> messages;
  std::vector<std::u16string> fileFilters;

 private:
  mutable std::mutex lock_;
  std::map<TControlId, std::u16string> text_;
  std::map<TControlId, bool> checked_;
  std::map<TControlId, bool> enabled_;
  std::map<TControlId, bool> visible_;
  std::map<TControlId, std::int32_t> position_;
  std::vector<std::u16string> items_;
  std::int32_t selected_ = -1;
  std::int32_t rowCount_ = 0;
  int immediateRepaints_ = 0;
  int laterRepaints_ = 0;
  std::vector<std::u16string> log_;
  int scrollsPosted_ = 0;
  std::vector<std::u16string> status_;
};
