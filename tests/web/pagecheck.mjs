// Drives headless Chromium against the running proxy's results page while a
// recording is replayed: a page opened early follows the stream in push
// order and ends with the board's table; a page opened mid-session shows
// the table at once. Optionally saves the TV and phone screenshots.
//
//   BRELVO_WEBDRIVER=<folder holding node_modules/playwright-core> \
//   node pagecheck.mjs <base-url> <board.json> <feed.log> <ready-file> [screenshot-dir]
// The ready file is written once the first page has the (empty) table, the
// sign to start the replay.
import { createRequire } from "node:module";
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

const { chromium } = createRequire(process.env.BRELVO_WEBDRIVER + "/")("playwright-core");
const [base, boardFile, feedLog, readyFile, shots] = process.argv.slice(2);
const fail = (message) => {
  console.log("FAIL: " + message);
  process.exitCode = 1;
};
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
async function waitFor(what, condition, seconds) {
  const end = Date.now() + seconds * 1000;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > end) throw new Error("timed out: " + what);
    await sleep(250);
  }
}

// "1:02.345" or " 59.999" -> ms; "" -> 0.
function ms(text) {
  const t = text.trim();
  if (t === "") return 0;
  const m = /^(?:(\d+):)?(\d+)\.(\d{3})$/.exec(t);
  if (!m) return NaN;
  return (m[1] ? parseInt(m[1], 10) * 60000 : 0) + parseInt(m[2], 10) * 1000 + parseInt(m[3], 10);
}
const int = (text) => (text.trim() === "" ? 0 : parseInt(text, 10));

function boardRows() {
  try {
    return JSON.parse(readFileSync(boardFile, "utf8")).rows.map((r) =>
      [r.row, r.number, r.name || "", r.bestLapTime, r.lastLapTime, r.laps].join(" | "));
  } catch (e) {
    return null;
  }
}
async function pageRows(page) {
  const cells = await page.$$eval("#rows tr", (trs) => trs.map((tr) =>
    ["pos", "num", "name", "best", "last", "laps"].map((kind) => tr.querySelector("td." + kind).textContent)));
  return cells.map((c) => [int(c[0]), int(c[1]), c[2], ms(c[3]), ms(c[4]), int(c[5])].join(" | "));
}
const same = (a, b) => a !== null && b !== null && a.length === b.length && a.every((x, i) => x === b[i]);

