#include "feedsource.h"

#include <algorithm>
#include <cstdio>
#include <queue>
#include <random>

#include "platform/textcodec.h"

namespace feedsim {

namespace {

std::string_view StripLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

std::string Ansi(std::u16string_view text) { return platform::Utf16ToAnsi(text); }

std::string Clock(std::int64_t seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return buf;
}

std::string Time(std::int64_t ms) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld.%03lld", static_cast<long long>(ms / 3600000),
                static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60),
                static_cast<long long>(ms % 1000));
  return buf;
}

const char16_t* const kSurnames[] = {u"Смирнов",  u"Иванов",   u"Кузнецов", u"Соколов",  u"Попов",   u"Лебедев",
                                     u"Козлов",   u"Новиков",  u"Морозов",  u"Петров",   u"Волков",  u"Соловьёв",
                                     u"Васильев", u"Зайцев",   u"Павлов",   u"Семёнов",  u"Голубев", u"Виноградов",
                                     u"Богданов", u"Воробьёв", u"Фёдоров",  u"Михайлов", u"Беляев",  u"Тарасов"};
const char16_t* const kFirstNames[] = {u"Алексей",  u"Дмитрий", u"Сергей", u"Андрей", u"Игорь",  u"Михаил",
                                       u"Никита",   u"Артём",   u"Роман",  u"Денис",  u"Павел",  u"Илья",
                                       u"Егор",     u"Максим",  u"Кирилл", u"Антон",  u"Юрий",   u"Олег",
                                       u"Григорий", u"Пётр",    u"Фёдор",  u"Степан", u"Виктор", u"Глеб"};

struct TKart {
  int reg = 0;
  int number = 0;
  std::string name;  // Windows-1251
  int paceMs = 0;
  int laps = 0;
  std::int64_t totalMs = 0;  // at the last crossing, from the green flag
  int bestLapMs = 0;
  int bestLapNumber = 0;
  int racePos = 0;
  int bestPos = 0;
  bool finished = false;
};

class TSimulator {
 public:
  explicit TSimulator(const TSessionConfig& c) : config_(c), rng_(c.seed) {
    const int n = std::clamp(c.karts, 1, 99);
    std::vector<int> numbers(99);
    for (int i = 0; i < 99; ++i) numbers[i] = i + 1;
    std::shuffle(numbers.begin(), numbers.end(), rng_);
    for (int i = 0; i < n; ++i) {
      TKart k;
      k.reg = 101 + i;
      k.number = numbers[i];
      std::u16string name = std::u16string(kSurnames[i % 24]) + u" " + kFirstNames[(i * 7) % 24];
      if (i >= 24) name += u" " + std::u16string(1, static_cast<char16_t>(u'0' + i / 24));
      k.name = Ansi(name);
      k.paceMs = 40000 + static_cast<int>(rng_() % 8000);
      karts_.push_back(k);
    }
  }

  std::vector<TFeedEvent> Run() {
    std::int64_t t = 0;
    int runId = 0;
    for (const TSessionKind kind : config_.order) {
      if (runId > 0) t += 5000;
      t = Session(kind, t, ++runId);
    }
    std::stable_sort(events_.begin(), events_.end(),
                     [](const TFeedEvent& a, const TFeedEvent& b) { return a.atMs < b.atMs; });
    return std::move(events_);
  }

 private:
  void Emit(std::int64_t at, std::string line) { events_.push_back({at, line + "\r\n"}); }

  void Heartbeat(std::int64_t at, std::int64_t green, int lapsToGo, std::int64_t timeToGoS, const char* flag) {
    const std::int64_t raceS = at > green ? (at - green) / 1000 : 0;
    Emit(at, "$F," + std::to_string(lapsToGo) + ",\"" + Clock(std::max<std::int64_t>(timeToGoS, 0)) + "\",\"" +
                 Clock(12 * 3600 + at / 1000) + "\",\"" + Clock(raceS) + "\",\"" + flag + "\"");
  }

  void Race(std::int64_t at, const TKart& k) {
    Emit(at, "$G," + std::to_string(k.racePos) + ",\"" + std::to_string(k.reg) + "\"," + std::to_string(k.laps) +
                 ",\"" + Time(k.totalMs) + "\"");
  }
  void BestLap(std::int64_t at, const TKart& k) {
    Emit(at, "$H," + std::to_string(k.bestPos) + ",\"" + std::to_string(k.reg) + "\"," +
                 std::to_string(k.bestLapNumber) + ",\"" + Time(k.bestLapMs) + "\"");
  }

