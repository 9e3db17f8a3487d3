// The track's other screens, each one self-contained HTML document with its
// own style and script like the results page, reading /events (polling
// /results.json where a browser has no event streams):
// - /overlay: a stream's browser source, transparent, a tower of the first
//   rows at the left edge (?rows=N, ?show=gap|interval, ?class=N);
// - /clock: one huge race clock or time to go, the flag as the background;
// - /car/N: one car's laps for a phone, newest first, from /car/N.json.
#pragma once

#include <string_view>

std::string_view OverlayPageHtml();
std::string_view ClockPageHtml();
std::string_view CarPageHtml();
