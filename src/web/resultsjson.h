// The results page's data: a table snapshot as the JSON of /results.json
// and as one Server-Sent Event of /events.
#pragma once

#include <map>
#include <memory>
#include <optional>
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

// UTF-8 JSON: sequence, feed, mode, clock, flag, run, time and laps to go,
// classes, rows (position, cells and the numbers of each row, with class,
// interval, marks and places gained). With a class (not 0) only that
// class's rows, in class order. With `kept` (the whole table), rows it
// holds are not made again, and the rows made are kept there.
std::string ResultsJson(const TTableSnapshot& snapshot, std::int32_t onlyClass = 0, TRowsJson* kept = nullptr);

// One car's laps, newest first, with its row: the car with this competitor
// number on the table, else with this registration number; none when no
// car is either.
std::optional<std::string> CarJson(const TTableSnapshot& snapshot, std::int32_t car);

// What the server sends of one snapshot, made once and shared by every
// client. The per-class tables and the cars' laps are made on the first
// request for them and kept with it (server thread only).
struct TServedTable {
  std::uint64_t sequence = 0;
  std::string json;
  std::string event;  // "id: <sequence>\ndata: <json>\n\n"
  std::shared_ptr<const TTableSnapshot> snapshot;
  mutable std::map<std::int32_t, std::string> classJson;
  mutable std::map<std::int32_t, std::optional<std::string>> carJson;
};
std::shared_ptr<const TServedTable> ServeTable(const TTableSnapshot& snapshot, TRowsJson* kept = nullptr);
std::shared_ptr<const TServedTable> ServeTable(std::shared_ptr<const TTableSnapshot> snapshot,
                                               TRowsJson* kept = nullptr);
// Made once per served table.
const std::string& ClassTableJson(const TServedTable& table, std::int32_t onlyClass);
const std::optional<std::string>& CarLapsJson(const TServedTable& table, std::int32_t car);
