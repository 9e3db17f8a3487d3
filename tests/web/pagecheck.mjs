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
  const cells = await page.$$eval("#rows tr", (trs) => trs.map((tr) => [...tr.children].map((td) => td.textContent)));
  // Поз., Номер, Имя, Лучший круг, Последний круг, Отставание, Круги
  return cells.map((c) => [int(c[0]), int(c[1]), c[2], ms(c[3]), ms(c[4]), int(c[6])].join(" | "));
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
  const script = (/<script>([\s\S]*?)<\/script>/.exec(html) || [])[1] || "";
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
try {
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
    console.log("screenshots in " + shots);
  }
} catch (e) {
  fail(e.message);
} finally {
  await context.close();
  rmSync(profile, { recursive: true, force: true });
}
