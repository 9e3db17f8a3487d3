#include "boardcore.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <type_traits>

namespace board {

namespace bp = boardprotocol;

std::string FormatLapTime(std::int32_t ms) {
  if (ms <= 0) return {};
  const auto t = static_cast<std::uint32_t>(ms);
  char buf[32];
  if (t < 60000) {
    std::snprintf(buf, sizeof buf, "%2u.%03u", t / 1000, t % 1000);
  } else {
    std::snprintf(buf, sizeof buf, "%u:%02u.%03u", t / 60000, (t % 60000) / 1000, t % 1000);
  }
  return buf;
}

std::string FormatGap(std::int32_t gap) {
  if (gap < 0) return std::to_string(-static_cast<std::int64_t>(gap)) + " кр";
  if (gap > 0) return "+" + FormatLapTime(gap);
  return {};
}

std::string FormatClock(std::int32_t seconds) {
  const std::int32_t s = std::max(seconds, 0);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d:%02d:%02d", s / 3600, (s / 60) % 60, s % 60);
  return buf;
}

double BrightnessFactor(std::int32_t level) { return std::clamp(level, 1, 16) / 16.0; }

TVirtualBoard::TVirtualBoard(TBoardConfig config) : config_(config) {}

void TVirtualBoard::AppendHello(std::vector<std::uint8_t>& out) {
  bp::THelloMsg hello{config_.boardId, config_.firmwareMajor, config_.firmwareMinor, config_.firmwarePatch,
                      config_.address};
  bp::AppendMessage(out, hello, seq_++);
  ++link_.hellosSent;
}

void TVirtualBoard::AppendHeartbeat(std::vector<std::uint8_t>& out, std::uint32_t uptimeMs) {
  bp::AppendMessage(out, bp::THeartbeatMsg{uptimeMs, link_.framesReceived, link_.framesRejected, content_.tableId},
                    seq_++);
  ++link_.heartbeatsSent;
}

bool TVirtualBoard::Receive(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& reply) {
  link_.bytesReceived += count;
  decoder_.Feed(bytes, count);
  bool changed = false;
  while (auto frame = decoder_.Next()) {
    ++link_.framesReceived;
    const auto message = bp::DecodePayload(*frame);
    bp::TAckMsg ack{frame->seq, bp::TAckMsg::akOk};
    if (!message) {
      ++link_.framesRejected;
      ack.status = bp::IsKnownType(frame->type) ? bp::TAckMsg::akBadPayload : bp::TAckMsg::akUnknownType;
    } else {
      // A board does not answer board messages (an echoing line, say).
      if (bp::TypeOf(*message) >= bp::FrameType::ftHello) continue;
      changed = Apply(*message, reply) || changed;
    }
    bp::AppendMessage(reply, ack, seq_++);
    ++link_.acksSent;
  }
  const auto& s = decoder_.Stats();
  const std::uint64_t errors = s.headerErrors + s.crcErrors + s.versionErrors;
  link_.framesRejected += static_cast<std::uint32_t>(errors - decoderErrorsSeen_);
  decoderErrorsSeen_ = errors;
  if (changed) ++content_.changes;
  return changed;
}

void TVirtualBoard::Displayed(TDisplay display) { content_.display = display; }

bool TVirtualBoard::ShowTable(std::vector<bp::TRowData> rows, std::int32_t mode, std::int32_t fullRefresh,
                              std::uint32_t tableId, std::vector<std::uint8_t>& reply) {
  content_.rows = std::move(rows);
  content_.mode = mode;
  content_.fullRefresh = fullRefresh;
  content_.tableId = tableId;
  ++content_.shows;
  Displayed(dsTable);
  if (tableId != 0) bp::AppendMessage(reply, bp::TDrawnMsg{tableId, bp::TDrawnMsg::dwDrawn}, seq_++);
  return true;
}

bool TVirtualBoard::Apply(const bp::TMessage& message, std::vector<std::uint8_t>& reply) {
  const auto addRows = [this](auto first, auto last) {
    const std::size_t room = bp::kMaxTableRows - std::min(pending_.size(), bp::kMaxTableRows);
    pending_.insert(pending_.end(), first, first + std::min<std::ptrdiff_t>(last - first, room));
  };
  return std::visit(bp::TOverloaded{
                        [&](const bp::TClearBoardMsg& m) {
                          pending_.clear();
                          if (m.immediate != 1) return false;  // an empty table is begun; the board keeps what it shows
                          content_.rows.clear();
                          content_.tableId = 0;
                          Displayed(dsBlank);
                          return true;
                        },
                        [&](const bp::TShowMsg& m) { return ShowTable(pending_, m.mode, m.fullRefresh, 0, reply); },
                        [&](const bp::TSetRowMsg& m) {
                          addRows(&m.row, &m.row + 1);
                          return false;
                        },
                        [&](const bp::TTablePushMsg& m) {
                          if (m.flags & bp::TTablePushMsg::tpBegin) pending_.clear();
                          addRows(m.rows.begin(), m.rows.end());
                          if (!(m.flags & bp::TTablePushMsg::tpEnd)) return false;
                          return ShowTable(pending_, m.mode, (m.flags & bp::TTablePushMsg::tpFullRefresh) ? 1 : 0,
                                           m.tableId, reply);
                        },
                        [&](const bp::TTablePatchMsg& m) {
                          if (content_.tableId == 0 || m.baseId != content_.tableId) {
                            // Not the table this patch was made for: ask for the whole one.
                            ++link_.patchesRefused;
                            bp::AppendMessage(reply, bp::TDrawnMsg{m.tableId, bp::TDrawnMsg::dwNeedWhole}, seq_++);
                            return false;
                          }
                          pending_ = m.Apply(content_.rows);
                          return ShowTable(pending_, m.mode, 0, m.tableId, reply);
                        },
                        [&](const bp::TStartLightMsg&) {
                          Displayed(dsStartLight);
                          return true;
                        },
                        [&](const bp::TFinishLightMsg&) {
                          Displayed(dsFinishLight);
                          return true;
                        },
                        [&](const bp::TSetBrightnessMsg& m) {
                          const bool changed = content_.brightness != m.level;
                          content_.brightness = m.level;
                          return changed;
                        },
                        [&](const bp::TSetRaceTimeMsg& m) {
                          const bool changed = !content_.clockSet || content_.clockSeconds != m.seconds;
                          content_.clockSet = true;
                          content_.clockSeconds = m.seconds;
                          return changed;
                        },
                        [&](const bp::TPictureChunkMsg& m) {
                          auto picture = pictures_.Add(m);
                          if (!picture) return false;
                          content_.pictureWidth = picture->width;
                          content_.pictureHeight = picture->height;
                          content_.pictureBits = std::move(picture->bits);
                          Displayed(dsPicture);
                          return true;
                        },
                        [&](const bp::TQueryMsg&) {
                          AppendHello(reply);
                          return false;
                        },
                        // The controller's messages, never the board's.
                        [](const bp::THelloMsg&) { return false; },
                        [](const bp::THeartbeatMsg&) { return false; },
                        [](const bp::TAckMsg&) { return false; },
                        [](const bp::TDrawnMsg&) { return false; },
                    },
                    message);
}

namespace {

void JsonString(std::string& out, std::string_view s) {
  out += '"';
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  out += '"';
}

void JsonField(std::string& out, const char* key, std::int64_t value, bool comma = true) {
  if (comma) out += ',';
  JsonString(out, key);
  out += ':';
  out += std::to_string(value);
}

void JsonField(std::string& out, const char* key, std::string_view value, bool comma = true) {
  if (comma) out += ',';
  JsonString(out, key);
  out += ':';
  JsonString(out, value);
}

const char* DisplayName(TDisplay d) {
  switch (d) {
    case dsTable:
      return "table";
    case dsStartLight:
      return "start";
    case dsFinishLight:
      return "finish";
    case dsPicture:
      return "picture";
    case dsBlank:
      break;
  }
  return "blank";
}

}  // namespace

std::string TVirtualBoard::StateJson() const {
  const TBoardContent& c = content_;
  std::string out = "{";
  JsonField(out, "display", DisplayName(c.display), false);
  out += ",\"blank\":";
  out += c.display == dsBlank ? "true" : "false";
  JsonField(out, "mode", c.mode);
  JsonField(out, "fullRefresh", c.fullRefresh);
  JsonField(out, "shows", c.shows);
  JsonField(out, "tableId", c.tableId);
  JsonField(out, "changes", c.changes);
  out += ",\"rows\":[";
  for (std::size_t i = 0; i < c.rows.size(); ++i) {
    const auto& r = c.rows[i];
    const std::int32_t gap = c.mode == 0 ? r.bestLapGap : r.raceGap;
    if (i) out += ',';
    out += '{';
    JsonField(out, "row", r.row, false);
    JsonField(out, "mode", r.mode);
    JsonField(out, "number", r.number);
    JsonField(out, "name", r.name);
    JsonField(out, "bestLapTime", r.bestLapTime);
    JsonField(out, "lastLapTime", r.lastLapTime);
    JsonField(out, "laps", r.laps);
    JsonField(out, "totalTime", r.totalTime);
    JsonField(out, "raceGap", r.raceGap);
    JsonField(out, "bestLapGap", r.bestLapGap);
    JsonField(out, "bestLapText", FormatLapTime(r.bestLapTime));
    JsonField(out, "lastLapText", FormatLapTime(r.lastLapTime));
    JsonField(out, "gapText", FormatGap(gap));
    out += '}';
  }
  out += ']';
  out += ",\"clock\":";
  if (c.clockSet) {
    JsonString(out, FormatClock(c.clockSeconds));
  } else {
    out += "null";
  }
  JsonField(out, "clockSeconds", c.clockSeconds);
  JsonField(out, "brightness", c.brightness);
  out += ",\"picture\":{";
  JsonField(out, "width", c.pictureWidth, false);
  JsonField(out, "height", c.pictureHeight);
  JsonField(out, "bytes", static_cast<std::int64_t>(c.pictureBits.size()));
  std::int64_t black = 0;
  for (std::uint8_t b : c.pictureBits) black += std::popcount(b);
  JsonField(out, "blackPixels", black);
  out += '}';
  out += ",\"link\":{";
  JsonField(out, "boardId", config_.boardId, false);
  JsonField(out, "bytesReceived", static_cast<std::int64_t>(link_.bytesReceived));
  JsonField(out, "framesReceived", link_.framesReceived);
  JsonField(out, "framesRejected", link_.framesRejected);
  JsonField(out, "acksSent", link_.acksSent);
  JsonField(out, "heartbeatsSent", link_.heartbeatsSent);
  JsonField(out, "hellosSent", link_.hellosSent);
  JsonField(out, "patchesRefused", link_.patchesRefused);
  out += "}}";
  return out;
}

}  // namespace board
