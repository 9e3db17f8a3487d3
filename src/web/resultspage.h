// The results page served at "/": one self-contained HTML document with its
// own style and script, no outside resources, so it works on a track's
// network without the internet. It reads /events and falls back to polling
// /results.json while the stream is down.
#pragma once

#include <string_view>

std::string_view ResultsPageHtml();
