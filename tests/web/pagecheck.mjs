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
  const current = await early.evaluate(() => window.brelvoReceived.at(-1).sequence);
  const late = await context.newPage();
  await late.goto(base + "/");
  const first = await waitFor("the late page's first event",
                              () => late.evaluate(() => window.brelvoReceived.length > 0 && window.brelvoReceived[0]), 10);
  if (first.sequence < current) fail(`a page opened mid-session first got table #${first.sequence}, older than #${current}`);
  const seen = (await early.evaluate(() => window.brelvoReceived)).find((r) => r.sequence === first.sequence);
  if (seen && seen.rows !== first.rows) fail(`table #${first.sequence}: ${first.rows} rows, not ${seen.rows}`);
  console.log(`mid-session page: first event #${first.sequence} with ${first.rows} rows`);

  await waitFor("the replay ends", () => existsSync(feedLog) && readFileSync(feedLog, "utf8").includes("done"), 300);
  let lastBoard = null, lastPage = null;
  const settled = await waitFor("page and board agree", async () => {
    lastBoard = boardRows();
    lastPage = await pageRows(early);
    return same(lastBoard, lastPage) && same(lastBoard, await pageRows(late));
  }, 90).catch(() => false);
  if (!settled) {
    fail("the page's rows are not the board's final table");
    const tail = await early.evaluate(() => document.body.dataset.sequence);
    const served = await early.evaluate(() => fetch("results.json").then((r) => r.json()).then((t) => t.sequence));
    console.log(`  the early page shows #${tail}; /results.json now: #${served}`);
    const n = Math.max(lastBoard ? lastBoard.length : 0, lastPage.length);
    for (let i = 0, shown = 0; i < n && shown < 10; i++) {
      const b = lastBoard ? lastBoard[i] : undefined;
      if (b !== lastPage[i]) {
        console.log(`  board: ${b}\n  page:  ${lastPage[i]}`);
        shown++;
      }
    }
  } else {
    console.log(`page rows equal the board's final table (${lastBoard.length} rows)`);
  }

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
