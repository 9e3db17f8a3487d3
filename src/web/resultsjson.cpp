#include "web/resultsjson.h"

#include <cstdio>

#include "feed/timingfeedparser.h"
#include "platform/textcodec.h"
#include "standings/celltext.h"

namespace {

void AppendString(std::string& out, std::u16string_view text) {
  out += '"';
  for (const char c : platform::Utf16ToUtf8(text)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || c == '<') {
      // '<' too, so that no feed text can close a script element of a page
      // that embeds the data.
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

void AppendMember(std::string& out, const char* name, std::int64_t value) {
  out += '"';
  out += name;
  out += "\":";
  out += std::to_string(value);
}

void AppendFlagMember(std::string& out, const char* name, bool value) {
  out += '"';
  out += name;
  out += value ? "\":true" : "\":false";
}

// -1 is no value.
void AppendOptional(std::string& out, const char* name, std::int32_t value) {
  if (value < 0) {
    out += '"';
    out += name;
    out += "\":null";
  } else {
    AppendMember(out, name, value);
  }
}

void AppendRow(std::string& out, const TSnapshotRow& row) {
  out += '{';
  AppendMember(out, "position", row.position);
  out += ",\"cells\":[";
  for (std::size_t c = 0; c < row.cells.size(); ++c) {
    if (c > 0) out += ',';
    AppendString(out, row.cells[c]);
  }
  out += "],";
  AppendMember(out, "number", row.number);
  out += ',';
  AppendMember(out, "laps", row.laps);
  out += ',';
  AppendMember(out, "bestLapTime", row.bestLapTime);
  out += ',';
  AppendMember(out, "lastLapTime", row.lastLapTime);
  out += ',';
  AppendMember(out, "totalTime", row.totalTime);
  out += ',';
  AppendMember(out, "raceGap", row.raceGap);
  out += ',';
  AppendMember(out, "bestLapGap", row.bestLapGap);
  out += ',';
  AppendMember(out, "reg", row.regNumber);
  out += ',';
  AppendMember(out, "class", row.classNumber);
  out += ',';
  AppendMember(out, "classPosition", row.classPosition);
  out += ',';
  AppendMember(out, "classGap", row.classGap);
  out += ",\"classGapText\":";
  AppendString(out, FormatGap(row.classGap));
  out += ',';
  AppendMember(out, "interval", row.interval);
  out += ",\"intervalText\":";
  AppendString(out, FormatGap(row.interval));
  out += ',';
  AppendMember(out, "gained", row.gained);
  out += ',';
  AppendFlagMember(out, "sessionBest", row.sessionBest);
  out += ',';
  AppendFlagMember(out, "personalBest", row.personalBest);
  out += '}';
}

void AppendHead(std::string& out, const TTableSnapshot& snapshot) {
  AppendMember(out, "sequence", static_cast<std::int64_t>(snapshot.sequence));
  out += snapshot.feedConnected ? ",\"feed\":true," : ",\"feed\":false,";
  AppendMember(out, "mode", snapshot.mode);
  out += ',';
  AppendMember(out, "clock", snapshot.clock);
  out += ',';
  AppendOptional(out, "timeToGo", snapshot.timeToGo);
  out += ',';
  AppendOptional(out, "lapsToGo", snapshot.lapsToGo);
  out += ",\"flag\":\"";
  out += FlagName(snapshot.flag);
  out += "\",\"run\":";
  AppendString(out, snapshot.run);
  out += ",\"classes\":[";
  if (snapshot.classes != nullptr) {
    bool first = true;
    for (const TClassName& c : *snapshot.classes) {
      if (!first) out += ',';
      first = false;
      out += '{';
      AppendMember(out, "number", c.number);
      out += ",\"name\":";
      AppendString(out, c.name);
      out += '}';
    }
  }
  out += ']';
}

}  // namespace

const char* FlagName(std::int32_t flag) {
  switch (flag) {
    case fsGreen:
      return "green";
    case fsYellow:
      return "yellow";
    case fsRed:
      return "red";
    case fsFinish:
      return "finish";
    default:
      return "none";
  }
}

namespace {

void AppendRows(std::string& out, const TSnapshotRows& rows, std::int32_t onlyClass) {
  out += '[';
  bool first = true;
  for (const TSnapshotRow& row : rows) {
    if (onlyClass != 0 && row.classNumber != onlyClass) continue;
    if (!first) out += ',';
    first = false;
    AppendRow(out, row);
  }
  out += ']';
}

}  // namespace

std::string ResultsJson(const TTableSnapshot& snapshot, std::int32_t onlyClass, TRowsJson* kept) {
  std::string out;
  out.reserve(512 + (kept != nullptr ? kept->json.size() : snapshot.rows.size() * 380));
  out += '{';
  AppendHead(out, snapshot);
  out += ",\"rows\":";
  const auto identity = snapshot.rows.Identity();
  if (kept == nullptr || onlyClass != 0) {
    AppendRows(out, snapshot.rows, onlyClass);
  } else {
    if (identity == nullptr || kept->rows != identity) {
      kept->json.clear();
      AppendRows(kept->json, snapshot.rows, 0);
      kept->rows = identity;
    }
    out += kept->json;
  }
  out += '}';
  return out;
}

std::optional<std::string> CarJson(const TTableSnapshot& snapshot, std::int32_t car) {
  const TSnapshotRow* row = nullptr;
  for (const TSnapshotRow& r : snapshot.rows) {
    if (r.held && r.number == car) {
      row = &r;
      break;
    }
  }
  if (row == nullptr) {
    for (const TSnapshotRow& r : snapshot.rows) {
      if (r.held && r.regNumber == car) {
        row = &r;
        break;
      }
    }
  }
  const TCarLaps* laps = FindCarLaps(snapshot, row != nullptr ? row->regNumber : car);
  if (row == nullptr && laps == nullptr) return std::nullopt;
  std::int32_t best = 0;
  if (laps != nullptr) {
    for (const TLap& lap : laps->laps) {
      if (lap.lapTime > 0 && (best == 0 || lap.lapTime < best)) best = lap.lapTime;
    }
  }
  std::string out;
  out.reserve(512 + (laps != nullptr ? laps->laps.size() * 110 : 0));
  out += '{';
  AppendHead(out, snapshot);
  out += ",\"car\":";
  if (row != nullptr) {
    AppendRow(out, *row);
  } else {
    out += "null";
  }
  out += ',';
  AppendMember(out, "reg", row != nullptr ? row->regNumber : car);
  out += ',';
  AppendMember(out, "bestLap", best);
  out += ",\"laps\":[";
  if (laps != nullptr) {
    for (auto lap = laps->laps.rbegin(); lap != laps->laps.rend(); ++lap) {
      if (lap != laps->laps.rbegin()) out += ',';
      out += '{';
      AppendMember(out, "lap", lap->lap);
      out += ',';
      AppendMember(out, "lapTime", lap->lapTime);
      out += ",\"lapTimeText\":";
      AppendString(out, FormatLapTime(lap->lapTime < 0 ? 0 : lap->lapTime));
      out += ',';
      AppendMember(out, "totalTime", lap->totalTime);
      out += ',';
      AppendMember(out, "position", lap->position);
      out += ',';
      AppendFlagMember(out, "best", best != 0 && lap->lapTime == best);
      out += '}';
    }
  }
  out += "]}";
  return out;
}

const std::string& ClassTableJson(const TServedTable& table, std::int32_t onlyClass) {
  if (onlyClass == 0 || table.snapshot == nullptr) return table.json;
  auto at = table.classJson.find(onlyClass);
  if (at == table.classJson.end())
    at = table.classJson.emplace(onlyClass, ResultsJson(*table.snapshot, onlyClass)).first;
  return at->second;
}

const std::optional<std::string>& CarLapsJson(const TServedTable& table, std::int32_t car) {
  auto at = table.carJson.find(car);
  if (at == table.carJson.end()) {
    if (table.carJson.size() >= kCarsKept) table.carJson.clear();  // a client walking through every number
    at = table.carJson.emplace(car, table.snapshot != nullptr ? CarJson(*table.snapshot, car) : std::nullopt).first;
  }
  return at->second;
}

std::shared_ptr<const TServedTable> ServeTable(const TTableSnapshot& snapshot, TRowsJson* kept) {
  return ServeTable(std::make_shared<const TTableSnapshot>(snapshot), kept);
}

std::shared_ptr<const TServedTable> ServeTable(std::shared_ptr<const TTableSnapshot> shared, TRowsJson* kept) {
  const TTableSnapshot& snapshot = *shared;
  auto served = std::make_shared<TServedTable>();
  served->sequence = snapshot.sequence;
  served->json = ResultsJson(snapshot, 0, kept);
  // The JSON has no line break, so it is one data line.
  served->event.reserve(served->json.size() + 32);
  served->event.append("id: ").append(std::to_string(snapshot.sequence)).append("\ndata: ");
  served->event.append(served->json).append("\n\n");
  served->snapshot = std::move(shared);
  return served;
}
