// What the dashboard's tab costs the browser, against top over the same seconds: Debian's chromium (headless,
// driven by the project's pinned puppeteer-core) opens the dashboard, takes the key, opens the first machine and its
// Overview, and then sits there while `top -b -d 1` runs beside it; the CPU of the tab's renderer and of the whole
// browser (every process of its tree) is read from /proc over each window of --seconds. It also loads the page a
// second time with the browser's cache on, and says what that visit fetched over the network.
// Prints one JSON line; with VIMBREL_FIGURES set, a run without the driver attached also writes the median ratio of
// the browser to top into <folder>/web.txt for the table of aims.
// With "blank" in place of the driver's mode the tab shows an empty page instead (detached): the control that says
// what the browser costs with nothing to do. With "floor:<pixels>" it shows a page of a 1280x800 canvas that puts
// that many fresh pixels on it once a second and does nothing else (no module, no network): the least a page that
// changes its canvas every second costs this browser.
// usage: node web-cost.mjs <dashboard url> <key file> <folder> <windows> <seconds> [attached|detached|blank|floor:N]
import { mkdirSync, readFileSync, readdirSync, writeFileSync } from "node:fs";
import { spawn } from "node:child_process";
import { createRequire } from "node:module";

const require = createRequire(new URL("../tests/web/package.json", import.meta.url));
const puppeteer = require("puppeteer-core");

const [url, keyFile, folder, windowsArg, secondsArg, mode] = process.argv.slice(2);
const width = 1280, height = 800;
const attached = mode === "attached", floor = /^floor:\d+$/.test(mode || "");
const blank = mode === "blank" || floor;
// The control page: one put of `pixels` fresh pixels (whole rows from row 100) a second, by a timer.
const floorPage = (pixels) => "data:text/html," + encodeURIComponent(`<!doctype html><body style="margin:0">
<canvas id="screen" width="${width}" height="${height}"></canvas><script>
const c = document.getElementById("screen").getContext("2d", { alpha: false });
const image = new ImageData(${width}, ${height}), d = new Uint32Array(image.data.buffer);
let t = 0;
function tick() {
  t += 1;
  const rows = Math.min(${height} - 100, Math.ceil(${pixels} / ${width}));
  for (let i = 100 * ${width}; i < (100 + rows) * ${width}; i += 1) d[i] = 0xff000000 | ((i * 7 + t * 13) & 0xffffff);
  if (rows > 0) c.putImageData(image, 0, 0, 0, 100, ${width}, rows);
  setTimeout(tick, 1000);
}
c.putImageData(image, 0, 0);
setTimeout(tick, 1000);
</script>`);
const blankUrl = floor ? floorPage(Number(mode.slice(6))) : "about:blank";
const windows = Number(windowsArg || 3), seconds = Number(secondsArg || 30);
const key = readFileSync(keyFile, "utf8").trim();
const patient = { timeout: 90000, polling: 250 };
const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

