#include "web/screenpages.h"

#include <string>

namespace {

// UTF-8, ES5 and the DOM and CSS of a 2017 TV's browser, as the results
// page. The script shared by the three pages comes first in each one's
// script element.
constexpr std::string_view kKit = R"page("use strict";
// What every screen shares: the query, the clock rule, the class colours
// and the tables from /events, polled from /results.json while the stream is
// down or the browser has none.
var kit = (function () {
  function query(name) {
    var m = new RegExp("[?&]" + name + "=([^&#]*)").exec(window.location.search);
    return m ? decodeURIComponent(m[1]) : "";
  }
  function number(name, low, high, fallback) {
    var n = parseInt(query(name), 10);
    return n >= low && n <= high ? n : fallback;
  }
  function two(n) { return (n < 10 ? "0" : "") + n; }
  function clockText(s) { return Math.floor(s / 3600) + ":" + two(Math.floor(s / 60) % 60) + ":" + two(s % 60); }
  // The feed's clock as of its last heartbeat. This browser's clock runs it
  // on only until the next one, two seconds at most: a stalled feed stops
  // the clock, and a page opened late shows the feed's time, not its own.
  function Clock() { this.base = -1; this.at = 0; this.down = false; this.running = false; }
  Clock.prototype.take = function (seconds, down, flag) {
    if (seconds !== this.base || down !== this.down) { this.base = seconds; this.at = Date.now(); this.down = down; }
    this.running = flag === "green" || flag === "yellow";
  };
  Clock.prototype.seconds = function () {
    if (this.base < 0) return 0;
    var ahead = this.running ? Math.min(2, Math.max(0, Math.floor((Date.now() - this.at) / 1000))) : 0;
    return this.down ? Math.max(0, this.base - ahead) : this.base + ahead;
  };
  var COLOURS = ["#d62828", "#2a9d3f", "#2f6fd6", "#e07b00", "#8e44ad", "#00838f", "#c2185b", "#6d8b00"];
  function classColour(n) { return COLOURS[(n - 1) % COLOURS.length]; }
  // "GTU", or the number where "$C" gave no name.
  function className(t, n) {
    var list = t.classes || [];
    for (var i = 0; i < list.length; i++) if (list[i].number === n && list[i].name) return list[i].name;
    return String(n);
  }
  var FLAGS = { green: "Зелёный флаг", yellow: "Жёлтый флаг", red: "Красный флаг", finish: "Финиш", none: "" };
  function flagOf(t) { return FLAGS.hasOwnProperty(t.flag) ? t.flag : "none"; }
  // onTable(table) for each new table, only the newest of those waiting;
  // onState(up) with up when the proxy answers and its feed is connected.
  function follow(onTable, onState) {
    var last = -1, streamUp = false, pollUp = false, feedUp = false, pollTimer = null, waiting = null;
    function state() { onState(feedUp && (streamUp || pollUp)); }
    function take(t) {
      if (typeof t.sequence !== "number" || t.sequence === last) return;
      last = t.sequence;
      feedUp = t.feed === true;
      if (waiting === null) setTimeout(function () { var n = waiting; waiting = null; onTable(n); state(); }, 0);
      waiting = t;
    }
    function poll() {
      var request = new XMLHttpRequest();
      request.open("GET", "/results.json?t=" + Date.now());
      request.timeout = 4000;
      request.onload = function () {
        pollUp = request.status === 200;
        if (pollUp) { try { take(JSON.parse(request.responseText)); } catch (e) { pollUp = false; } }
        state();
      };
      request.onerror = request.ontimeout = function () { pollUp = false; state(); };
      request.send();
    }
    function startPolling() { if (pollTimer === null) { poll(); pollTimer = setInterval(poll, 2000); } }
    function stopPolling() {
      if (pollTimer !== null) { clearInterval(pollTimer); pollTimer = null; }
      pollUp = false;
    }
    function connect() {
      if (!window.EventSource) { startPolling(); return; }
      var source = new EventSource("/events");
      source.onopen = function () { streamUp = true; last = -1; stopPolling(); state(); };
      source.onmessage = function (e) {
        streamUp = true;
        try { take(JSON.parse(e.data)); } catch (err) { }
      };
      source.onerror = function () {
        streamUp = false;
        source.close();
        startPolling();
        state();
        setTimeout(connect, 10000);
      };
    }
    connect();
  }
  return { query: query, number: number, clockText: clockText, Clock: Clock, classColour: classColour,
           className: className, flagOf: flagOf, FLAGS: FLAGS, follow: follow };
})();
)page";

