// The dashboard in a real browser: Debian's chromium, headless, driven by puppeteer-core. It loads the page, waits
// for the key form, types the cluster key, waits for the machine list drawn on the canvas, follows the pointer, opens
// a machine and watches its chart move for longer than the relay keeps an idle link, scrolls and filters its
// processes by typing, opens its Overview and a stored hour of its history. What the canvas shows is read back from
// its pixels. Screenshots of each step land in the given folder; one JSON line of facts and measurements
// is printed at the end (exit 0), or the failed step (exit 1).
// usage: node dashboard.mjs <dashboard url> <key file> <folder>
import { readdirSync, readFileSync } from "node:fs";
import puppeteer from "puppeteer-core";

const [url, keyFile, folder] = process.argv.slice(2);
const begun = Date.now();  // the agents publish before this script starts
const key = readFileSync(keyFile, "utf8").trim();
const facts = { console: [] };
let step = "start";
let browser = null;
let page = null;

// The list's geometry in CSS px, as the viewer draws it: rows of 32 px from 108, 24 px in from either side, the
// state column at the middle.
const listTop = 108, rowHeight = 32, listLeft = 24;
const width = 1280, height = 800;
const patient = { timeout: 90000, polling: 250 };

const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

// Rows whose separator line is drawn and whose state column holds the online colour.
function onlineRows(top, row, left) {
  const canvas = document.getElementById("screen");
  if (canvas.width < 400) return 0;
  const pixels = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data;
  const at = (x, y) => pixels.slice((y * canvas.width + x) * 4, (y * canvas.width + x) * 4 + 3);
  let online = 0;
  for (let r = 0; top + r * row + row <= canvas.height; ++r) {
    const line = at(left + 2, top + r * row + row - 1);
    if (line[0] !== 0x44 || line[1] !== 0x44 || line[2] !== 0x44) break;
    const middle = Math.floor(canvas.width / 2);
    let green = false;
    for (let x = middle; x < middle + 60 && !green; ++x)
      for (let y = top + r * row + 4; y < top + r * row + row - 4 && !green; ++y) {
        const p = at(x, y);
        green = p[1] > 150 && p[0] < 140 && p[2] < 140;
      }
    if (green) ++online;
  }
  return online;
}

// A hash of the canvas pixels inside a rectangle.
function regionHash(x0, y0, x1, y1) {
  const canvas = document.getElementById("screen");
  const pixels = canvas.getContext("2d").getImageData(x0, y0, x1 - x0, y1 - y0).data;
  let h = 2166136261;
  for (let i = 0; i < pixels.length; ++i) h = Math.imul(h ^ pixels[i], 16777619) >>> 0;
  return h;
}

// The top of the process table's scroll thumb (its colour near the right edge), -1 when there is none.
function thumbTop() {
  const canvas = document.getElementById("screen");
  const w = canvas.width, h = canvas.height;
  const pixels = canvas.getContext("2d").getImageData(0, 0, w, h).data;
  for (let y = 144; y < h; ++y)
    for (let x = w - 40; x < w; ++x) {
      const i = (y * w + x) * 4;
      if (pixels[i] === 0x64 && pixels[i + 1] === 0x6a && pixels[i + 2] === 0x70) return y;
    }
  return -1;
}

// The stored chart: its plot (between its top and bottom grid lines, the longest runs of one colour other than the
// page's on the rows from 100 down) and the columns inside it that hold the series' colour (green well above red).
function plotSpan() {
  const canvas = document.getElementById("screen");
  const w = canvas.width, h = canvas.height;
  const px = canvas.getContext("2d").getImageData(0, 0, w, h).data;
  const same = (a, b) => px[a] === px[b] && px[a + 1] === px[b + 1] && px[a + 2] === px[b + 2];
  let plot = null;
  for (let y = 100; y < h && !plot; ++y)
    for (let x = 0; x < w;) {
      const i = (y * w + x) * 4;
      let e = x + 1;
      while (e < w && same((y * w + e) * 4, i)) ++e;
      if (e - x > w / 3 && !same(i, (y * w + w - 2) * 4)) plot = { left: x, right: e, top: y, bottom: y };
      x = e;
    }
  if (!plot) return null;
  const line = (plot.top * w + plot.left) * 4;
  for (let y = plot.top + 1; y < h; ++y)
    if (same((y * w + plot.left) * 4, line) && same((y * w + plot.right - 1) * 4, line)) plot.bottom = y;
  plot.first = -1;
  plot.last = -1;
  for (let x = plot.left; x < plot.right; ++x)
    for (let y = plot.top; y < plot.bottom; ++y) {
      const i = (y * w + x) * 4;
      if (px[i + 1] > px[i] + 40) {
        if (plot.first < 0) plot.first = x;
        plot.last = x;
        break;
      }
    }
  return plot;
}

