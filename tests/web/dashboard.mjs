// The dashboard in a real browser: Debian's chromium, headless, driven by puppeteer-core. It loads the page, waits
// for the key form, types the cluster key, waits for the machine list drawn on the canvas, follows the pointer, opens
// a machine and watches its chart move for longer than the relay keeps an idle link. What the canvas shows is read
// back from its pixels. Screenshots of each step land in the given folder; one JSON line of facts and measurements
// is printed at the end (exit 0), or the failed step (exit 1).
// usage: node dashboard.mjs <dashboard url> <key file> <folder>
import { readdirSync, readFileSync } from "node:fs";
import puppeteer from "puppeteer-core";

const [url, keyFile, folder] = process.argv.slice(2);
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
  await page.evaluateOnNewDocument(`${onlineRows}\n${regionHash}\n${pixelAt}\n${thumbTop}`);
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
  facts.wrong_key_stored = await page.evaluate(() => localStorage.getItem("vimbrel.key"));
  if (facts.wrong_key_form === "none" || facts.wrong_key_stored !== null) throw new Error("a wrong key was taken");

  step = "the key is entered and kept";
  await page.type("#text", key);
  await page.click("#key button");
  await page.waitForFunction(() => localStorage.getItem("vimbrel.key") !== null, patient);
  facts.stored_key = (await page.evaluate(() => localStorage.getItem("vimbrel.key"))) === key;
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
  facts.frames = await page.evaluate(() => window.vimbrelFrames);
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