// A stream's browser source at 1920x1080: the tower stays within the
// left fifth, clear of the picture's middle; everything else is see-through.
constexpr std::string_view kOverlayHead = R"page(<!DOCTYPE html>
<html lang="ru">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Оверлей</title>
<style>
  * { box-sizing: border-box; }
  html, body { margin: 0; height: 100%; background: transparent; color: #fff; overflow: hidden;
    font-family: "DejaVu Sans", "Segoe UI", Tahoma, Arial, sans-serif; }
  #tower { position: absolute; left: 1.5vh; top: 4vh; width: 23vw; font-size: 2.3vh;
    border-left: 0.8vh solid #555; background: rgba(0, 0, 0, 0.78); }
  #tower.green { border-left-color: #12a33a; }
  #tower.yellow { border-left-color: #ffd400; }
  #tower.red { border-left-color: #e01b1b; }
  #tower.finish { border-left-color: #fff; }
  #tower.nodata { display: none; }
  #head { display: -webkit-box; display: flex; padding: 0.4em 0.5em; border-bottom: 1px solid #555; font-weight: bold; }
  #run { -webkit-box-flex: 1; flex: 1; overflow: hidden; white-space: nowrap; text-overflow: ellipsis;
    font-weight: normal; color: #ccc; }
  #clock { margin-left: 0.6em; white-space: nowrap; font-variant-numeric: tabular-nums; }
  #list { margin: 0; padding: 0; list-style: none; }
  #list li { display: -webkit-box; display: flex; height: 1.7em; line-height: 1.7em; white-space: nowrap; }
  #list li:nth-child(even) { background: rgba(255, 255, 255, 0.08); }
  .pos { width: 2.2em; text-align: right; padding-right: 0.4em; color: #ffd400; font-weight: bold; }
  .cls { width: 0.35em; }
  .num { width: 2.6em; padding-left: 0.4em; font-weight: bold; }
  .name { -webkit-box-flex: 1; flex: 1; overflow: hidden; text-overflow: ellipsis; }
  .val { width: 4.9em; text-align: right; padding-right: 0.5em; font-variant-numeric: tabular-nums; }
</style>
</head>
<body>
<div id="tower" class="nodata"><div id="head"><span id="run"></span><span id="clock"></span></div><ul id="list"></ul></div>
<script>
)page";
constexpr std::string_view kOverlayScript = R"page((function () {
  var ROWS = kit.number("rows", 1, 40, 10);
  var INTERVAL = kit.query("show") === "interval";
  var ONLY = kit.number("class", 1, 999999999, 0);
  var tower = document.getElementById("tower"), list = document.getElementById("list");
  var clock = new kit.Clock(), up = false, flag = "none";
  // More rows than fit 1080 lines at the usual size: smaller text.
  if (ROWS > 18) tower.style.fontSize = (2.3 * 18 / ROWS).toFixed(2) + "vh";
  function cell(tr, kind, text) {
    var span = document.createElement("span");
    span.className = kind;
    span.textContent = text;
    tr.appendChild(span);
    return span;
  }
  function draw() {
    tower.className = up ? flag : "nodata";
    document.getElementById("clock").textContent = kit.clockText(clock.seconds());
  }
  kit.follow(function (t) {
    flag = kit.flagOf(t);
    if (t.timeToGo !== null && t.timeToGo >= 0) clock.take(t.timeToGo, true, t.flag);
    else clock.take(t.clock | 0, false, t.flag);
    document.getElementById("run").textContent = t.run || "";
    var fragment = document.createDocumentFragment(), shown = 0;
    (t.rows || []).forEach(function (row) {
      var cells = row.cells || [];
      if (shown >= ROWS || !(cells[0] || "").trim() || (ONLY && row["class"] !== ONLY)) return;
      var li = document.createElement("li");
      cell(li, "pos", String(ONLY ? row.classPosition : row.position));
      var chip = cell(li, "cls", "");
      if (row["class"]) chip.style.backgroundColor = kit.classColour(row["class"]);
      cell(li, "num", cells[0].trim());
      cell(li, "name", cells[4] || "");
      var value = ONLY ? row.classGapText : cells[5];
      if (INTERVAL && t.mode !== 0) value = row.intervalText;
      cell(li, "val", shown === 0 ? "Лидер" : value || "");
      fragment.appendChild(li);
      shown++;
    });
    list.textContent = "";
    list.appendChild(fragment);
    draw();
  }, function (isUp) { up = isUp; draw(); });
  setInterval(draw, 250);
})();
</script>
</body>
</html>
)page";

