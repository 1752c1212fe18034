// Drives `vimbrel --mcp` with the official MCP TypeScript SDK client over its stdio transport, as an MCP client
// application would: it lists the tools, calls the three tools that answer for this machine, and lets the SDK
// validate every structured result against the tool's output schema. Prints the start-up and repeated-call times.
// Usage: node client.mjs <path of vimbrel>
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const exe = process.argv[2];
assert.ok(exe, 'the path of vimbrel is the first argument');
const home = fs.mkdtempSync(path.join(os.tmpdir(), 'vimbrel-mcp-sdk-'));
const env = { ...process.env, HOME: home, XDG_RUNTIME_DIR: home, XDG_CONFIG_HOME: home, XDG_DATA_HOME: home };

function ms(start) {
  return Number(process.hrtime.bigint() - start) / 1e6;
}

async function main() {
  const started = process.hrtime.bigint();
  const transport = new StdioClientTransport({ command: exe, args: ['--mcp'], env, stderr: 'inherit' });
  const client = new Client({ name: 'vimbrel-test', version: '1.0.0' });
  await client.connect(transport);
  assert.equal(client.getServerVersion().name, 'vimbrel');

  const { tools } = await client.listTools();
  assert.deepEqual(tools.map((t) => t.name), ['machine_usage', 'top_processes', 'find_process', 'list_machines',
    'cluster_usage', 'usage_history', 'process_history']);
  for (const tool of tools) {
    assert.equal(tool.inputSchema.type, 'object', tool.name);
    assert.equal(tool.outputSchema?.type, 'object', tool.name);
    assert.equal(tool.annotations?.readOnlyHint, true, tool.name);
  }

  // The SDK checks structuredContent against the listed output schema on every call and throws when it does not fit.
  const usage = await client.callTool({ name: 'machine_usage', arguments: {} });
  const first = ms(started);
  assert.equal(usage.isError, false, JSON.stringify(usage));
  const u = usage.structuredContent;
  assert.equal(u.cpu.logical_processors, os.cpus().length);
  assert.ok(!('machine' in u));
  assert.match(usage.content[0].text, /^machine_usage of this machine: rates over the last \d+ ms/);
  const uptime = Number(fs.readFileSync('/proc/uptime', 'utf8').split(' ')[0]);
  assert.ok(Math.abs(u.uptime_s - uptime) <= 3, `uptime ${u.uptime_s} against ${uptime}`);

  const again = process.hrtime.bigint();
  const second = await client.callTool({ name: 'machine_usage', arguments: {} });
  const repeated = ms(again);
  assert.equal(second.isError, false);
  assert.ok(second.structuredContent.sample_number >= u.sample_number);

  const top = await client.callTool({ name: 'top_processes', arguments: { by: 'memory', count: 5 } });
  assert.equal(top.isError, false, JSON.stringify(top));
  const rows = top.structuredContent.processes;
  assert.ok(rows.length >= 1 && rows.length <= 5);
  for (let i = 1; i < rows.length; ++i) assert.ok(rows[i - 1].memory_mib >= rows[i].memory_mib);
  assert.match(top.content[0].text, /^top_processes of this machine by memory: \d+ of \d+ processes/);

  // This client's own process, found by the name of its executable.
  const own = path.basename(process.execPath);
  const found = await client.callTool({ name: 'find_process', arguments: { name: own.toUpperCase() } });
  assert.equal(found.isError, false, JSON.stringify(found));
  assert.ok(found.structuredContent.processes.some((p) => p.pid === process.pid), JSON.stringify(found));

  // A cluster tool without a configured cluster is a tool error, not a protocol error.
  const list = await client.callTool({ name: 'list_machines', arguments: {} });
  assert.equal(list.isError, true);
  assert.match(list.content[0].text, /^no server or share is configured for the cluster/);

  await client.close();
  fs.rmSync(home, { recursive: true, force: true });
  console.log(`start to first machine_usage answer: ${first.toFixed(1)} ms; repeated machine_usage: ${repeated.toFixed(1)} ms`);
}

main().catch((e) => {
  console.error(e);
  fs.rmSync(home, { recursive: true, force: true });
  process.exit(1);
});
