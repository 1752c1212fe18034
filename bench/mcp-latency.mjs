// Times `vimbrel --mcp` as a client meets it: from starting the process to the first machine_usage answer (a cold
// start samples twice, 1,000 ms apart), a repeated call within the refresh age, and a call that takes one new sample.
// Usage: node bench/mcp-latency.mjs <path of vimbrel> [runs]
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

const exe = process.argv[2];
const runs = Number(process.argv[3] ?? 3);
const home = fs.mkdtempSync(path.join(os.tmpdir(), 'vimbrel-mcp-bench-'));
const env = { ...process.env, HOME: home, XDG_RUNTIME_DIR: home, XDG_CONFIG_HOME: home, XDG_DATA_HOME: home };
const now = () => Number(process.hrtime.bigint()) / 1e6;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function run() {
  const started = now();
  const child = spawn(exe, ['--mcp'], { env, stdio: ['pipe', 'pipe', 'inherit'] });
  const lines = readline.createInterface({ input: child.stdout })[Symbol.asyncIterator]();
  let id = 0;
  const call = async (tool) => {
    const t = now();
    child.stdin.write(JSON.stringify({ jsonrpc: '2.0', id: ++id, method: 'tools/call', params: { name: tool, arguments: {} } }) + '\n');
    const answer = JSON.parse((await lines.next()).value);
    if (answer.result?.isError !== false) throw new Error(JSON.stringify(answer));
    return now() - t;
  };
  await call('machine_usage');
  const first = now() - started;
  const repeated = [];
  for (let i = 0; i < 20; ++i) repeated.push(await call('machine_usage'));
  repeated.sort((a, b) => a - b);
  await sleep(1100);
  const fresh = await call('machine_usage');
  child.stdin.end();
  await new Promise((r) => child.on('close', r));
  console.log(`start to first machine_usage answer ${first.toFixed(1)} ms; repeated call median ` +
    `${repeated[10].toFixed(2)} ms (max ${repeated[19].toFixed(2)}); after 1.1 s, one new sample ${fresh.toFixed(1)} ms`);
}

for (let i = 0; i < runs; ++i) await run();
fs.rmSync(home, { recursive: true, force: true });