// For a screen at the start line or in the pits: readable across the
// paddock, the flag as the whole background.
constexpr std::string_view kClockHead = R"page(<!DOCTYPE html>
<html lang="ru">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Часы</title>
<style>
  * { box-sizing: border-box; }
  html, body { margin: 0; height: 100%; overflow: hidden; background: #222; color: #fff;
    font-family: "DejaVu Sans", "Segoe UI", Tahoma, Arial, sans-serif; text-align: center; }
  body.green { background: #12a33a; }
  body.yellow { background: #ffd400; color: #000; }
  body.red { background: #e01b1b; }
  body.finish { background-color: #fff; color: #000;
    background-image: linear-gradient(45deg, #000 25%, transparent 25%, transparent 75%, #000 75%),
      linear-gradient(45deg, #000 25%, transparent 25%, transparent 75%, #000 75%);
    background-size: 20vh 20vh; background-position: 0 0, 10vh 10vh; }
  body.finish #face { background: #fff; color: #000; }
  #face { position: absolute; left: 0; right: 0; top: 50%; -webkit-transform: translateY(-50%);
    transform: translateY(-50%); padding: 2vh 0; }
  #run { font-size: 7vh; font-weight: bold; white-space: nowrap; overflow: hidden; text-overflow: ellipsis;
    padding: 0 3vw; }
  #label, #laps, #flagText { font-size: 5vh; }
  #clock { font-size: 30vh; line-height: 1.1; font-weight: bold; font-variant-numeric: tabular-nums; }
  #nodata { display: none; font-size: 12vh; font-weight: bold; color: #f44; }
  body.nodata #nodata { display: block; }
  body.nodata #clock, body.nodata #label, body.nodata #laps { display: none; }
  @media (max-aspect-ratio: 3/2) {
    #clock { font-size: 19vw; }
    #run { font-size: 6vw; }
    #label, #laps, #flagText { font-size: 4.5vw; }
  }
</style>
</head>
<body class="nodata">
<div id="face"><div id="run"></div><div id="flagText"></div><div id="label"></div><div id="clock">0:00:00</div>
<div id="laps"></div><div id="nodata">нет данных</div></div>
<script>
)page";
constexpr std::string_view kClockScript = R"page((function () {
  var clock = new kit.Clock(), up = false, flag = "none";
  function draw() {
    document.body.className = (up ? "" : "nodata ") + flag;
    document.getElementById("clock").textContent = kit.clockText(clock.seconds());
  }
  kit.follow(function (t) {
    flag = kit.flagOf(t);
    var down = t.timeToGo !== null && t.timeToGo >= 0;
    clock.take(down ? t.timeToGo : t.clock | 0, down, t.flag);
    document.getElementById("run").textContent = t.run || "";
    document.getElementById("flagText").textContent = kit.FLAGS[flag];
    document.getElementById("label").textContent = down ? "До конца" : "Время гонки";
    document.getElementById("laps").textContent =
        t.lapsToGo !== null && t.lapsToGo >= 0 ? "Осталось кругов: " + t.lapsToGo : "";
    draw();
  }, function (isUp) { up = isUp; draw(); });
  setInterval(draw, 250);
})();
</script>
</body>
</html>
)page";

