// What the status bar says of the results page.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "web/webserver.h"

// "Веб: 192.168.1.20:8080" while the page is served, with the
// computer's address on the track's network (`lanAddress`, dotted; empty:
// this computer only); "Веб: порт 8080 занят" when another program holds
// the port; "Веб: нет прав на порт 80" when the system keeps the port
// from the program.
std::u16string WebStatusText(TWebListenResult result, std::uint16_t port, std::string_view lanAddress);

// The panel while the page's events are also published (WebPublish set):
// "Веб: публикация не удалась" while the publish fails, "Веб: неверный
// WebPublish" when the URL is not one to publish to (`publisher` null), and
// `listening` otherwise.
std::u16string WebPublishStatusText(const std::u16string& listening, const TWebPublisher* publisher);