// Nanoseconds on a CPU of one process: the scheduler's count of every live thread summed (a process's own
// schedstat counts its first thread only, and the browser works in many), 0 when it is gone.
function runNs(pid) {
  let ns = 0;
  try {
    for (const task of readdirSync(`/proc/${pid}/task`)) {
      try {
        ns += Number(readFileSync(`/proc/${pid}/task/${task}/schedstat`, "utf8").split(" ")[0]);
      } catch {}
    }
  } catch {}
  return ns;
}
// The same from utime+stime, which count every thread (ended ones too) in whole clock ticks: the check of runNs.
const tick = 1e9 / Number(process.env.CLK_TCK || 100);
function statNs(pid) {
  try {
    const fields = readFileSync(`/proc/${pid}/stat`, "utf8").replace(/^.*\) /s, "").split(" ");
    return (Number(fields[11]) + Number(fields[12])) * tick;
  } catch {
    return 0;
  }
}
function childrenOf(pid) {
  const out = [];
  try {
    for (const task of readdirSync(`/proc/${pid}/task`))
      for (const c of readFileSync(`/proc/${pid}/task/${task}/children`, "utf8").trim().split(/\s+/))
        if (c) out.push(Number(c));
  } catch {}
  return out;
}
function tree(pid) {
  const all = [pid];
  for (let i = 0; i < all.length; ++i) all.push(...childrenOf(all[i]));
  return all;
}
// Nanoseconds on a CPU of each thread of a process, by "process type/thread name".
function threadNs(pid, into) {
  let type = "browser";
  try {
    const m = readFileSync(`/proc/${pid}/cmdline`, "utf8").match(/--type=([a-z-]+)/);
    if (m) type = m[1];
    if (type === "utility") type = readFileSync(`/proc/${pid}/cmdline`, "utf8").match(/--utility-sub-type=([\w.]+)/)?.[1] || type;
    for (const task of readdirSync(`/proc/${pid}/task`)) {
      const name = `${type}/${readFileSync(`/proc/${pid}/task/${task}/comm`, "utf8").trim()}`;
      into.set(name, (into.get(name) || 0) + Number(readFileSync(`/proc/${pid}/task/${task}/schedstat`, "utf8").split(" ")[0]));
    }
  } catch {}
  return into;
}
// Connections to the dashboard's port that ended in the last minute (their TIME-WAIT rows, either side): about one
// a second while each relay POST took a connection of its own.
function endedConnections(port) {
  const hex = port.toString(16).toUpperCase().padStart(4, "0");
  let n = 0;
  for (const file of ["/proc/net/tcp", "/proc/net/tcp6"]) {
    try {
      for (const line of readFileSync(file, "utf8").split("\n").slice(1)) {
        const f = line.trim().split(/\s+/);
        if (f.length > 3 && f[3] === "06" && (f[1].endsWith(`:${hex}`) || f[2].endsWith(`:${hex}`))) ++n;
      }
    } catch {}
  }
  return n;
}
function isRenderer(pid) {
  try {
    return readFileSync(`/proc/${pid}/cmdline`, "utf8").includes("--type=renderer");
  } catch {
    return false;
  }
}
const median = (v) => [...v].sort((a, b) => a - b)[Math.floor((v.length - 1) / 2)];
const spread = (v) => v.length ? [Math.min(...v), median(v), Math.max(...v)].map((x) => Math.round(x * 100) / 100) : [];

