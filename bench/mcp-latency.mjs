// Times `vimbrel --mcp` as a client meets it.
// Local: from starting the process to the first machine_usage answer (a cold start samples twice, 1,000 ms apart), a
// repeated call within the refresh age, and a call that takes one new sample.
// Cluster: a host on a temporary folder with two agents on loopback (each with its own settings folders and computer
// name) and a server whose publish.txt names the host; once both machines are listed online, 200 tool calls about
// the cluster one after the other (list_machines, cluster_usage, machine_usage and top_processes of one machine,
// find_process on every machine, usage_history), each timed from writing the request to reading its answer: median,
// p99 and the slowest, also per tool.
// With VIMBREL_FIGURES set, the cluster median and p99 go to <folder>/mcp.txt for the table at the end of make bench.
// Usage: node bench/mcp-latency.mjs <path of vimbrel> [runs of the local part] [cluster calls]
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import * as loopback from '../tests/mcp/client/loopback.mjs';

const exe = process.argv[2];
const runs = Number(process.argv[3] ?? 3);
const clusterCalls = Number(process.argv[4] ?? 200);
const root = fs.mkdtempSync(path.join(os.tmpdir(), 'vimbrel-mcp-bench-'));
const now = () => Number(process.hrtime.bigint()) / 1e6;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const children = [];
const home = (name, extra) => loopback.home(root, name, extra);

// A --mcp server and a call function that times one tools/call.
function server(env) {
  const child = spawn(exe, ['--mcp'], { env, stdio: ['pipe', 'pipe', 'inherit'] });
  const lines = readline.createInterface({ input: child.stdout })[Symbol.asyncIterator]();
  let id = 0;
  const call = async (tool, args = {}) => {
    const t = now();
    child.stdin.write(JSON.stringify({ jsonrpc: '2.0', id: ++id, method: 'tools/call', params: { name: tool, arguments: args } }) + '\n');
    const answer = JSON.parse((await lines.next()).value);
    return { ms: now() - t, answer };
  };
  const end = async () => {
    child.stdin.end();
    await new Promise((r) => child.on('close', r));
  };
  return { call, end };
}

const at = (sorted, q) => sorted[Math.min(sorted.length - 1, Math.ceil(q * sorted.length) - 1)];
const figures = (values) => {
  const s = [...values].sort((a, b) => a - b);
  return { median: at(s, 0.5), p99: at(s, 0.99), max: s[s.length - 1] };
};

async function local() {
  const started = now();
  const h = home('local');
  const s = server(h.env);
  const ok = async (tool) => {
    const r = await s.call(tool);
    if (r.answer.result?.isError !== false) throw new Error(JSON.stringify(r.answer));
    return r.ms;
  };
  await ok('machine_usage');
  const first = now() - started;
  const repeated = [];
  for (let i = 0; i < 20; ++i) repeated.push(await ok('machine_usage'));
  await sleep(1100);
  const fresh = await ok('machine_usage');
  await s.end();
  const f = figures(repeated);
  console.log(`local: start to first machine_usage answer ${first.toFixed(1)} ms; repeated call median ` +
    `${f.median.toFixed(2)} ms (max ${f.max.toFixed(2)}); after 1.1 s, one new sample ${fresh.toFixed(1)} ms`);
}

async function cluster() {
  const port = await loopback.twoAgents(exe, children, root);
  const m = home('mcp');
  fs.writeFileSync(path.join(m.dir, 'config', 'Vimbrel', 'publish.txt'),
    `vimbrel-publish 1\npublish off\ntarget 127.0.0.1:${port}\n`);
  const s = server(m.env);
  const end = Date.now() + 60000;
  for (;;) {
    const r = await s.call('list_machines');
    const listed = r.answer.result?.structuredContent?.machines ?? [];
    if (listed.filter((x) => x.state === 'online').length === 2) break;
    if (Date.now() > end) throw new Error(`the two agents were not listed online: ${JSON.stringify(r.answer)}`);
    await sleep(500);
  }
  const tools = [
    ['list_machines', {}],
    ['cluster_usage', {}],
    ['machine_usage', { machine: 'alpha-node' }],
    ['top_processes', { machine: 'beta-node', by: 'memory', count: 10 }],
    ['find_process', { name: 'vimbrel' }],
    ['usage_history', { machine: 'alpha-node', range: '1h' }],
  ];
  const all = [];
  const per = new Map(tools.map(([t]) => [t, []]));
  let errors = 0, firstError = '';
  for (let i = 0; i < clusterCalls; ++i) {
    const [tool, args] = tools[i % tools.length];
    const r = await s.call(tool, args);
    if (r.answer.result?.isError !== false && errors++ === 0) firstError = `${tool}: ${JSON.stringify(r.answer)}`;
    all.push(r.ms);
    per.get(tool).push(r.ms);
  }
  await s.end();
  const f = figures(all);
  console.log(`cluster (host with 2 agents), ${all.length} calls: median ${f.median.toFixed(2)} ms, ` +
    `p99 ${f.p99.toFixed(2)} ms, slowest ${f.max.toFixed(2)} ms, ${errors} error answers`);
  if (errors) console.log(`  the first: ${firstError.slice(0, 400)}`);
  for (const [tool, values] of per) {
    const t = figures(values);
    console.log(`  ${tool.padEnd(14)} median ${t.median.toFixed(2)} ms, p99 ${t.p99.toFixed(2)} ms (${values.length} calls)`);
  }
  const folder = process.env.VIMBREL_FIGURES;
  if (folder) {
    fs.mkdirSync(folder, { recursive: true });
    fs.writeFileSync(path.join(folder, 'mcp.txt'),
      `mcp_cluster_median_ms ${f.median.toFixed(3)}\nmcp_cluster_p99_ms ${f.p99.toFixed(3)}\n`);
  }
}

function cleanUp() {
  for (const c of children) c.kill('SIGTERM');
  fs.rmSync(root, { recursive: true, force: true });
}

try {
  for (let i = 0; i < runs; ++i) await local();
  await cluster();
  cleanUp();
} catch (e) {
  console.error(e);
  cleanUp();
  process.exit(1);
}