  // Positions after a crossing; race order by laps then time, timed
  // sessions by best lap (karts without a lap last, in grid order).
  void Rank(TSessionKind kind) {
    std::vector<TKart*> order;
    for (auto& k : karts_) order.push_back(&k);
    auto byBest = [](const TKart* a, const TKart* b) {
      if ((a->bestLapMs == 0) != (b->bestLapMs == 0)) return a->bestLapMs != 0;
      if (a->bestLapMs != b->bestLapMs) return a->bestLapMs < b->bestLapMs;
      return a->reg < b->reg;
    };
    std::stable_sort(order.begin(), order.end(), byBest);
    for (std::size_t i = 0; i < order.size(); ++i) order[i]->bestPos = static_cast<int>(i + 1);
    if (kind != skRace) {
      for (auto* k : order) k->racePos = k->bestPos;
      return;
    }
    std::stable_sort(order.begin(), order.end(), [](const TKart* a, const TKart* b) {
      if (a->laps != b->laps) return a->laps > b->laps;
      if (a->totalMs != b->totalMs) return a->totalMs < b->totalMs;
      return a->reg < b->reg;
    });
    for (std::size_t i = 0; i < order.size(); ++i) order[i]->racePos = static_cast<int>(i + 1);
  }

  std::int64_t Session(TSessionKind kind, std::int64_t start, int runId) {
    static const char16_t* const kTitles[] = {u"Тренировка", u"Квалификация", u"Гонка"};
    for (auto& k : karts_) {
      k.laps = 0;
      k.totalMs = 0;
      k.bestLapMs = 0;
      k.bestLapNumber = 0;
      k.finished = false;
    }
    Emit(start, "$I,\"" + Clock(12 * 3600 + start / 1000) + "\",\"9/12/2026\"");
    Emit(start, "$B," + std::to_string(runId) + ",\"" + Ansi(kTitles[kind]) + "\"");
    for (const auto& k : karts_) {
      Emit(start, "$A,\"" + std::to_string(k.reg) + "\",\"" + std::to_string(k.number) + "\"," +
                      std::to_string(5000000 + k.reg) + ",\"" + k.name + "\",\"\",\"\",1");
    }
    const std::int64_t green = start + 4000;
    const std::int64_t timedEnd =
        green + 1000LL * (kind == skPractice ? config_.practiceSeconds : config_.qualifyingSeconds);
    for (int s = 1; s <= 3; ++s) Heartbeat(start + 1000LL * (s - 1), green, 9999, 0, "      ");

    Rank(kind);
    if (kind == skRace) {
      for (const auto& k : karts_) Race(green, k);  // the grid
    }

    // Crossings in time order.
    using TCrossing = std::pair<std::int64_t, std::size_t>;
    std::priority_queue<TCrossing, std::vector<TCrossing>, std::greater<>> next;
    auto lapTime = [this](const TKart& k) {
      const int noise = static_cast<int>(rng_() % 3000) - 1000;
      return k.paceMs + noise + (k.laps == 0 ? 2500 : 0);
    };
    for (std::size_t i = 0; i < karts_.size(); ++i) {
      // Karts leave the grid a little apart.
      next.push({green + lapTime(karts_[i]) + static_cast<std::int64_t>(i) * 300, i});
    }
    std::int64_t finishFlag = kind == skRace ? -1 : timedEnd;
    std::int64_t last = green;
    int leaderLaps = 0;
    std::vector<std::pair<std::int64_t, int>> leaderTimeline;  // (moment, leader's laps from then on)
    while (!next.empty()) {
      auto [t, i] = next.top();
      next.pop();
      TKart& k = karts_[i];
      const int lap = static_cast<int>(t - green - k.totalMs);
      ++k.laps;
      k.totalMs = t - green;
      if (k.bestLapMs == 0 || lap < k.bestLapMs) {
        k.bestLapMs = lap;
        k.bestLapNumber = k.laps;
      }
      leaderLaps = std::max(leaderLaps, k.laps);
      leaderTimeline.push_back({t, leaderLaps});
      if (kind == skRace && finishFlag < 0 && k.laps >= config_.raceLaps) finishFlag = t;
      if (finishFlag >= 0 && t >= finishFlag) k.finished = true;
      std::vector<std::pair<int, int>> before;
      for (const auto& o : karts_) before.push_back({o.racePos, o.bestPos});
      Rank(kind);
      Emit(t, "$J,\"" + std::to_string(k.reg) + "\",\"" + Time(lap) + "\",\"" + Time(k.totalMs) + "\"");
      Race(t, k);
      BestLap(t, k);
      for (std::size_t j = 0; j < karts_.size(); ++j) {
        if (j == i) continue;
        if (karts_[j].racePos != before[j].first) Race(t, karts_[j]);
        if (karts_[j].bestLapMs != 0 && karts_[j].bestPos != before[j].second) BestLap(t, karts_[j]);
      }
      last = t;
      if (!k.finished && k.laps < 1000) next.push({t + lapTime(k), i});
    }
    // One "$F" a second from the green flag until a little after the last kart is in.
    const std::int64_t end = last + 3000;
    for (std::int64_t at = green; at <= end; at += 1000) {
      const bool running = finishFlag < 0 || at < finishFlag;
      int leaderNow = 0;
      for (const auto& [when, laps] : leaderTimeline) {
        if (when > at) break;
        leaderNow = laps;
      }
      const int lapsToGo = kind == skRace ? std::max(config_.raceLaps - leaderNow, 0) : 9999;
      Heartbeat(at, green, lapsToGo, kind == skRace ? 0 : (timedEnd - at) / 1000, running ? "Green " : "Finish");
    }
    return end;
  }

