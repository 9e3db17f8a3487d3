#include "views/feedlog.h"

#include "views/controltable.h"
#include "views/mainformview.h"

std::u16string TFeedLog::ShownLine(std::u16string_view line) {
  // The line arrives with its line end; the log keeps one line per record.
  while (!line.empty() && (line.back() == u'\n' || line.back() == u'\r')) line.remove_suffix(1);
  const bool cut = line.size() > kMaxShownChars;
  std::u16string shown(line.substr(0, kMaxShownChars));
  // A cut between the two halves of a surrogate pair would leave half a
  // character on screen.
  if (cut && !shown.empty() && shown.back() >= 0xD800 && shown.back() <= 0xDBFF) shown.pop_back();
  for (char16_t& c : shown) {
    if (c == u'\n' || c == u'\r') c = u' ';
  }
  if (cut) shown += u'…';
  return shown;
}

void TFeedLog::LogLastLine(std::u16string_view line) {
  if (!view_.Checked(TControlId::cbScoreboardLog)) return;
  view_.AppendLogLine(ShownLine(line));
  // The log never holds more than kMaxLines, whatever the operator typed.
  while (view_.LogLineCount() > kMaxLines) view_.DeleteFirstLogLine();
  view_.PostScrollLogToEnd();
}