// A smart TV's browser of 2017: the DOM that came later is taken away
// before the page's script runs (the script's own language is checked as
// text below: the test driver's injected code needs today's built-ins).
// CSS cannot be taken out of Chromium, so the style is checked as text too.
function oldBrowser() {
  delete window.EventSource;
  for (const name of ["replaceChildren", "replaceWith", "append", "prepend", "before", "after", "toggleAttribute"])
    delete Element.prototype[name];
  delete DocumentFragment.prototype.replaceChildren;
  delete DocumentFragment.prototype.append;
}
// What a 2017 engine would not parse or draw: newer script syntax in the
// inline script, newer CSS in the inline style.
function oldEngineFaults(html) {
  const faults = [];
  // Comments are prose: their words are no syntax.
  const script = ((/<script>([\s\S]*?)<\/script>/.exec(html) || [])[1] || "").replace(/(^|\s)\/\/[^\n]*/g, "$1");
  const style = (/<style>([\s\S]*?)<\/style>/.exec(html) || [])[1] || "";
  const checks = [
    [script, /=>/, "an arrow function"], [script, /\b(let|const|class)\s/, "let, const or class"],
    [script, /`/, "a template string"], [script, /\.\.\.[A-Za-z_$[]/, "a spread"], [script, /\?\.|\?\?/, "?. or ??"],
    [script, /\breplaceChildren\b/, "replaceChildren"],
    [style, /(^|[\s;{])inset\s*:/, "inset"], [style, /(^|[\s;{])(row-|column-)?gap\s*:/, "gap"],
    [style, /conic-gradient/, "a conic gradient"], [style, /:(is|where|has)\(/, ":is, :where or :has"],
    [style, /(^|[\s;{])aspect-ratio\s*:/, "aspect-ratio"], [style, /\b(clamp|min|max)\(/, "clamp, min or max"],
  ];
  for (const [text, pattern, what] of checks) if (pattern.test(text)) faults.push(what);
  if (script === "" || style === "") faults.push("no inline script or style");
  return faults;
}

const profile = mkdtempSync(join(tmpdir(), "brelvo-chromium-"));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: process.env.BRELVO_CHROMIUM || "/usr/bin/chromium",
  headless: true,
  args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync"],
  viewport: { width: 1920, height: 1080 },
});
// The page's inline style and script run under the server's policy; the
// browser reports anything the policy refuses.
context.on("console", (message) => {
  if (/Content[- ]Security[- ]Policy/i.test(message.text())) fail("refused by the page's policy: " + message.text());
});

// The "$J" lap times the feed gave a car since the standings last started
// afresh: after the last "$I" and the run announced after it.
function feedLapTimes(recording, reg) {
  const lines = readFileSync(recording, "latin1").split(/\r*\n/);
  let from = 0;
  for (let i = 0; i < lines.length; i++) if (lines[i].startsWith("$I")) from = i;
  const run = lines.findIndex((l, i) => i > from && l.startsWith("$B"));
  if (run > 0) from = run;
  const time = (t) => {
    const m = /^(\d+):(\d+):(\d+)\.(\d+)$/.exec(t);
    return m ? ((+m[1] * 60 + +m[2]) * 60 + +m[3]) * 1000 + +m[4].padEnd(3, "0").slice(0, 3) : 0;
  };
  return lines.slice(from).filter((l) => l.startsWith("$J,")).map((l) => l.split(",").map((f) => f.replace(/"/g, "")))
    .filter((f) => +f[1] === reg).map((f) => time(f[2]));
}

// The pixels of a PNG, in the browser: [width, height, RGBA bytes].
async function pixels(page, png) {
  return page.evaluate(async (b64) => {
    const image = new Image();
    image.src = "data:image/png;base64," + b64;
    await image.decode();
    const canvas = document.createElement("canvas");
    canvas.width = image.width;
    canvas.height = image.height;
    const g = canvas.getContext("2d");
    g.drawImage(image, 0, 0);
    return [image.width, image.height, Array.from(g.getImageData(0, 0, image.width, image.height).data)];
  }, png.toString("base64"));
}

try {
  // The clock screen from the start: when each table with a new flag came
  // and when the page showed it.
  const clockPage = await context.newPage();
  await clockPage.addInitScript(() => {
    window.flagCame = [];
    window.flagShown = [];
    const Native = window.EventSource;
    window.EventSource = function (url) {
      const source = new Native(url);
      source.addEventListener("message", (e) => {
        const t = JSON.parse(e.data);
        const last = window.flagCame[window.flagCame.length - 1];
        if (!last || last.flag !== t.flag) window.flagCame.push({ flag: t.flag, at: performance.now() });
      });
      return source;
    };
    new MutationObserver(() => {
      const flag = document.body.className.replace("nodata", "").trim() || "none";
      const last = window.flagShown[window.flagShown.length - 1];
      if (!last || last.flag !== flag) window.flagShown.push({ flag, at: performance.now() });
    }).observe(document, { attributes: true, subtree: true, attributeFilter: ["class"] });
  });
  await clockPage.goto(base + "/clock");

  const early = await context.newPage();
  await early.goto(base + "/");
  await waitFor("the early page's first event", () => early.evaluate(() => window.brelvoReceived.length > 0), 30);
  writeFileSync(readyFile, "ready\n");
  await waitFor("the early page shows rows", () => early.evaluate(() => document.querySelectorAll("#rows tr").length > 0),
                120);

  // Mid-session: the first thing the new page gets is the table as it is
  // now, not an empty or an older one.
  if (!existsSync(feedLog) || readFileSync(feedLog, "utf8").includes("done"))
    fail("the replay ended before the second page was opened");
  const current = await early.evaluate(() => window.brelvoReceived[window.brelvoReceived.length - 1].sequence);
  const late = await context.newPage();
  await late.goto(base + "/");
  const first = await waitFor("the late page's first event",
                              () => late.evaluate(() => window.brelvoReceived.length > 0 && window.brelvoReceived[0]), 10);
  // The same page on a TV's old browser: no EventSource (it polls), no
  // replaceChildren; it must still draw the rows and end on the board's table.
  const old = await context.newPage();
  await old.addInitScript(oldBrowser);
  const oldErrors = [];
  old.on("pageerror", (e) => oldErrors.push(e.message));
  await old.goto(base + "/");
  await waitFor("the old browser's page shows rows", () => old.evaluate(() => document.querySelectorAll("#rows tr").length > 0),
                10);
  for (const path of ["/"]) {
    const faults = oldEngineFaults(await (await fetch(base + path)).text());
    if (faults.length > 0) fail(`${path} uses what a 2017 TV lacks: ${faults.join(", ")}`);
  }
  if (first.sequence < current) fail(`a page opened mid-session first got table #${first.sequence}, older than #${current}`);
  const seen = (await early.evaluate(() => window.brelvoReceived)).find((r) => r.sequence === first.sequence);
  if (seen && seen.rows !== first.rows) fail(`table #${first.sequence}: ${first.rows} rows, not ${seen.rows}`);
  console.log(`mid-session page: first event #${first.sequence} with ${first.rows} rows`);

  await waitFor("the replay ends", () => existsSync(feedLog) && readFileSync(feedLog, "utf8").includes("done"), 300);
  let lastBoard = null, lastPage = null;
  const settled = await waitFor("page and board agree", async () => {
    lastBoard = boardRows();
    lastPage = await pageRows(early);
    return same(lastBoard, lastPage) && same(lastBoard, await pageRows(late)) && same(lastBoard, await pageRows(old));
  }, 90).catch(() => false);
  if (!settled) {
    fail("the page's rows are not the board's final table");
    const tail = await early.evaluate(() => document.body.dataset.sequence);
    const served = await early.evaluate(() => fetch("results.json").then((r) => r.json()).then((t) => t.sequence));
    console.log(`  the early page shows #${tail}; /results.json now: #${served}`);
    const oldRows = await pageRows(old);
    if (!same(lastBoard, oldRows)) {
      console.log(`  the old browser's page shows #${await old.evaluate(() => document.body.dataset.sequence)}`);
      lastPage = oldRows;
    }
    const n = Math.max(lastBoard ? lastBoard.length : 0, lastPage.length);
    for (let i = 0, shown = 0; i < n && shown < 10; i++) {
      const b = lastBoard ? lastBoard[i] : undefined;
      if (b !== lastPage[i]) {
        console.log(`  board: ${b}\n  page:  ${lastPage[i]}`);
        shown++;
      }
    }
  } else {
    console.log(`page rows equal the board's final table (${lastBoard.length} rows), on the old browser too`);
  }
  if (oldErrors.length > 0) fail("the old browser's page threw: " + oldErrors.join("; "));
  const table = await (await fetch(base + "/results.json")).json();

  // One class in class order, on the page and in the data.
  const counts = {};
  for (const r of table.rows) if (r.class) counts[r.class] = (counts[r.class] || 0) + 1;
  console.log("rows per class: " + Object.entries(counts).map(([c, n]) => `${c}: ${n}`).join(", "));
  const cls = +Object.keys(counts).sort((a, b) => counts[b] - counts[a])[0];
  if (!cls) fail("no row has a class");
  const inClass = table.rows.filter((r) => r.class === cls);
  const classJson = await (await fetch(base + `/results.json?class=${cls}`)).json();
  if (classJson.rows.map((r) => r.number).join() !== inClass.map((r) => r.number).join())
    fail(`/results.json?class=${cls} is not the class's rows`);
  if (inClass.some((r, i) => r.classPosition !== i + 1)) fail(`class ${cls}'s positions are not 1..${inClass.length}`);
  const classPage = await context.newPage();
  await classPage.goto(base + `/?class=${cls}`);
  const expected = inClass.map((r) => `${r.classPosition} ${r.number}`).join();
  const shownClass = await waitFor(`/?class=${cls} shows the class`, async () => {
    const shown = await classPage.$$eval("#rows tr", (trs) => trs.map((tr) =>
      tr.querySelector("td.pos").textContent + " " + tr.querySelector("td.num").textContent.trim()).join());
    return shown === expected && shown;
  }, 10).catch(() => false);
  if (!shownClass) fail(`/?class=${cls} does not show class ${cls} alone in class order`);
  else console.log(`/?class=${cls}: ${inClass.length} rows in class order`);
  await classPage.close();

  // A car's laps are the feed's "$J" lap times, newest first.
  const leader = table.rows[0];
  const car = await (await fetch(base + `/car/${leader.number}.json`)).json();
  const fromFeed = process.env.BRELVO_RECORDING ? feedLapTimes(process.env.BRELVO_RECORDING, leader.reg) : null;
  const served = car.laps.map((l) => l.lapTime).reverse();
  if (fromFeed && served.join() !== fromFeed.join())
    fail(`/car/${leader.number}.json laps ${served.join()} are not the feed's ${fromFeed.join()}`);
  else console.log(`/car/${leader.number}.json: ${served.length} laps, the feed's`);
  const carPage = await context.newPage();
  await carPage.setViewportSize({ width: 390, height: 844 });
  await carPage.goto(base + `/car/${leader.number}`);
  await waitFor("the car page shows its laps", () => carPage.evaluate((n) =>
    document.querySelectorAll("#laps tr").length === n, car.laps.length), 10)
    .catch(() => fail("the car page does not show the car's laps"));

  // The overlay: see-through everywhere but its tower at the left edge.
  const overlay = await context.newPage();
  await overlay.goto(base + "/overlay");
  await waitFor("the overlay shows 10 rows", () => overlay.evaluate(() => document.querySelectorAll("#list li").length === 10),
                10).catch(() => fail("the overlay does not show its 10 rows"));
  const overlayPng = await overlay.screenshot({ omitBackground: true });
  const [w, h, rgba] = await pixels(overlay, overlayPng);
  let opaque = 0, towerRight = 0;
  for (let y = 0; y < h; y += 4) {
    for (let x = 0; x < w; x += 4) {
      if (rgba[(y * w + x) * 4 + 3] === 0) continue;
      opaque++;
      towerRight = Math.max(towerRight, x);
    }
  }
  if (opaque === 0) fail("the overlay drew nothing");
  if (towerRight > w * 0.25) fail(`the overlay covers the picture up to x = ${towerRight} of ${w}`);
  else console.log(`overlay: transparent right of x = ${towerRight} of ${w}`);

  // The clock screen followed every flag change of the stream at once.
  const [came, shown] = await clockPage.evaluate(() => [window.flagCame, window.flagShown]);
  // The page draws only the newest of the tables waiting, so a flag that a
  // newer one replaced within a moment may never be drawn; any other must
  // show within a heartbeat.
  const missed = came.filter((c, i) => (i + 1 < came.length ? came[i + 1].at - c.at : Infinity) > 250 &&
    !shown.some((s) => s.flag === c.flag && s.at >= c.at - 1 && s.at - c.at < 1000) &&
    (shown.filter((s) => s.at <= c.at).pop() || {}).flag !== c.flag);  // or shown already
  if (came.length < 2) fail(`the clock page saw ${came.length} flags`);
  if (missed.length > 0) fail(`the clock page did not follow ${missed.length} of ${came.length} flag changes within a heartbeat`);
  else console.log(`clock page: followed ${came.length} flag changes`);
  if (missed.length > 0) console.log("  came " + JSON.stringify(came) + "\n  shown " + JSON.stringify(shown));

  // Every screen on a 2017 TV's engine: its text, and drawing without the newer DOM.
  for (const path of ["/overlay", "/clock", `/car/${leader.number}`]) {
    const faults = oldEngineFaults(await (await fetch(base + path)).text());
    if (faults.length > 0) fail(`${path} uses what a 2017 TV lacks: ${faults.join(", ")}`);
    const page = await context.newPage();
    await page.addInitScript(oldBrowser);
    const errors = [];
    page.on("pageerror", (e) => errors.push(e.message));
    await page.goto(base + path);
    await waitFor(`${path} draws on the old browser`, () => page.evaluate(() =>
      !document.body.classList.contains("nodata") && !document.querySelector(".nodata")), 10)
      .catch(() => fail(`${path} does not draw on the old browser`));
    if (errors.length > 0) fail(`${path} threw on the old browser: ${errors.join("; ")}`);
    await page.close();
  }

  // A TV left on for a weekend: the record of received tables stays bounded.
  const flood = await context.newPage();
  const floodCount = 3000;
  await flood.route("**/events", (route) => route.fulfill({
    status: 200, contentType: "text/event-stream",
    body: Array.from({ length: floodCount }, (_, i) =>
      `id: ${i + 1}\ndata: {"sequence":${i + 1},"feed":true,"rows":[]}\n\n`).join(""),
  }));
  await flood.goto(base + "/");
  const kept = await waitFor("the flood's last table", () => flood.evaluate((n) => {
    const r = window.brelvoReceived;
    return r.some((x) => x.sequence === n) && r.length;
  }, floodCount), 20);
  if (kept >= floodCount / 2) fail(`the page kept ${kept} of ${floodCount} received tables`);
  else console.log(`received record bounded: ${kept} of ${floodCount} tables kept`);
  await flood.close();

  const received = await early.evaluate(() => window.brelvoReceived);
  const ordered = received.every((r, i) => i === 0 || r.sequence > received[i - 1].sequence);
  if (!ordered) fail("events arrived out of push order: " + received.map((r) => r.sequence).join(","));
  if (received.length < 10) fail(`only ${received.length} events arrived during the replay`);
  console.log(`early page: ${received.length} events, sequences ${received[0].sequence}..${received.at(-1).sequence}` +
              (ordered ? ", in push order" : ""));

  if (shots) {
    await early.screenshot({ path: join(shots, "web-tv.png") });
    const phone = await context.newPage();
    await phone.setViewportSize({ width: 390, height: 844 });
    await phone.goto(base + "/");
    await waitFor("the phone page shows rows", () => phone.evaluate(() => document.querySelectorAll("#rows tr").length > 0),
                  10);
    await phone.screenshot({ path: join(shots, "web-phone.png") });
    await clockPage.screenshot({ path: join(shots, "screen-clock.png") });
    await carPage.screenshot({ path: join(shots, "screen-car-phone.png") });
    // The overlay over a picture: a drawn track scene under the see-through page.
    const scene = await overlay.evaluate(async (b64) => {
      const image = new Image();
      image.src = "data:image/png;base64," + b64;
      await image.decode();
      const canvas = document.createElement("canvas");
      canvas.width = image.width;
      canvas.height = image.height;
      const g = canvas.getContext("2d");
      const sky = g.createLinearGradient(0, 0, 0, canvas.height);
      sky.addColorStop(0, "#6fa8dc");
      sky.addColorStop(0.45, "#cfe2f3");
      sky.addColorStop(0.46, "#4f7a3a");
      sky.addColorStop(1, "#2f4f24");
      g.fillStyle = sky;
      g.fillRect(0, 0, canvas.width, canvas.height);
      g.fillStyle = "#444";
      g.beginPath();
      g.moveTo(canvas.width * 0.42, canvas.height * 0.46);
      g.lineTo(canvas.width * 0.58, canvas.height * 0.46);
      g.lineTo(canvas.width * 0.95, canvas.height);
      g.lineTo(canvas.width * 0.05, canvas.height);
      g.fill();
      g.fillStyle = "#d62828";
      g.fillRect(canvas.width * 0.47, canvas.height * 0.62, canvas.width * 0.06, canvas.height * 0.1);
      g.drawImage(image, 0, 0);
      return canvas.toDataURL("image/png").split(",")[1];
    }, overlayPng.toString("base64"));
    writeFileSync(join(shots, "screen-overlay.png"), Buffer.from(scene, "base64"));
    console.log("screenshots in " + shots);
  }
} catch (e) {
  fail(e.message);
} finally {
  await context.close();
  rmSync(profile, { recursive: true, force: true });
}
