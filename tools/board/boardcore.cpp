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
  bp::AppendMessage(out, bp::THeartbeatMsg{uptimeMs, link_.framesReceived, link_.framesRejected}, seq_++);
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
      const bool known = frame->type >= 0x01 && frame->type <= 0x0A;
      ack.status = known ? bp::TAckMsg::akBadPayload : bp::TAckMsg::akUnknownType;
    } else if (!std::holds_alternative<bp::THelloMsg>(*message) &&
               !std::holds_alternative<bp::THeartbeatMsg>(*message) && !std::holds_alternative<bp::TAckMsg>(*message)) {
      changed = Apply(*message, reply) || changed;
    } else {
      continue;  // a board does not answer board messages (an echoing line, say)
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

bool TVirtualBoard::Apply(const bp::TMessage& message, std::vector<std::uint8_t>& reply) {
  return std::visit(
      [this, &reply](const auto& m) -> bool {
        using M = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<M, bp::TClearBoardMsg>) {
          pending_.clear();
          if (m.immediate == 1) {
            content_.rows.clear();
            Displayed(dsBlank);
            return true;
          }
          return false;  // an empty table is begun; the board keeps showing what it shows
        } else if constexpr (std::is_same_v<M, bp::TShowMsg>) {
          content_.rows = pending_;
          content_.mode = m.mode;
          content_.fullRefresh = m.fullRefresh;
          ++content_.shows;
          Displayed(dsTable);
          return true;
        } else if constexpr (std::is_same_v<M, bp::TSetRowMsg>) {
          pending_.push_back(m.row);
          return false;
        } else if constexpr (std::is_same_v<M, bp::TTablePushMsg>) {
          if (m.flags & bp::TTablePushMsg::tpBegin) pending_.clear();
          pending_.insert(pending_.end(), m.rows.begin(), m.rows.end());
          if (!(m.flags & bp::TTablePushMsg::tpEnd)) return false;
          content_.rows = pending_;
          content_.mode = m.mode;
          content_.fullRefresh = (m.flags & bp::TTablePushMsg::tpFullRefresh) ? 1 : 0;
          ++content_.shows;
          Displayed(dsTable);
          return true;
        } else if constexpr (std::is_same_v<M, bp::TStartLightMsg>) {
          Displayed(dsStartLight);
          return true;
        } else if constexpr (std::is_same_v<M, bp::TFinishLightMsg>) {
          Displayed(dsFinishLight);
          return true;
        } else if constexpr (std::is_same_v<M, bp::TSetBrightnessMsg>) {
          const bool changed = content_.brightness != m.level;
          content_.brightness = m.level;
          return changed;
        } else if constexpr (std::is_same_v<M, bp::TSetRaceTimeMsg>) {
          const bool changed = !content_.clockSet || content_.clockSeconds != m.seconds;
          content_.clockSet = true;
          content_.clockSeconds = m.seconds;
          return changed;
        } else if constexpr (std::is_same_v<M, bp::TPictureChunkMsg>) {
          auto picture = pictures_.Add(m);
          if (!picture) return false;
          content_.pictureWidth = picture->width;
          content_.pictureHeight = picture->height;
          content_.pictureBits = std::move(picture->bits);
          Displayed(dsPicture);
          return true;
        } else if constexpr (std::is_same_v<M, bp::TQueryMsg>) {
          AppendHello(reply);
          return false;
        } else {
          return false;
        }
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
  out += "}}";
  return out;
}

}  // namespace board