// For a phone: one car's laps, fetched again whenever its row changes.
constexpr std::string_view kCarHead = R"page(<!DOCTYPE html>
<html lang="ru">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Круги</title>
<style>
  * { box-sizing: border-box; }
  html, body { margin: 0; background: #000; color: #fff;
    font-family: "DejaVu Sans", "Segoe UI", Tahoma, Arial, sans-serif; font-size: 17px; }
  #flag { height: 10px; background: #333; }
  #flag.green { background: #12a33a; }
  #flag.yellow { background: #ffd400; }
  #flag.red { background: #e01b1b; }
  #flag.finish { background-color: #fff;
    background-image: linear-gradient(45deg, #000 25%, transparent 25%, transparent 75%, #000 75%),
      linear-gradient(45deg, #000 25%, transparent 25%, transparent 75%, #000 75%);
    background-size: 10px 10px; background-position: 0 0, 5px 5px; }
  header { padding: 10px 12px; border-bottom: 2px solid #444; }
  #back { color: #9cf; text-decoration: none; font-size: 15px; }
  #title { font-size: 26px; font-weight: bold; margin-top: 4px; }
  #cls { display: inline-block; padding: 0 6px; margin-right: 8px; border-radius: 3px; font-size: 18px;
    vertical-align: middle; }
  #facts { margin-top: 6px; color: #ccc; }
  #facts span { display: inline-block; margin-right: 14px; white-space: nowrap; }
  table { width: 100%; border-collapse: collapse; }
  th { text-align: left; color: #9cf; font-weight: normal; font-size: 15px; padding: 6px 12px;
    border-bottom: 1px solid #444; }
  td { padding: 6px 12px; font-variant-numeric: tabular-nums; white-space: nowrap; }
  tbody tr:nth-child(even) { background: #333; }
  tr.best td.time { color: #d58cff; font-weight: bold; }
  #nodata { display: none; padding: 30px 12px; font-size: 28px; font-weight: bold; color: #f44; }
  body.nodata #nodata { display: block; }
</style>
</head>
<body class="nodata">
<div id="flag"></div>
<header><a id="back" href="/">← Результаты</a><div id="title"><span id="cls"></span><span id="name"></span></div>
<div id="facts"></div></header>
<table><thead><tr><th>Круг</th><th>Время круга</th><th>Общее время</th><th>Поз.</th></tr></thead>
<tbody id="laps"></tbody></table>
<div id="nodata">нет данных</div>
<script>
)page";
constexpr std::string_view kCarScript = R"page((function () {
  var match = /\/car\/(\d+)/.exec(window.location.pathname);
  var CAR = match ? parseInt(match[1], 10) : 0;
  var key = null, loading = false, again = false, up = false, known = true;
  function totalText(ms) {
    var s = Math.floor(ms / 1000), f = ms % 1000;
    return kit.clockText(s) + "." + (f < 100 ? (f < 10 ? "00" : "0") : "") + f;
  }
  function showState() { document.body.classList.toggle("nodata", !up || !known); }
  function fact(parent, text) {
    var span = document.createElement("span");
    span.textContent = text;
    parent.appendChild(span);
  }
  function render(d) {
    document.getElementById("flag").className = kit.flagOf(d);
    var row = d.car, cells = row ? row.cells : [];
    document.getElementById("name").textContent = "№" + CAR + " " + (cells[4] || "");
    var chip = document.getElementById("cls");
    chip.textContent = row && row["class"] ? kit.className(d, row["class"]) : "";
    chip.style.backgroundColor = row && row["class"] ? kit.classColour(row["class"]) : "transparent";
    var facts = document.getElementById("facts");
    facts.textContent = "";
    if (row) {
      fact(facts, "Поз. " + row.position + (row["class"] ? " (в классе " + row.classPosition + ")" : ""));
      if (cells[5]) fact(facts, "Отставание " + cells[5].trim());
      if (cells[1]) fact(facts, "Лучший круг " + cells[1].trim());
      fact(facts, "Круги " + row.laps);
    }
    var fragment = document.createDocumentFragment();
    (d.laps || []).forEach(function (lap) {
      var tr = document.createElement("tr");
      if (lap.best) tr.className = "best";
      [String(lap.lap), lap.lapTimeText.trim(), totalText(lap.totalTime), lap.position ? String(lap.position) : ""]
          .forEach(function (text, i) {
            var td = document.createElement("td");
            if (i === 1) td.className = "time";
            td.textContent = text;
            tr.appendChild(td);
          });
      fragment.appendChild(tr);
    });
    var body = document.getElementById("laps");
    body.textContent = "";
    body.appendChild(fragment);
  }
  // One request at a time; a change meanwhile asks once more after it.
  function load() {
    if (loading) { again = true; return; }
    loading = true;
    var request = new XMLHttpRequest();
    request.open("GET", "/car/" + CAR + ".json?t=" + Date.now());
    request.timeout = 4000;
    request.onload = function () {
      known = request.status === 200;
      if (known) { try { render(JSON.parse(request.responseText)); } catch (e) { } }
      document.getElementById("nodata").textContent = known ? "нет данных" : "нет машины №" + CAR;
      done();
    };
    request.onerror = request.ontimeout = done;
    request.send();
  }
  function done() {
    loading = false;
    showState();
    if (again) { again = false; load(); }
  }
  kit.follow(function (t) {
    var row = null, rows = t.rows || [];
    for (var i = 0; i < rows.length && !row; i++) if (rows[i].number === CAR && rows[i].reg) row = rows[i];
    for (var j = 0; j < rows.length && !row; j++) if (rows[j].reg === CAR) row = rows[j];
    // The laps change only with the car's row (or a new run); the clock alone does not.
    var k = row ? [row.laps, row.lastLapTime, row.totalTime, row.position, t.flag].join() : "none " + t.flag + t.run;
    if (k !== key) { key = k; load(); }
  }, function (isUp) { up = isUp; showState(); });
})();
</script>
</body>
</html>
)page";

std::string Compose(std::string_view head, std::string_view script) {
  std::string page;
  page.reserve(head.size() + kKit.size() + script.size());
  page.append(head).append(kKit).append(script);
  return page;
}

}  // namespace

std::string_view OverlayPageHtml() {
  static const std::string page = Compose(kOverlayHead, kOverlayScript);
  return page;
}

std::string_view ClockPageHtml() {
  static const std::string page = Compose(kClockHead, kClockScript);
  return page;
}

std::string_view CarPageHtml() {
  static const std::string page = Compose(kCarHead, kCarScript);
  return page;
}
