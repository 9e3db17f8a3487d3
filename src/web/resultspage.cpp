#include "web/resultspage.h"

namespace {

// UTF-8. Sized by the viewport: 20 rows fit a 1920x1080 TV without
// scrolling; more rows than fit are shown page by page, and /?rows=N sets
// the rows per page (bigger or smaller text). On a narrow phone the name
// gets the room. Smart TVs run browsers of 2017 and older: the script is
// ES5 with the DOM of that time, and the style uses nothing newer than
// that without a fallback in front of it (no inset, no flex gap, the
// finish band drawn with linear gradients).
constexpr std::string_view kPage = R"page(<!DOCTYPE html>
<html lang="ru">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Результаты</title>
<style>
  * { box-sizing: border-box; }
  html, body { margin: 0; height: 100%; background: #000; color: #fff; overflow: hidden;
    font-family: "DejaVu Sans", "Segoe UI", Tahoma, Arial, sans-serif; }
  body { display: flex; flex-direction: column; }
  #flag { height: 4.6vh; min-height: 20px; flex: none; background: #333; }
  #flag.green { background: #12a33a; }
  #flag.yellow { background: #ffd400; }
  #flag.red { background: #e01b1b; }
  #flag.finish { background-color: #fff;
    background-image: linear-gradient(45deg, #000 25%, transparent 25%, transparent 75%, #000 75%),
      linear-gradient(45deg, #000 25%, transparent 25%, transparent 75%, #000 75%);
    background-size: 4.6vh 4.6vh; background-position: 0 0, 2.3vh 2.3vh; }
  header { flex: none; display: flex; align-items: baseline; padding: 0.8vh 1.5vw;
    font-size: 4.2vh; font-weight: bold; border-bottom: 2px solid #444; }
  header > span { margin-left: 2vw; }
  #run { flex: 1; margin-left: 0; overflow: hidden; white-space: nowrap; text-overflow: ellipsis; }
  #mode, #flagText { font-size: 2.8vh; color: #bbb; font-weight: normal; white-space: nowrap; }
  #clock { font-variant-numeric: tabular-nums; white-space: nowrap; }
  main { flex: 1; position: relative; overflow: hidden; }
  table { width: 100%; border-collapse: collapse; table-layout: fixed; font-size: 3.1vh; }
  th { text-align: left; color: #9cf; font-weight: normal; font-size: 2.6vh; padding: 0.5vh 0.6vw;
    border-bottom: 1px solid #444; white-space: nowrap; overflow: hidden; }
  td { padding: 0 0.6vw; height: 1.3em; white-space: pre; overflow: hidden; text-overflow: ellipsis;
    font-variant-numeric: tabular-nums; }
  tbody tr:nth-child(even) { background: #333; }
  tbody tr.off { display: none; }
  .pos { width: 5%; text-align: right; color: #ffd400; font-weight: bold; }
  .cls { width: 8%; }
  .num { width: 7%; font-weight: bold; border-left: 0.5vw solid transparent; }
  .num a { color: inherit; text-decoration: none; }
  .name { width: 23%; }
  .best, .last, .gap { width: 11%; }
  .int { width: 10%; }
  .laps { width: 6%; }
  .gain { width: 8%; }
  td.sb { color: #d58cff; font-weight: bold; }
  td.pb { color: #4be36f; }
  td.up { color: #4be36f; }
  td.down { color: #ff6b6b; }
  body.noclasses .cls, body.nointerval .int, body.nointerval .gain { display: none; }
  #page { position: absolute; right: 1.5vw; bottom: 0.5vh; font-size: 3.2vh; color: #bbb;
    background: #000; padding: 0 0.5vw; }
  #nodata { display: none; position: absolute; top: 0; right: 0; bottom: 0; left: 0;
    align-items: center; justify-content: center;
    font-size: 12vh; font-weight: bold; color: #f44; background: rgba(0, 0, 0, 0.85); }
  body.nodata #nodata { display: flex; }
  @media (max-aspect-ratio: 1/1) {
    header { flex-wrap: wrap; font-size: 6vw; padding: 1vw 2vw; }
    header > span { margin-left: 3vw; }
    #run { flex-basis: 100%; margin-left: 0; }
    #mode { margin-left: 0; }
    #mode, #flagText { font-size: 4vw; }
    table { font-size: 3.7vw; }
    th { font-size: 3.2vw; padding: 1vw 0.8vw; }
    td { height: 1.7em; padding: 0 0.8vw; }
    .last, .laps, .cls, .int, .gain { display: none; }
    .pos { width: 7%; } .num { width: 10%; } .name { width: 40%; } .best { width: 20%; } .gap { width: 23%; }
    td.pos, td.num { text-overflow: clip; }
    #page { font-size: 3.6vw; }
    #nodata { font-size: 12vw; }
  }
</style>
</head>
<body class="nodata noclasses">
<div id="flag"></div>
<header><span id="run"></span><span id="mode"></span><span id="flagText"></span><span id="clock"></span></header>
<main>
<table>
<thead><tr><th class="pos">Поз.</th><th class="cls">Класс</th><th class="num">Номер</th><th class="name">Имя</th><th class="best">Лучший круг</th><th class="last">Последний круг</th><th class="gap">Отставание</th><th class="int">Интервал</th><th class="laps">Круги</th><th class="gain">+/−</th></tr></thead>
<tbody id="rows"></tbody>
</table>
<div id="page"></div>
<div id="nodata">нет данных</div>
</main>
<script>
"use strict";
(function () {
  // cells come in the proxy's column order: number, best lap, last lap, laps, name, gap.
  var COLOURS = ["#d62828", "#2a9d3f", "#2f6fd6", "#e07b00", "#8e44ad", "#00838f", "#c2185b", "#6d8b00"];
  var kit = {
    classColour: function (n) { return COLOURS[(n - 1) % COLOURS.length]; },
    // "GTU", or the number where the feed gave the class no name.
    className: function (t, n) {
      var list = t.classes || [];
      for (var i = 0; i < list.length; i++) if (list[i].number === n && list[i].name) return list[i].name;
      return String(n);
    }
  };
  var MODES = { 0: "Квалификация", 1: "Гонка", 2: "Практика" };
  var FLAGS = { green: "Зелёный флаг", yellow: "Жёлтый флаг", red: "Красный флаг", finish: "Финиш", none: "" };
  var PAGE_SECONDS = 8;
  var rowsBody = document.getElementById("rows");
  var table = document.querySelector("table");
  // What arrived, in order (sequence and row count): for whoever checks the
  // page from outside, such as a browser test. Only the newest are kept: a
  // TV is left on for days.
  var RECEIVED_KEPT = 500;
  var received = [];
  window.brelvoReceived = received;
  // ?rows=N: the rows of a page, the text sized to fit them.
  // ?class=N: that class alone, in class order.
  var ONLY = (function () {
    var m = /[?&]class=(\d+)/.exec(window.location.search);
    return m ? parseInt(m[1], 10) : 0;
  })();
  var rowsWanted = (function () {
    var m = /[?&]rows=(\d+)/.exec(window.location.search);
    var n = m ? parseInt(m[1], 10) : 0;
    return n >= 1 && n <= 200 ? n : 0;
  })();
  var lastSequence = -1, streamUp = false, pollUp = false, feedUp = false;
  var page = 0, pages = 1;

  function clockText(s) {
    var h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60, sec = s % 60;
    return h + ":" + (m < 10 ? "0" : "") + m + ":" + (sec < 10 ? "0" : "") + sec;
  }
  function showState() {
    document.body.classList.toggle("nodata", !feedUp || !(streamUp || pollUp));
  }
  // Tables may come faster than a TV's browser draws them: only the newest
  // one waiting is drawn.
  var waiting = null;
  function take(t) {
    if (typeof t.sequence !== "number" || t.sequence === lastSequence) return;
    lastSequence = t.sequence;
    received.push({ sequence: t.sequence, rows: (t.rows || []).length });
    if (received.length > 2 * RECEIVED_KEPT) received.splice(0, received.length - RECEIVED_KEPT);
    if (waiting === null) setTimeout(function () { var n = waiting; waiting = null; render(n); }, 0);
    waiting = t;
  }
  function render(t) {
    document.body.dataset.sequence = String(t.sequence);
    feedUp = t.feed === true;
    var flag = document.getElementById("flag");
    flag.className = FLAGS.hasOwnProperty(t.flag) ? t.flag : "none";
    document.getElementById("flagText").textContent = FLAGS[t.flag] || "";
    document.getElementById("run").textContent = t.run || "";
    document.getElementById("mode").textContent = MODES[t.mode] || "Гонка";
    document.getElementById("clock").textContent = clockText(t.clock | 0);
    var fragment = document.createDocumentFragment();
    var race = t.mode !== 0 && t.mode !== 2, classes = false;
    (t.rows || []).forEach(function (row) {
      if (ONLY && row["class"] !== ONLY) return;
      var cells = row.cells || [];
      var tr = document.createElement("tr");
      function add(kind, text) {
        var td = document.createElement("td");
        td.className = kind;
        td.textContent = text || "";
        tr.appendChild(td);
        return td;
      }
      add("pos", String(ONLY ? row.classPosition : row.position));
      var cls = add("cls", row["class"] ? kit.className(t, row["class"]) + " " + row.classPosition : "");
      var num = add("num", "");
      if (row["class"]) {
        classes = true;
        cls.style.color = num.style.borderLeftColor = kit.classColour(row["class"]);
      }
      if (row.reg && cells[0]) {
        // Each car's laps, on a page of its own.
        var link = document.createElement("a");
        link.href = "car/" + row.number;
        link.textContent = cells[0];
        num.appendChild(link);
      } else {
        num.textContent = cells[0] || "";
      }
      add("name", cells[4]);
      add("best" + (row.sessionBest ? " sb" : ""), cells[1]);
      var last = row.personalBest ? (row.sessionBest && row.lastLapTime === row.bestLapTime ? " sb" : " pb") : "";
      add("last" + last, cells[2]);
      add("gap", ONLY ? row.classGapText : cells[5]);
      add("int", row.intervalText);
      add("laps", cells[3]);
      var gained = row.gained | 0;
      add("gain" + (gained > 0 ? " up" : gained < 0 ? " down" : ""),
          gained > 0 ? "+" + gained : gained < 0 ? "\u2212" + (-gained) : "");
      fragment.appendChild(tr);
    });
    document.body.classList.toggle("noclasses", !classes || ONLY !== 0);
    document.body.classList.toggle("nointerval", !race || ONLY !== 0);
    if (ONLY) document.getElementById("mode").textContent = "Класс " + kit.className(t, ONLY);
    rowsBody.textContent = "";
    rowsBody.appendChild(fragment);
    layoutPages();
    showState();
  }
  // How many rows fit below the header; the rest are shown page by page.
  function perPage() {
    var main = document.querySelector("main");
    var head = document.querySelector("thead");
    var first = rowsBody.querySelector("tr");
    var rowHeight = first ? first.getBoundingClientRect().height : 0;
    if (rowsWanted > 0 && rowHeight > 0) {
      // Rows are as high as a number of em: the text grows or shrinks until
      // the wanted rows fill the room.
      var room = main.clientHeight - head.getBoundingClientRect().height - 1;
      var em = rowHeight / parseFloat(window.getComputedStyle(table).fontSize);
      table.style.fontSize = Math.max(6, Math.floor(room / rowsWanted / em * 10) / 10) + "px";
      return rowsWanted;
    }
    if (rowHeight <= 0) return 1000;
    return Math.max(1, Math.floor((main.clientHeight - head.getBoundingClientRect().height) / rowHeight));
  }
  function layoutPages() {
    var trs = rowsBody.children;
    for (var i = 0; i < trs.length; i++) trs[i].classList.remove("off");
    var n = perPage();
    pages = Math.max(1, Math.ceil(trs.length / n));
    if (page >= pages) page = 0;
    for (var j = 0; j < trs.length; j++) trs[j].classList.toggle("off", Math.floor(j / n) !== page);
    document.getElementById("page").textContent = pages > 1 ? "стр. " + (page + 1) + " / " + pages : "";
  }
  setInterval(function () {
    if (pages > 1) { page = (page + 1) % pages; layoutPages(); }
  }, PAGE_SECONDS * 1000);
  window.addEventListener("resize", layoutPages);

  // The stream first; while it is down, the table is polled.
  var source = null, pollTimer = null;
  function poll() {
    var request = new XMLHttpRequest();
    request.open("GET", "results.json?t=" + Date.now());
    request.timeout = 4000;
    request.onload = function () {
      pollUp = request.status === 200;
      if (pollUp) { try { take(JSON.parse(request.responseText)); } catch (e) { pollUp = false; } }
      showState();
    };
    request.onerror = request.ontimeout = function () { pollUp = false; showState(); };
    request.send();
  }
  function startPolling() {
    if (pollTimer === null) { poll(); pollTimer = setInterval(poll, 2000); }
  }
  function stopPolling() {
    if (pollTimer !== null) { clearInterval(pollTimer); pollTimer = null; }
    pollUp = false;
  }
  function connect() {
    if (!window.EventSource) { startPolling(); return; }
    source = new EventSource("events");
    source.onopen = function () { streamUp = true; lastSequence = -1; stopPolling(); showState(); };
    source.onmessage = function (e) {
      streamUp = true;
      try { take(JSON.parse(e.data)); } catch (err) { }
    };
    source.onerror = function () {
      streamUp = false;
      source.close();
      startPolling();
      showState();
      setTimeout(connect, 10000);
    };
  }
  connect();
})();
</script>
</body>
</html>
)page";

}  // namespace

std::string_view ResultsPageHtml() { return kPage; }
