#include "web/resultsjson.h"

#include <cstdio>

#include "feed/timingfeedparser.h"
#include "platform/textcodec.h"

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

void AppendRows(std::string& out, const TSnapshotRows& rows) {
  out += '[';
  bool first = true;
  for (const TSnapshotRow& row : rows) {
    if (!first) out += ',';
    first = false;
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
    out += '}';
  }
  out += ']';
}

}  // namespace

std::string ResultsJson(const TTableSnapshot& snapshot, TRowsJson* kept) {
  std::string out;
  out.reserve(256 + (kept != nullptr ? kept->json.size() : snapshot.rows.size() * 220));
  out += '{';
  AppendMember(out, "sequence", static_cast<std::int64_t>(snapshot.sequence));
  out += snapshot.feedConnected ? ",\"feed\":true," : ",\"feed\":false,";
  AppendMember(out, "mode", snapshot.mode);
  out += ',';
  AppendMember(out, "clock", snapshot.clock);
  out += ",\"flag\":\"";
  out += FlagName(snapshot.flag);
  out += "\",\"run\":";
  AppendString(out, snapshot.run);
  out += ",\"rows\":";
  const auto identity = snapshot.rows.Identity();
  if (kept == nullptr) {
    AppendRows(out, snapshot.rows);
  } else {
    if (identity == nullptr || kept->rows != identity) {
      kept->json.clear();
      AppendRows(kept->json, snapshot.rows);
      kept->rows = identity;
    }
    out += kept->json;
  }
  out += '}';
  return out;
}

std::shared_ptr<const TServedTable> ServeTable(const TTableSnapshot& snapshot, TRowsJson* kept) {
  auto served = std::make_shared<TServedTable>();
  served->sequence = snapshot.sequence;
  served->json = ResultsJson(snapshot, kept);
  // The JSON has no line break, so it is one data line.
  served->event.reserve(served->json.size() + 32);
  served->event.append("id: ").append(std::to_string(snapshot.sequence)).append("\ndata: ");
  served->event.append(served->json).append("\n\n");
  return served;
}
