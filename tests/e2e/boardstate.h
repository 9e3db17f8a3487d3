// The virtual board's JSON state file as the road's test and benchmark read it.
#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <optional>
#include <string>
#include <vector>

#include "childprocess.h"
#include "feedreplay.h"

namespace e2e {

// The state object, or nullopt while the file is missing or unreadable.
inline std::optional<QJsonObject> ReadBoardJson(const std::string& path) {
  const std::string text = ReadFile(path);
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray(text.data(), static_cast<qsizetype>(text.size())));
  if (!doc.isObject()) return std::nullopt;
  return doc.object();
}

inline std::vector<TBoardRow> BoardRows(const QJsonObject& state) {
  std::vector<TBoardRow> rows;
  for (const QJsonValue& v : state.value(QLatin1String("rows")).toArray()) {
    const QJsonObject r = v.toObject();
    auto field = [&r](const char* name) { return r.value(QLatin1String(name)).toInt(); };
    TBoardRow row;
    row.row = field("row");
    row.number = field("number");
    row.bestLapTime = field("bestLapTime");
    row.lastLapTime = field("lastLapTime");
    row.laps = field("laps");
    row.totalTime = field("totalTime");
    row.raceGap = field("raceGap");
    row.bestLapGap = field("bestLapGap");
    row.name = r.value(QLatin1String("name")).toString().toStdString();
    rows.push_back(row);
  }
  return rows;
}

}  // namespace e2e
