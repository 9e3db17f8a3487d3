#include "views/feedlinkstatus.h"

#include <cstring>

#include "exchange/scoreboardexchangethread.h"

void TFeedLinkStatus::OnEndpoint(std::uint32_t ipv4NetworkOrder, std::int32_t port) {
  unsigned char octets[4];
  std::memcpy(octets, &ipv4NetworkOrder, sizeof octets);  // network order is the bytes' order
  std::string text;
  for (int i = 0; i < 4; ++i) text += (i == 0 ? "" : ".") + std::to_string(octets[i]);
  text += ":" + std::to_string(port);
  endpoint_.assign(text.begin(), text.end());
  fault_ = TFeedEntryFault::None;
  // The thread drops the old connection and has not reached the new feed yet.
  link_ = enFeedDisconnected;
  Update();
}

void TFeedLinkStatus::OnEntryFault(TFeedEntryFault fault) {
  fault_ = fault;
  Update();
}

void TFeedLinkStatus::OnExchangeNotify(std::uintptr_t code, std::intptr_t value) {
  if (code != enFeedConnected && code != enFeedDisconnected && code != enFeedSilent) return;
  link_ = code;
  silentSeconds_ = value;
  Update();
}

void TFeedLinkStatus::Update() {
  if (fault_ == TFeedEntryFault::Address) {
    text_ = kFeedInvalidAddressText;
  } else if (fault_ == TFeedEntryFault::Port) {
    text_ = kFeedInvalidPortText;
  } else if (link_ == enFeedConnected) {
    text_ = kFeedConnectedText;
  } else if (link_ == enFeedSilent) {
    const std::string seconds = std::to_string(silentSeconds_);
    text_ = u"Источник: нет данных " + std::u16string(seconds.begin(), seconds.end()) + u" с";
  } else {
    text_ = kFeedStartText;
    if (!endpoint_.empty()) text_ += u" (" + endpoint_ + u")";
  }
}
