// The results page's data: a table snapshot as the JSON of /results.json
// and as one Server-Sent Event of /events.
#pragma once

#include <memory>
#include <string>

#include "exchange/tablesnapshot.h"

// "green", "yellow", "red", "finish" or "none".
const char* FlagName(std::int32_t flag);

// UTF-8 JSON: sequence, feed, mode, clock, flag, run, rows (position, cells
// and the numbers of each row).
std::string ResultsJson(const TTableSnapshot& snapshot);

// What the server sends of one snapshot, made once and shared by every
// client.
struct TServedTable {
  std::uint64_t sequence = 0;
  std::string json;
  std::string event;  // "id: <sequence>\ndata: <json>\n\n"
};
std::shared_ptr<const TServedTable> ServeTable(const TTableSnapshot& snapshot);
