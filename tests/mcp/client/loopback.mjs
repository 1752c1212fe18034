// A cluster on loopback for the scripts that drive the built program: homes with their own XDG folders and the
// cluster key, a free port, and processes started until their output says they are up (each kept for the clean-up).
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';

export const key = 'vimbrel-key 1 ' +
  Array.from({ length: 32 }, (_, i) => (0x11 + i).toString(16).padStart(2, '0')).join('') + '\n';

// A home under the root with its XDG folders and the cluster key; its environment.
export function home(root, name, extra = {}) {
  const dir = path.join(root, name);
  fs.mkdirSync(path.join(dir, 'config', 'Vimbrel'), { recursive: true });
  fs.mkdirSync(path.join(dir, 'data'), { recursive: true });
  fs.mkdirSync(path.join(dir, 'run'), { recursive: true, mode: 0o700 });
  fs.writeFileSync(path.join(dir, 'config', 'Vimbrel', 'cluster.key'), key, { mode: 0o600 });
  return { dir, env: { ...process.env, HOME: dir, XDG_RUNTIME_DIR: path.join(dir, 'run'),
    XDG_CONFIG_HOME: path.join(dir, 'config'), XDG_DATA_HOME: path.join(dir, 'data'), ...extra } };
}

// A port the kernel chose for a moment.
export function freePort() {
  return new Promise((resolve) => {
    const s = net.createServer();
    s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
  });
}

// Starts the program and resolves once its standard output holds the text (rejects after the seconds); the child
// joins the list.
export function start(exe, children, args, env, text, seconds) {
  const child = spawn(exe, args, { env, stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(child);
  let out = '';
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no "${text}" from ${args.join(' ')}: ${out}`)), seconds * 1000);
    child.stdout.on('data', (d) => {
      out += d;
      if (out.includes(text)) { clearTimeout(timer); resolve(child); }
    });
  });
}

// A host on a folder under the root and two agents, alpha-node and beta-node, publishing to it; the host's port.
export async function twoAgents(exe, children, root) {
  const port = await freePort();
  await start(exe, children, ['--host', path.join(root, 'share'), '--port', String(port), '--listen', '127.0.0.1'],
    home(root, 'host').env, `listening on port ${port}, term 1`, 30);
  for (const name of ['alpha-node', 'beta-node']) {
    await start(exe, children, ['--agent', '--server', `127.0.0.1:${port}`], home(root, name, { COMPUTERNAME: name }).env,
      'vimbrel agent: publishing to', 60);
  }
  return port;
}
