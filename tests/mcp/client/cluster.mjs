// Drives `vimbrel --mcp` with the official MCP TypeScript SDK client against a real cluster on loopback: the built
// executable as the host on a temporary share, two --agent processes with their own settings folders and computer
// names, and the server with a key and publish.txt of its own. The SDK validates every structured result against
// the tool's output schema. Usage: node cluster.mjs <path of vimbrel>
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import * as loopback from './loopback.mjs';

const exe = process.argv[2];
assert.ok(exe, 'the path of vimbrel is the first argument');
const root = fs.mkdtempSync(path.join(os.tmpdir(), 'vimbrel-mcp-cluster-'));
const children = [];
const home = (name, extra) => loopback.home(root, name, extra);

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Calls until the result passes the test, at most the seconds given.
async function until(client, name, args, seconds, test) {
  const end = Date.now() + seconds * 1000;
  for (;;) {
    const r = await client.callTool({ name, arguments: args });
    if (test(r) || Date.now() > end) return r;
    await sleep(500);
  }
}

async function main() {
  const port = await loopback.twoAgents(exe, children, root);
  const begun = Date.now();
  const m = home('mcp');
  fs.writeFileSync(path.join(m.dir, 'config', 'Vimbrel', 'publish.txt'),
    `vimbrel-publish 1\npublish off\ntarget 127.0.0.1:${port}\n`);
  const transport = new StdioClientTransport({ command: exe, args: ['--mcp'], env: m.env, stderr: 'inherit' });
  const client = new Client({ name: 'vimbrel-cluster-test', version: '1.0.0' });
  await client.connect(transport);

  const list = await until(client, 'list_machines', {}, 60, (r) => !r.isError &&
    r.structuredContent.machines.filter((x) => x.state === 'online').length === 2);
  assert.equal(list.isError, false, JSON.stringify(list));
  assert.deepEqual(list.structuredContent.machines.map((x) => x.name).sort(), ['alpha-node', 'beta-node']);

  const usage = await client.callTool({ name: 'machine_usage', arguments: { machine: 'Alpha-Node' } });
  assert.equal(usage.isError, false, JSON.stringify(usage));
  assert.equal(usage.structuredContent.machine, 'alpha-node');
  assert.equal(usage.structuredContent.cpu.logical_processors, os.cpus().length);

  const top = await client.callTool({ name: 'top_processes', arguments: { machine: 'beta-node', by: 'memory', count: 5 } });
  assert.equal(top.isError, false, JSON.stringify(top));
  assert.ok(top.structuredContent.processes.length >= 1);
  assert.match(top.content[0].text, /^top_processes of beta-node by memory: /);

  const sums = await client.callTool({ name: 'cluster_usage', arguments: {} });
  assert.equal(sums.isError, false, JSON.stringify(sums));
  assert.equal(sums.structuredContent.online, 2);
  assert.equal(sums.structuredContent.logical_processors, 2 * os.cpus().length);

  // About 25 s in, the host has closed 10-second buckets of both machines.
  await sleep(Math.max(0, 25000 - (Date.now() - begun)));
  const history = await until(client, 'usage_history', { machine: 'alpha-node', metric: 'memory', range: '1h' }, 60,
    (r) => !r.isError && r.structuredContent.buckets > 0);
  assert.equal(history.isError, false, JSON.stringify(history));
  assert.ok(history.structuredContent.buckets > 0, JSON.stringify(history));
  assert.equal(history.structuredContent.tier, 0);
  const proc = await client.callTool({ name: 'process_history', arguments: { machine: 'beta-node', name: 'vimbrel', range: '1h' } });
  assert.equal(proc.isError, false, JSON.stringify(proc));
  assert.equal(proc.structuredContent.name, 'vimbrel');

  await client.close();
  console.log(`list_machines, machine_usage, top_processes, cluster_usage, usage_history and process_history answered`);
}

function cleanUp() {
  for (const c of children) c.kill('SIGTERM');
  fs.rmSync(root, { recursive: true, force: true });
}

main().then(cleanUp, (e) => {
  console.error(e);
  cleanUp();
  process.exit(1);
});