async function main() {
  const facts = {};
  let browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    headless: true,
    userDataDir: `${folder}/profile`,
    // The page's size is the window's own, not one the driver sets: that would be dropped while the driver lets go.
    defaultViewport: null,
    protocolTimeout: 180000,
    args: [`--window-size=${width},${height}`, "--force-device-scale-factor=1", "--no-sandbox",
           "--disable-dev-shm-usage", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
           "--disable-background-timer-throttling", "--disable-renderer-backgrounding"],
  });
  const root = browser.process().pid;
  try {
    let page = await browser.newPage();
    // The window grows by what its frame takes, so that the page itself is width x height.
    const inner = await page.evaluate(() => [innerWidth, innerHeight]);
    const frameSession = await page.target().createCDPSession();
    const { windowId } = await frameSession.send("Browser.getWindowForTarget");
    await frameSession.send("Browser.setWindowBounds",
                            { windowId, bounds: { width: 2 * width - inner[0], height: 2 * height - inner[1] } });
    await frameSession.detach();
    const fetched = new Map();
    const noteResponse = (r) => {
      if (r.request().method() !== "GET") return;
      const length = Number(r.headers()["content-length"] || 0);
      fetched.set(new URL(r.url()).pathname, { cached: r.fromCache(), bytes: r.fromCache() ? 0 : length,
                                               encoding: r.headers()["content-encoding"] || "" });
    };
    page.on("response", noteResponse);
    // The page counts its puts, pixels, canvas updates and relay POSTs.
    const instrument = () => {
      const put = CanvasRenderingContext2D.prototype.putImageData;
      window.vimbrelFrames = 0;
      window.vimbrelPixels = 0;
      window.vimbrelUpdates = 0;
      window.vimbrelPosts = 0;
      const fetchOf = window.fetch;
      window.fetch = function (...args) {
        if (args[1]?.method === "POST") window.vimbrelPosts++;
        return fetchOf.apply(this, args);
      };
      let inTask = false;
      CanvasRenderingContext2D.prototype.putImageData = function (...args) {
        window.vimbrelFrames++;
        // The puts of one task are one update of the canvas.
        if (!inTask) {
          inTask = true;
          window.vimbrelUpdates++;
          queueMicrotask(() => { inTask = false; });
        }
        window.vimbrelPixels += args.length >= 7 ? args[5] * args[6] : args[0].width * args[0].height;
        return put.apply(this, args);
      };
    };
    await page.evaluateOnNewDocument(instrument);
    if (blank) await page.goto(blankUrl, { waitUntil: "load", timeout: 90000 });
    else await dashboard(page);
    async function dashboard(page) {
    await page.goto(url, { waitUntil: "load", timeout: 90000 });
    await page.waitForFunction(() => window.vimbrelFrames > 0, patient);
    facts.first_visit = Object.fromEntries(fetched);
    facts.first_visit_bytes = [...fetched.values()].reduce((s, f) => s + f.bytes, 0);
    await page.waitForFunction(() => getComputedStyle(document.getElementById("key")).display !== "none", patient);
    await page.type("#text", key);
    await page.click("#key button");
    await page.waitForFunction(() => getComputedStyle(document.getElementById("key")).display === "none", patient);
    await sleep(3000);
    // The first machine of the list, then its Overview (the strip's buttons end at the right edge).
    await page.mouse.click(24 + 40, 108 + 16);
    await sleep(3000);
    await page.mouse.click(width - 560, 20);
    await page.mouse.move(width - 10, height - 10);
    await sleep(5000);
    }

    const renderers = tree(root).filter(isRenderer);
    const renderer = [], all = [], top = [], ratioRenderer = [], ratioAll = [], tasks = [], scripts = [];
    const allStat = [], topStat = [];
    const threads = new Map();
    // What the page itself counted: puts, pixels, canvas updates and relay POSTs, with the page's clock.
    const counted = () => page.evaluate(() => ({ puts: window.vimbrelFrames, pixels: window.vimbrelPixels,
      updates: window.vimbrelUpdates, posts: window.vimbrelPosts, at: performance.now() }));
    const session = attached ? await page.target().createCDPSession() : null;
    if (session) await session.send("Performance.enable");
    const metrics = async () => session ? Object.fromEntries((await session.send("Performance.getMetrics")).metrics
      .map((m) => [m.name, m.value])) : {};
    const c0 = await counted();
    // A user's browser has no driver attached: while the windows run, the driver lets go of the browser (its
    // network and page events would cost the browser more than the tab does), and takes it again afterwards.
    const endpoint = browser.wsEndpoint();
    if (!attached) await browser.disconnect();
    for (let w = 0; w < windows; ++w) {
      const topProcess = spawn("top", ["-b", "-d", "1"], { stdio: "ignore" });
      await sleep(1000);
      const pids = tree(root);
      const m0 = await metrics();
      const threads0 = new Map();
      for (const p of pids) threadNs(p, threads0);
      const before = { r: renderers.reduce((s, p) => s + runNs(p), 0), a: pids.reduce((s, p) => s + runNs(p), 0),
                       t: runNs(topProcess.pid), as: pids.reduce((s, p) => s + statNs(p), 0),
                       ts: statNs(topProcess.pid), at: process.hrtime.bigint() };
      await sleep(seconds * 1000);
      const pidsAfter = tree(root);
      const after = { r: renderers.reduce((s, p) => s + runNs(p), 0),
                      a: pidsAfter.reduce((s, p) => s + runNs(p), 0), t: runNs(topProcess.pid),
                      as: pidsAfter.reduce((s, p) => s + statNs(p), 0), ts: statNs(topProcess.pid),
                      at: process.hrtime.bigint() };
      const threads1 = new Map();
      for (const p of pidsAfter) threadNs(p, threads1);
      const m1 = await metrics();
      topProcess.kill("SIGKILL");
      const ms = Number(after.at - before.at) / 1e6;
      const perSecond = (ns) => ns / 1e6 / (ms / 1000);
      // The main thread's own account, ms/s: all its tasks, and script (the module and the loader) among them.
      if (session) {
        tasks.push((m1.TaskDuration - m0.TaskDuration) * 1000 / (ms / 1000));
        scripts.push((m1.ScriptDuration - m0.ScriptDuration) * 1000 / (ms / 1000));
      }
      for (const [name, ns] of threads1)
        threads.set(name, (threads.get(name) || 0) + perSecond(ns - (threads0.get(name) || 0)) / windows);
      renderer.push(perSecond(after.r - before.r));
      all.push(perSecond(after.a - before.a));
      top.push(perSecond(after.t - before.t));
      ratioRenderer.push(renderer.at(-1) / top.at(-1));
      ratioAll.push(all.at(-1) / top.at(-1));
      allStat.push(perSecond(after.as - before.as));
      topStat.push(perSecond(after.ts - before.ts));
    }
    if (!attached) {
      browser = await puppeteer.connect({ browserWSEndpoint: endpoint, defaultViewport: null, protocolTimeout: 180000 });
      page = (await browser.pages()).find((p) => p.url().startsWith(blank ? blankUrl.slice(0, 40) : url));
      page.on("response", noteResponse);
      await page.evaluateOnNewDocument(instrument);
    }
    const c1 = await counted();
    // The canvas the windows measured, in device px.
    if (!blank)
      facts.canvas = await page.evaluate(() => [document.getElementById("screen").width, document.getElementById("screen").height]);
    const rate = (key) => Math.round((c1[key] - c0[key]) / ((c1.at - c0.at) / 1000) * 100) / 100;
    facts.driver = attached ? "attached" : "detached";
    if (blank) facts.page = floor ? mode : "about:blank";
    facts.renderer_ms_per_s = spread(renderer);
    facts.browser_ms_per_s = spread(all);
    facts.top_ms_per_s = spread(top);
    facts.renderer_over_top = spread(ratioRenderer);
    facts.browser_over_top = spread(ratioAll);
    // The threads' sums checked against utime+stime (which also hold threads that ended within the window).
    facts.counted = "every thread of every process: /proc/<pid>/task/*/schedstat summed; utime+stime beside it";
    facts.browser_utime_stime_ms_per_s = spread(allStat);
    facts.top_utime_stime_ms_per_s = spread(topStat);
    facts.pixels_put_per_s = rate("pixels");
    facts.puts_per_s = rate("puts");
    facts.canvas_updates_per_s = rate("updates");
    facts.relay_posts_per_s = rate("posts");
    facts.connections_ended_last_minute = endedConnections(Number(new URL(url).port));
    if (session) {
      facts.main_thread_tasks_ms_per_s = spread(tasks);
      facts.main_thread_script_ms_per_s = spread(scripts);
    }
    // Where the browser's CPU goes: the busiest threads, ms/s averaged over the windows.
    facts.threads_ms_per_s = Object.fromEntries([...threads].filter(([, v]) => v >= 0.05).sort((a, b) => b[1] - a[1])
      .slice(0, 12).map(([k, v]) => [k, Math.round(v * 100) / 100]));

    if (!blank) {
      fetched.clear();
      await page.goto(url, { waitUntil: "load", timeout: 90000 });
      await page.waitForFunction(() => window.vimbrelFrames > 0, patient);
      facts.second_visit = Object.fromEntries(fetched);
      facts.second_visit_bytes = [...fetched.values()].reduce((s, f) => s + f.bytes, 0);
    }
    facts.ok = true;
  } finally {
    await browser.close().catch(() => process.kill(root, "SIGKILL"));
  }
  console.log(JSON.stringify(facts));
  const figures = process.env.VIMBREL_FIGURES;
  if (figures && !attached && !blank) {
    mkdirSync(figures, { recursive: true });
    writeFileSync(`${figures}/web.txt`, `browser_vs_top ${facts.browser_over_top[1].toFixed(4)}\n`);
  }
}

main().catch((error) => {
  console.log(JSON.stringify({ ok: false, error: String(error) }));
  process.exit(1);
});