  TSessionConfig config_;
  std::mt19937 rng_;
  std::vector<TKart> karts_;
  std::vector<TFeedEvent> events_;
};

}  // namespace

std::vector<TFeedEvent> SimulateSessions(const TSessionConfig& config) { return TSimulator(config).Run(); }

std::optional<std::vector<TSessionKind>> ParseSessionOrder(std::string_view text) {
  std::vector<TSessionKind> order;
  while (true) {
    const std::size_t comma = text.find(',');
    const std::string_view name = text.substr(0, comma);
    TSessionKind kind;
    if (name == "practice") {
      kind = skPractice;
    } else if (name == "qualifying") {
      kind = skQualifying;
    } else if (name == "race") {
      kind = skRace;
    } else {
      return std::nullopt;
    }
    if (std::find(order.begin(), order.end(), kind) != order.end()) return std::nullopt;
    order.push_back(kind);
    if (comma == std::string_view::npos) return order;
    text.remove_prefix(comma + 1);
  }
}

std::vector<std::string> SplitFields(std::string_view line) {
  line = StripLineEnd(line);
  std::vector<std::string> fields;
  std::size_t i = 0;
  auto blank = [](char c) { return c >= 1 && c <= 32; };
  while (i < line.size() && blank(line[i])) ++i;
  while (i < line.size()) {
    std::string field;
    if (line[i] == '"') {
      ++i;
      while (i < line.size()) {
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        field += line[i++];
      }
    } else {
      while (i < line.size() && line[i] != ',' && !blank(line[i])) field += line[i++];
    }
    fields.push_back(field);
    while (i < line.size() && blank(line[i])) ++i;
    if (i < line.size() && line[i] == ',') {
      if (i + 1 == line.size()) fields.emplace_back();
      ++i;
      while (i < line.size() && blank(line[i])) ++i;
    }
  }
  return fields;
}

void TCatchUp::Note(const std::string& line) {
  if (line.size() < 2 || line[0] != '$') return;
  const char tag = line[1];
  if (tag == 'I' || tag == 'B') {
    if (tag == 'I') init_ = line;
    if (tag == 'B') run_ = line;
    // A run keeps the names of the "$A" block before it, as the proxy does;
    // only an init forgets them.
    if (tag == 'I') {
      run_.clear();
      competitors_.clear();
      competitorOrder_.clear();
    }
    race_.clear();
    bestLap_.clear();
    return;
  }
  if (tag == 'F') {
    heartbeat_ = line;
    return;
  }
  if (tag != 'A' && tag != 'G' && tag != 'H') return;
  const auto fields = SplitFields(line);
  if (tag == 'A' && fields.size() > 1) {
    if (!competitors_.count(fields[1])) competitorOrder_.push_back(fields[1]);
    competitors_[fields[1]] = line;
  } else if (tag != 'A' && fields.size() > 2) {
    (tag == 'G' ? race_ : bestLap_)[fields[2]] = line;
  }
}

std::string TCatchUp::Snapshot() const {
  std::string out = init_ + run_;
  for (const auto& reg : competitorOrder_) out += competitors_.at(reg);
  for (const auto& [reg, line] : race_) out += line;
  for (const auto& [reg, line] : bestLap_) out += line;
  return out + heartbeat_;
}

}  // namespace feedsim
