// The feed log: the feed's lines as the exchange thread hands them over,
// while "Лог обмена" is ticked; at most 1000 lines, newest in view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class TmainFormView;

class TFeedLog {
 public:
  static constexpr std::int32_t kMaxLines = 1000;
  // Longer lines are shown cut, with "…" after them: the log must not hold
  // the exchange thread (it waits meanwhile) for a line of a megabyte.
  static constexpr std::size_t kMaxShownChars = 4096;

  explicit TFeedLog(TmainFormView& view) : view_(view) {}

  // Runs on the window's thread while the exchange thread waits: append,
  // trim, then post the scroll so the waiting thread is released at once.
  void LogLastLine(std::u16string_view line);

  // The line as the log shows it: without its line end, inner line breaks
  // as blanks, cut after kMaxShownChars characters.
  static std::u16string ShownLine(std::u16string_view line);

 private:
  TmainFormView& view_;
};
