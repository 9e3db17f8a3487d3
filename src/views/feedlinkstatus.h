// The timing feed's link as the status bar's feed panel shows it: connected,
// no connection (with the endpoint tried), silent for a number of seconds, or
// an address or port the operator typed that cannot be used.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::u16string_view kFeedStartText = u"Источник: нет связи";
inline constexpr std::u16string_view kFeedConnectedText = u"Источник: подключено";
inline constexpr std::u16string_view kFeedInvalidAddressText = u"Источник: неверный адрес";
inline constexpr std::u16string_view kFeedInvalidPortText = u"Источник: неверный порт";

enum class TFeedEntryFault : std::int32_t {
  None,
  Address,  // not a dotted IPv4 address
  Port,     // not a number in 1..65535
};

class TFeedLinkStatus {
 public:
  // The endpoint now handed to the exchange thread (IPv4 in network byte
  // order): no connection to it yet, and the operator's entry is usable.
  void OnEndpoint(std::uint32_t ipv4NetworkOrder, std::int32_t port);
  // The operator's entry could not be used; the panel says why until an
  // entry that converts is handed over.
  void OnEntryFault(TFeedEntryFault fault);
  // A WM_EXCHANGE_NOTIFY code; codes that are not about the feed change nothing.
  void OnExchangeNotify(std::uintptr_t code, std::intptr_t value);

  const std::u16string& Text() const { return text_; }

 private:
  void Update();

  TFeedEntryFault fault_ = TFeedEntryFault::None;
  std::uintptr_t link_ = 0;  // the last feed code, 0: nothing heard yet
  std::int64_t silentSeconds_ = 0;
  std::u16string endpoint_;  // "127.0.0.1:50000", empty before the first hand-over
  std::u16string text_ = std::u16string(kFeedStartText);
};
