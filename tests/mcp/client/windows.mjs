// The Windows build under wine beside the Linux build, as users would mix them on one network: the same snapshot
// read by both, and clusters on loopback made of both kinds of machine, driven by the official MCP TypeScript SDK
// client. Each Windows machine is a wine prefix of its own (its own profile, settings and machine id), linked from
// the prepared template prefix. Usage: VIMBREL_WINDOWS_EXE=<vimbrel.exe> VIMBREL_WINE_PREFIX=<template prefix>
// node windows.mjs <path of the Linux vimbrel>
import assert from 'node:assert/strict';
import { spawn, spawnSync, execFileSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const linuxExe = process.argv[2];
const windowsExe = process.env.VIMBREL_WINDOWS_EXE;
const template = process.env.VIMBREL_WINE_PREFIX;
assert.ok(linuxExe && windowsExe && template, 'the Linux program, VIMBREL_WINDOWS_EXE and VIMBREL_WINE_PREFIX');
// Beside the template, so that the prefixes can be hard links of it (a temporary folder may be another file system).
const root = fs.mkdtempSync(path.join(path.dirname(template), 'e2e-'));
const children = [];
const prefixes = [];

// A path of this machine as a Windows program under wine names it (wine's Z: drive is /).
const winPath = (p) => 'Z:' + p.replace(/\//g, '\\');

function clusterKey() {
  return 'vimbrel-key 1 ' + crypto.randomBytes(32).toString('hex') + '\n';
}

// A Linux machine: a home with its XDG folders and the cluster key.
function linuxMachine(name, key, extra = {}) {
  const dir = path.join(root, name);
  fs.mkdirSync(path.join(dir, 'config', 'Vimbrel'), { recursive: true });
  fs.mkdirSync(path.join(dir, 'data'), { recursive: true });
  fs.mkdirSync(path.join(dir, 'run'), { recursive: true, mode: 0o700 });
  fs.writeFileSync(path.join(dir, 'config', 'Vimbrel', 'cluster.key'), key, { mode: 0o600 });
  return { exe: linuxExe, pre: [], dir, config: path.join(dir, 'config', 'Vimbrel'),
    env: { ...process.env, HOME: dir, XDG_RUNTIME_DIR: path.join(dir, 'run'), XDG_CONFIG_HOME: path.join(dir, 'config'),
      XDG_DATA_HOME: path.join(dir, 'data'), COMPUTERNAME: name, ...extra } };
}

// A Windows machine: a prefix of its own whose roaming profile folder holds the cluster key.
function windowsMachine(name, key) {
  const prefix = path.join(root, name);
  execFileSync('cp', ['-al', template, prefix]);
  prefixes.push(prefix);
  const users = path.join(prefix, 'drive_c', 'users');
  const user = fs.readdirSync(users).find((u) => fs.existsSync(path.join(users, u, 'AppData', 'Roaming')));
  const config = path.join(users, user, 'AppData', 'Roaming', 'Vimbrel');
  fs.mkdirSync(config, { recursive: true });
  if (key) fs.writeFileSync(path.join(config, 'cluster.key'), key);
  return { exe: 'wine', pre: [windowsExe], dir: prefix, config,
    env: { ...process.env, WINEPREFIX: prefix, WINEDEBUG: '-all' } };
}

function freePort() {
  return new Promise((resolve) => {
    const s = net.createServer();
    s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
  });
}

// Starts the machine's program; resolves once its standard output holds the text (rejects after the seconds).
function start(m, args, text, seconds) {
  const child = spawn(m.exe, [...m.pre, ...args], { env: m.env, stdio: ['ignore', 'pipe', 'pipe'] });
  children.push(child);
  child.out = '';
  child.stdout.on('data', (d) => { child.out += d; });
  child.stderr.on('data', () => {});
  return waitFor(child, text, seconds, args.join(' '));
}

function waitFor(child, text, seconds, what) {
  return new Promise((resolve, reject) => {
    const check = () => child.out.includes(text);
    if (check()) return resolve(child);
    const timer = setTimeout(() => reject(new Error(`no "${text}" from ${what}: ${child.out}`)), seconds * 1000);
    child.stdout.on('data', () => { if (check()) { clearTimeout(timer); resolve(child); } });
  });
}

function run(m, args) {
  const r = spawnSync(m.exe, [...m.pre, ...args], { env: m.env, encoding: 'utf8', timeout: 120000 });
  return { status: r.status, out: r.stdout, err: r.stderr };
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function until(client, name, args, seconds, test) {
  const end = Date.now() + seconds * 1000;
  for (;;) {
    const r = await client.callTool({ name, arguments: args });
    if (test(r) || Date.now() > end) return r;
    await sleep(500);
  }
}

// An MCP session through the machine's own --mcp, pointed at the host by its publish.txt.
async function mcpSession(m, port) {
  fs.writeFileSync(path.join(m.config, 'publish.txt'), `vimbrel-publish 1\npublish off\ntarget 127.0.0.1:${port}\n`);
  const transport = new StdioClientTransport({ command: m.exe, args: [...m.pre, '--mcp'], env: m.env, stderr: 'ignore' });
  const client = new Client({ name: 'vimbrel-windows-test', version: '1.0.0' });
  await client.connect(transport);
  return client;
}

const online = (r) => (r.isError ? [] : r.structuredContent.machines.filter((x) => x.state === 'online'));

// One report, a snapshot each way, and the same snapshot read alike by both builds.
function snapshots() {
  const lin = linuxMachine('snap-linux', clusterKey());
  const win = windowsMachine('snap-windows', null);
  const version = run(win, ['--version']);
  assert.equal(version.status, 0, version.err);
  assert.equal(version.out, run(lin, ['--version']).out);

  const report = run(win, ['--print']);
  assert.equal(report.status, 0, report.err);
  assert.match(report.out, new RegExp(`^cores: ${os.cpus().length} logical processors$`, 'm'));
  assert.match(report.out, /^memory total: [1-9][0-9]* MiB$/m);
  assert.match(report.out, /^processes: [1-9][0-9]*$/m);
  // What wine keeps no count of reads as not available, never as a made-up number.
  assert.match(report.out, /^memory modified: n\/a$/m);

  const fromWindows = path.join(root, 'windows.snap');
  const fromLinux = path.join(root, 'linux.snap');
  assert.equal(run(win, ['--record', winPath(fromWindows)]).status, 0);
  assert.equal(run(lin, ['--record', fromLinux]).status, 0);
  for (const file of [fromWindows, fromLinux]) {
    const onLinux = run(lin, ['--print', '--replay', file]);
    const onWindows = run(win, ['--print', '--replay', winPath(file)]);
    assert.equal(onLinux.status, 0, onLinux.err);
    assert.equal(onWindows.status, 0, onWindows.err);
    assert.match(onLinux.out, /^Vimbrel snapshot$/m);
    assert.equal(onWindows.out, onLinux.out, `${path.basename(file)} reads alike on both`);
  }
  console.log('--version, --print and --record/--replay agree across the builds');
}

// A Linux host with a Windows and a Linux agent, listed through vimbrel.exe --mcp.
async function linuxHost() {
  const key = clusterKey();
  const port = await freePort();
  const host = linuxMachine('l-host', key);
  await start(host, ['--host', path.join(root, 'l-share'), '--port', String(port), '--listen', '127.0.0.1'],
    `listening on port ${port}, term 1`, 60);
  await start(windowsMachine('l-agent-windows', key), ['--agent', '--server', `127.0.0.1:${port}`],
    'vimbrel agent: publishing to', 90);
  await start(linuxMachine('linux-node', key), ['--agent', '--server', `127.0.0.1:${port}`],
    'vimbrel agent: publishing to', 60);
  const client = await mcpSession(windowsMachine('l-mcp-windows', key), port);
  const list = await until(client, 'list_machines', {}, 90, (r) => online(r).length === 2);
  assert.equal(online(list).length, 2, JSON.stringify(list));
  const names = online(list).map((x) => x.name);
  assert.ok(names.includes('linux-node'), names.join());
  const windowsName = names.find((n) => n !== 'linux-node');
  const usage = await client.callTool({ name: 'machine_usage', arguments: { machine: windowsName } });
  assert.equal(usage.isError, false, JSON.stringify(usage));
  assert.equal(usage.structuredContent.cpu.logical_processors, os.cpus().length);
  await client.close();
  console.log(`a Linux host lists its Windows agent "${windowsName}" and linux-node through vimbrel.exe --mcp`);
}

// A Windows host with a Linux and a Windows agent, both listed through the Linux --mcp and through vimbrel.exe --mcp.
async function windowsHost() {
  const key = clusterKey();
  const port = await freePort();
  const host = windowsMachine('w-host', key);
  await start(host, ['--host', winPath(path.join(root, 'w-share')), '--port', String(port), '--listen', '127.0.0.1'],
    `listening on port ${port}, term 1`, 90);
  await start(linuxMachine('linux-agent', key), ['--agent', '--server', `127.0.0.1:${port}`],
    'vimbrel agent: publishing to', 60);
  await start(windowsMachine('w-agent-windows', key), ['--agent', '--server', `127.0.0.1:${port}`],
    'vimbrel agent: publishing to', 90);
  for (const viewer of [linuxMachine('w-mcp-linux', key), windowsMachine('w-mcp-windows', key)]) {
    const client = await mcpSession(viewer, port);
    const list = await until(client, 'list_machines', {}, 90, (r) => online(r).length === 2);
    assert.equal(online(list).length, 2, JSON.stringify(list));
    assert.ok(online(list).some((x) => x.name === 'linux-agent'), JSON.stringify(list));
    await client.close();
  }
  console.log('a Windows host serves its Linux and its Windows agent to both builds\' --mcp');
}

// A Linux and a Windows candidate on one shared folder elect one host; the other names it.
async function election() {
  const key = clusterKey();
  const share = path.join(root, 'e-share');
  fs.mkdirSync(share);
  const ports = [await freePort(), await freePort()];
  const lin = linuxMachine('e-linux', key);
  const win = windowsMachine('e-windows', key);
  // The Windows candidate is waiting before the Linux one starts: each stands 15 s after its start and 2 s later per
  // rank, so the higher priority stands 8 s ahead only when both start together, and wine may take longer to start.
  const windows = await start(win, ['--elect', winPath(share), '--port', String(ports[1]), '--priority', '255'],
    'waiting for the host', 90);
  const linux = await start(lin, ['--elect', share, '--port', String(ports[0]), '--priority', '100'],
    'waiting for the host', 60);
  const candidates = [linux, windows];
  // The higher priority stands first once the share has been empty for its wait.
  await waitFor(candidates[1], `listening on port ${ports[1]}, term 1`, 120, 'the Windows candidate');
  await waitFor(candidates[0], `the host is 127.0.0.1:${ports[1]}, term 1`, 60, 'the Linux candidate');
  assert.ok(!candidates[0].out.includes('listening on port'), candidates[0].out);
  console.log('a Linux and a Windows candidate elect the Windows one as the host of term 1');
}

// A Windows host fetches the Linux build of its agents over the system's HTTP client from a loopback update server
// (plain http to 127.0.0.1, which test builds allow through their seams) and checks the release key's signature:
// a tree that another key signed places nothing; the one its own key signed places the build and its signature.
async function linuxFetch() {
  const tool = fileURLToPath(new URL('../../../tools/release', import.meta.url));
  const serverScript = fileURLToPath(new URL('../../update/server.py', import.meta.url));
  const dir = path.join(root, 'f-release');
  const win = windowsMachine('f-windows', null);
  const version = /(\d+\.\d+\.\d+)/.exec(run(win, ['--version']).out)[1];
  const keys = ['own', 'other'].map((name) => {
    execFileSync(tool, ['keygen', path.join(dir, name)], { stdio: 'ignore' });
    return execFileSync(tool, ['pubkey', '--key', path.join(dir, name, 'release.key')], { encoding: 'utf8' }).trim();
  });
  const tree = path.join(dir, 'tree');
  fs.writeFileSync(path.join(dir, 'notes.txt'), 'notes\n');
  execFileSync(tool, ['sign', '--origin', 'https://127.0.0.1', '--key', path.join(dir, 'own', 'release.key'),
    '/bin/true', version, 'x86_64', path.join(dir, 'notes.txt'), tree], { stdio: 'ignore' });
  fs.writeFileSync(path.join(dir, 'routes.json'), JSON.stringify({ '*': { root: tree } }));
  const server = spawn('python3', [serverScript, path.join(dir, 'routes.json'), path.join(dir, 'port')],
    { stdio: 'ignore' });
  children.push(server);
  const end = Date.now() + 30000;
  while (!fs.existsSync(path.join(dir, 'port')) && Date.now() < end) await sleep(50);
  const port = fs.readFileSync(path.join(dir, 'port'), 'utf8');
  const users = path.join(win.dir, 'drive_c', 'users');
  const user = fs.readdirSync(users).find((u) => fs.existsSync(path.join(users, u, 'AppData', 'Local')));
  const build = path.join(users, user, 'AppData', 'Local', 'Vimbrel', 'linux', `vimbrel-${version}-x86_64-linux`);
  const fetch = (key) => run({ ...win, env: { ...win.env,
    VIMBREL_TEST_UPDATE_FEED: `http://127.0.0.1:${port}/downloads/vimbrel/linux/x86_64/latest.txt`,
    VIMBREL_TEST_UPDATE_KEY: key, VIMBREL_TEST_UPDATE_FLAGS: '1' } }, ['--linux-fetch', 'x86_64']);
  const refused = fetch(keys[1]);
  assert.equal(refused.status, 5, 'another key\'s signature is not the build listed: ' + refused.err);
  assert.ok(!fs.existsSync(build), 'nothing is placed');
  const placed = fetch(keys[0]);
  assert.equal(placed.status, 0, placed.err);
  assert.deepEqual(fs.readFileSync(build), fs.readFileSync('/bin/true'));
  assert.equal(fs.readFileSync(build + '.sig').length, 64);
  const log = fs.readFileSync(path.join(dir, 'port.log'), 'utf8');
  assert.ok(log.includes(`/downloads/vimbrel/v${version}/SHA256SUMS Vimbrel - -`), log);
  console.log(`a Windows host fetched and checked the Linux build ${version} over WinHTTP; another key's was refused`);
}

async function main() {
  snapshots();
  await Promise.all([linuxHost(), windowsHost(), election()]);
  // After the others: the election's candidates race the clock, and a busy machine starts wine slowly enough.
  await linuxFetch();
}

function cleanUp() {
  for (const c of children) c.kill('SIGKILL');
  // Each prefix's wine server ends with its last program; it is asked to end at once.
  for (const p of prefixes) spawnSync('wineserver', ['-k'], { env: { ...process.env, WINEPREFIX: p } });
  fs.rmSync(root, { recursive: true, force: true });
}

main().then(() => { cleanUp(); process.exit(0); }, (e) => {
  console.error(e);
  cleanUp();
  process.exit(1);
});