// Bands of light text in a rectangle (by default the process table's names below its header), counted from the top.
function textRows(x0 = 248, y0 = 146, w = 352, h = 0) {
  const canvas = document.getElementById("screen");
  const rows = h || canvas.height - y0;
  const pixels = canvas.getContext("2d").getImageData(x0, y0, w, rows).data;
  let bands = 0, inside = false;
  for (let y = 0; y < rows; ++y) {
    let text = false;
    for (let x = 0; x < w && !text; ++x) {
      const i = (y * w + x) * 4;
      text = pixels[i] > 150 && pixels[i + 1] > 150 && pixels[i + 2] > 150;
    }
    if (text && !inside) ++bands;
    inside = text;
  }
  return bands;
}

// Every pixel of the rectangle has one colour.
function bare(x0, y0, x1, y1) {
  const canvas = document.getElementById("screen");
  const pixels = canvas.getContext("2d").getImageData(x0, y0, x1 - x0, y1 - y0).data;
  for (let i = 4; i < pixels.length; i += 4)
    if (pixels[i] !== pixels[0] || pixels[i + 1] !== pixels[1] || pixels[i + 2] !== pixels[2]) return false;
  return true;
}

function pixelAt(x, y) {
  const canvas = document.getElementById("screen");
  return Array.from(canvas.getContext("2d").getImageData(x, y, 1, 1).data);
}

// Processor seconds of a process and its descendants, from /proc.
function cpuSeconds(root) {
  const children = new Map();
  for (const name of readdirSafe("/proc")) {
    if (!/^\d+$/.test(name)) continue;
    const stat = readSafe(`/proc/${name}/stat`);
    if (!stat) continue;
    const fields = stat.slice(stat.lastIndexOf(")") + 2).split(" ");
    children.set(Number(name), { parent: Number(fields[1]), ticks: Number(fields[11]) + Number(fields[12]) });
  }
  let ticks = 0;
  const wanted = new Set([root]);
  for (let grew = true; grew;) {
    grew = false;
    for (const [pid, p] of children)
      if (!wanted.has(pid) && wanted.has(p.parent)) {
        wanted.add(pid);
        grew = true;
      }
  }
  for (const pid of wanted) ticks += children.get(pid)?.ticks ?? 0;
  return ticks / 100;
}

function readSafe(path) {
  try {
    return readFileSync(path, "utf8");
  } catch {
    return "";
  }
}

function readdirSafe(path) {
  try {
    return readdirSync(path);
  } catch {
    return [];
  }
}

async function shot(name) {
  await page.screenshot({ path: `${folder}/${name}.png` });
}

