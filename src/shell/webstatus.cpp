#include "shell/webstatus.h"

#include <string>

namespace {

std::u16string Ascii(std::string_view text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

std::u16string WebStatusText(TWebListenResult result, std::uint16_t port, std::string_view lanAddress) {
  const std::u16string number = Ascii(std::to_string(port));
  switch (result) {
    case TWebListenResult::Listening:
      // Address and port only: with the board's and the feed's panels beside
      // it, the panel has no room for "http://", which no browser needs.
      return u"Веб: " + Ascii(lanAddress.empty() ? std::string_view("127.0.0.1") : lanAddress) + u":" + number;
    case TWebListenResult::PortBusy:
      return u"Веб: порт " + number + u" занят";
    case TWebListenResult::NoPermission:
      return u"Веб: нет прав на порт " + number;
    default:
      return u"Веб: порт " + number + u" недоступен";
  }
}

std::u16string WebPublishStatusText(const std::u16string& listening, const TWebPublisher* publisher) {
  if (publisher == nullptr) return u"Веб: неверный WebPublish";
  if (publisher->State() == TWebPublishState::psFailing) return u"Веб: публикация не удалась";
  return listening;
}
