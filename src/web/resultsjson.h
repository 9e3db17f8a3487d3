// The results page's data: a table snapshot as the JSON of /results.json
// and as one Server-Sent Event of /events.
#pragma once

#include <memory>
#include <string>

#include "exchange/tablesnapshot.h"

// "green", "yellow", "red", "finish" or "none".
const char* FlagName(std::int32_t flag);

// The text of a snapshot's rows, kept for the next snapshot that shares
// them (a clock tick): made once per table, not once per second.
struct TRowsJson {
  std::shared_ptr<const void> rows;  // TSnapshotRows::Identity() of the rows made
  std::string json;
};

// UTF-8 JSON: sequence, feed, mode, clock, flag, run, rows (position, cells
// and the numbers of each row). With `kept`, rows it holds are not made
// again, and the rows made are kept there.
std::string ResultsJson(const TTableSnapshot& snapshot, TRowsJson* kept = nullptr);

// What the server sends of one snapshot, made once and shared by every
// client.
struct TServedTable {
  std::uint64_t sequence = 0;
  std::string json;
  std::string event;  // "id: <sequence>\ndata: <json>\n\n"
};
std::shared_ptr<const TServedTable> ServeTable(const TTableSnapshot& snapshot, TRowsJson* kept = nullptr);