async function main() {
  step = "launch";
  browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    headless: true,
    userDataDir: `${folder}/profile`,
    defaultViewport: { width, height, deviceScaleFactor: 1 },
    protocolTimeout: 180000,
    args: ["--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
           "--disable-background-timer-throttling", "--disable-renderer-backgrounding"],
  });
  page = await browser.newPage();
  page.on("console", (m) => {
    if (m.type() === "error") facts.console.push(m.text());
  });
  page.on("pageerror", (e) => facts.console.push(String(e)));
  // The pixel readers, and the time of the first frame put on the canvas from the page's own clock (0 at
  // navigation).
  await page.evaluateOnNewDocument(`${onlineRows}\n${regionHash}\n${pixelAt}\n${thumbTop}\n${plotSpan}\n${textRows}\n${bare}`);
  await page.evaluateOnNewDocument(() => {
    const put = CanvasRenderingContext2D.prototype.putImageData;
    window.vimbrelFrames = 0;
    CanvasRenderingContext2D.prototype.putImageData = function (...args) {
      if (window.vimbrelFrames++ === 0) window.vimbrelFirstFrame = performance.now();
      return put.apply(this, args);
    };
  });

  step = "the page loads and draws";
  await page.goto(url, { waitUntil: "load", timeout: 90000 });
  await page.waitForFunction(() => window.vimbrelFrames > 0, patient);
  facts.first_frame_ms = Math.round(await page.evaluate(() => window.vimbrelFirstFrame));
  facts.canvas = await page.evaluate(() => [document.getElementById("screen").width, document.getElementById("screen").height]);

  step = "the key form is shown";
  await page.waitForFunction(() => getComputedStyle(document.getElementById("key")).display !== "none", patient);
  await shot("1-key-form");

  step = "a wrong key is refused and the form stays";
  const wrong = "vimbrel-key 1 " + "7".repeat(64);
  await page.type("#text", wrong);
  await page.click("#key button");
  await sleep(3000);
  facts.wrong_key_form = await page.evaluate(() => getComputedStyle(document.getElementById("key")).display);
  facts.wrong_key_stored = await page.evaluate(() => sessionStorage.getItem("vimbrel.key"));
  if (facts.wrong_key_form === "none" || facts.wrong_key_stored !== null) throw new Error("a wrong key was taken");

  step = "the key is entered and kept";
  await page.type("#text", key);
  await page.click("#key button");
  // Kept for this tab's session only, never in the storage that outlives it.
  await page.waitForFunction(() => sessionStorage.getItem("vimbrel.key") !== null, patient);
  facts.stored_key = await page.evaluate(
      (key) => sessionStorage.getItem("vimbrel.key") === key && localStorage.getItem("vimbrel.key") === null, key);
  await page.waitForFunction(() => getComputedStyle(document.getElementById("key")).display === "none", patient);

  step = "the machine list shows both agents online";
  await page.waitForFunction((...a) => onlineRows(...a) >= 2, patient, listTop, rowHeight, listLeft).catch(() => {});
  facts.online_rows = await page.evaluate((...a) => onlineRows(...a), listTop, rowHeight, listLeft);
  await shot("2-machines");
  if (facts.online_rows < 2) throw new Error(`${facts.online_rows} machines listed online`);

  step = "the pointer's hover marks a row";
  const plain = await page.evaluate((x, y) => pixelAt(x, y), listLeft + 2, listTop + rowHeight + 4);
  await page.mouse.move(listLeft + 40, listTop + rowHeight + rowHeight / 2);
  await page.waitForFunction((x, y, before) => pixelAt(x, y).join() !== before.join(), patient,
                             listLeft + 2, listTop + rowHeight + 4, plain).catch(() => {});
  const hovered = await page.evaluate((x, y) => pixelAt(x, y), listLeft + 2, listTop + rowHeight + 4);
  facts.hover_changes_row = hovered.join() !== plain.join();
  if (!facts.hover_changes_row) throw new Error("the hovered row looks as before");

  step = "a machine opens";
  const listHash = await page.evaluate((...r) => regionHash(...r), 0, 40, width, height);
  await page.mouse.click(listLeft + 40, listTop + rowHeight / 2);
  await page.waitForFunction((h) => regionHash(0, 40, 1280, 800) !== h, patient, listHash);
  await sleep(2000);
  await shot("3-machine");

  step = "its chart moves while the link is kept for longer than an idle link lives";
  const chart = [300, 100, 1180, 460];
  const seen = new Set();
  const cpuStart = cpuSeconds(browser.process().pid);
  const started = Date.now();
  while (Date.now() - started < 15000) {
    seen.add(await page.evaluate((...r) => regionHash(...r), ...chart));
    await sleep(1000);
  }
  // Processor seconds over wall seconds, in percent of one core, to a tenth.
  const busy = cpuSeconds(browser.process().pid) - cpuStart;
  facts.browser_cpu_percent = Math.round((busy * 1000) / ((Date.now() - started) / 1000)) / 10;
  facts.chart_states = seen.size;
  await shot("4-machine-later");
  if (facts.chart_states < 5) throw new Error(`the chart showed ${facts.chart_states} states in 15 s`);

  step = "the Processes tab lists the machine's processes and the wheel scrolls them";
  const resources = await page.evaluate((...r) => regionHash(...r), 240, 100, width, height);
  await page.mouse.click(width - 240, 20);
  await page.waitForFunction((h, w, hh) => regionHash(240, 100, w, hh) !== h, patient, resources, width, height);
  await sleep(1500);
  await shot("5-processes");
  facts.thumb_before = await page.evaluate(() => thumbTop());
  await page.mouse.move(700, 400);
  await page.mouse.wheel({ deltaY: 300 });
  await page.waitForFunction((before) => thumbTop() > before, patient, facts.thumb_before).catch(() => {});
  facts.thumb_after = await page.evaluate(() => thumbTop());
  await shot("6-processes-scrolled");
  if (facts.thumb_before < 0 || facts.thumb_after <= facts.thumb_before) throw new Error("the wheel did not scroll");

  step = "typing on the page filters the process list";
  await page.mouse.move(100, height - 20);  // no row hovered: no details box over the names
  await page.waitForFunction(() => textRows() > 3, patient);
  facts.rows_unfiltered = await page.evaluate(() => textRows());
  // This test's own host and agents are named so; the second filter names no process at all.
  await page.keyboard.type("vimbrel");
  await page.waitForFunction((all) => textRows() !== all, patient, facts.rows_unfiltered).catch(() => {});
  await sleep(1000);
  facts.rows_vimbrel = await page.evaluate(() => textRows());
  await shot("7-processes-filtered");
  await page.keyboard.type(" no such name");
  await page.waitForFunction(() => textRows() === 0, patient).catch(() => {});
  facts.rows_no_match = await page.evaluate(() => textRows());
  await page.keyboard.press("Escape");
  await page.waitForFunction(() => thumbTop() >= 0, patient).catch(() => {});
  facts.rows_cleared = await page.evaluate(() => textRows());
  if (facts.rows_vimbrel < 3 || facts.rows_no_match !== 0 || facts.rows_cleared < 3)
    throw new Error("the filter did not narrow the list and come back");

  step = "the Overview shows the machine's cards";
  const strip = (x) => pixelAt(x, 4).join();
  const plainButton = await page.evaluate(strip, width - 600);
  await page.mouse.click(width - 560, 20);
  await page.waitForFunction((x, before) => pixelAt(x, 4).join() !== before, patient, width - 600, plainButton);
  // Two cards side by side: the processor card's chart (the left card, below its head) moves, and the gap between
  // it and the memory card is bare page, where the resources and process pages draw a grid or a column.
  const card = [250, 130, 740, 340];
  const cardStates = new Set();
  for (let i = 0; i < 8; ++i) {
    cardStates.add(await page.evaluate((...r) => regionHash(...r), ...card));
    await sleep(1000);
  }
  facts.overview_card_states = cardStates.size;
  facts.overview_gap_bare = await page.evaluate(() => bare(745, 104, 755, 368));
  await shot("8-overview");
  if (facts.overview_card_states < 3 || !facts.overview_gap_bare) throw new Error("the Overview's cards are not drawn");

  step = "a stored range shows the host's history";
  await page.mouse.click(width - 400, 20);
  await sleep(1000);
  // The host keeps 10-second buckets and writes each a second after it closes: agents that have published for 75 s
  // have more than a minute stored, more than a chart fed only live since its range opened could show.
  await sleep(Math.max(0, 75000 - (Date.now() - begun)));
  // "1 h", the third of six range buttons (48 px wide, 4 apart) that end at the content's right edge.
  await page.mouse.click(width - 24 - 52 * 3 - 24, 70);
  const opened = Date.now();
  await page.waitForFunction((opened) => {
    const p = plotSpan();
    if (!p || p.first < 0) return false;
    const covered = ((p.last - p.first + 1) * 3600) / (p.right - p.left);
    return covered >= (Date.now() - opened) / 1000 + 30;
  }, patient, opened).catch(() => {});
  const plot = await page.evaluate(() => plotSpan());
  facts.stored_seconds = plot && plot.first >= 0 ? Math.round(((plot.last - plot.first + 1) * 3600) / (plot.right - plot.left)) : 0;
  facts.stored_after_seconds = Math.round((Date.now() - opened) / 1000);
  await shot("9-stored-hour");
  if (facts.stored_seconds < facts.stored_after_seconds + 30) throw new Error("the hour shows no stored history");
  facts.frames = await page.evaluate(() => window.vimbrelFrames);

  step = "another tab asks for the key again, and a key an earlier version kept for good moves into the session";
  const other = await browser.newPage();
  await other.goto(url, { waitUntil: "load", timeout: 90000 });
  await other.waitForFunction(() => getComputedStyle(document.getElementById("key")).display !== "none", patient);
  await other.evaluate((key) => localStorage.setItem("vimbrel.key", key), key);
  await other.reload({ waitUntil: "load", timeout: 90000 });
  // The form is hidden from the start when a key is stored: the key is in the session once the host took it.
  await other.waitForFunction(() => sessionStorage.getItem("vimbrel.key") !== null, patient).catch(() => {});
  await other.waitForFunction(() => getComputedStyle(document.getElementById("key")).display === "none", patient);
  facts.kept_key_moved = await other.evaluate(
      (key) => sessionStorage.getItem("vimbrel.key") === key && localStorage.getItem("vimbrel.key") === null, key);
  if (!facts.kept_key_moved) throw new Error("a key kept for good stayed kept");
  await other.close();
}

async function run() {
  try {
    await main();
    process.stdout.write(JSON.stringify({ ok: true, ...facts }) + "\n");
    await browser.close();
    process.exit(0);
  } catch (error) {
    if (page) await shot("failed").catch(() => {});
    process.stdout.write(JSON.stringify({ ok: false, step, error: String(error), ...facts }) + "\n");
    if (browser) await browser.close().catch(() => {});
    process.exit(1);
  }
}

run();
