// The parts the browser tests and the page's benchmark run for real:
// telvar-sim on pseudo-terminals, telvard with a configuration written here,
// and the system's Chromium driven by puppeteer-core from the lockfile.
// Everything started here is stopped by stopAll(), also on a failure.

import { spawn, spawnSync } from 'node:child_process';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import net from 'node:net';
import tls from 'node:tls';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const started = new Set();

export function fail(message) {
  const e = new Error(message);
  e.plain = true;
  throw e;
}

export function sleep(ms) {
  return new Promise(resolve => setTimeout(resolve, ms));
}

// Polls @p check until it returns a true value or @p ms pass.
export async function waitFor(what, check, ms = 5000, every = 20) {
  const until = Date.now() + ms;
  let last;
  for (;;) {
    try {
      last = await check();
      if (last) return last;
    } catch (e) {
      last = e.message;
    }
    if (Date.now() > until) fail(`${what}: not within ${ms} ms${last ? ` (last: ${last})` : ''}`);
    await sleep(every);
  }
}

export function freePort(host = '127.0.0.1') {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once('error', reject);
    s.listen(0, host, () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

export function tempDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// Installs the lockfile's packages into @p workDir (once; npm ci again when
// the lockfile changed) and loads puppeteer-core from there.
export async function loadPuppeteer(workDir) {
  workDir = path.resolve(workDir);
  fs.mkdirSync(workDir, { recursive: true });
  const lock = fs.readFileSync(path.join(here, 'package-lock.json'), 'utf8');
  const copied = path.join(workDir, 'package-lock.json');
  const installed = path.join(workDir, 'node_modules', '.package-lock.json');
  const fresh = fs.existsSync(installed) && fs.existsSync(copied) && fs.readFileSync(copied, 'utf8') === lock;
  if (!fresh) {
    fs.copyFileSync(path.join(here, 'package.json'), path.join(workDir, 'package.json'));
    fs.writeFileSync(copied, lock);
    const npm = spawnSync('npm', ['ci', '--no-audit', '--no-fund', '--prefer-offline', '--prefix', workDir], {
      stdio: ['ignore', 'inherit', 'inherit'],
      env: { ...process.env, PUPPETEER_SKIP_DOWNLOAD: '1' },
      timeout: 300000,
    });
    if (npm.error) fail(`npm not found (${npm.error.message}): install npm (scripts/install-deps.sh)`);
    if (npm.status !== 0) fail(`npm ci in ${workDir} failed (status ${npm.status}): the registry must be reachable once, or npm's cache hold puppeteer-core`);
  }
  const require = createRequire(path.join(workDir, 'package.json'));
  const module = await import(pathToFileURL(require.resolve('puppeteer-core')).href);
  return module.default ?? module;
}

export const chromiumPath = process.env.TELVAR_CHROMIUM || '/usr/bin/chromium';

export async function launchBrowser(puppeteer, lang = 'en-US', extra = {}) {
  if (!fs.existsSync(chromiumPath)) fail(`no Chromium at ${chromiumPath}: install the chromium package (scripts/install-deps.sh) or set TELVAR_CHROMIUM`);
  const args = [`--lang=${lang}`, '--disable-gpu', '--no-first-run', '--disable-extensions',
    '--disable-background-networking', '--disable-sync', '--disable-component-update',
    // Several pages are open at once; the ones behind must keep running.
    '--disable-background-timer-throttling', '--disable-renderer-backgrounding',
    '--disable-backgrounding-occluded-windows'];
  if (process.getuid && process.getuid() === 0) args.push('--no-sandbox');
  const browser = await puppeteer.launch({ executablePath: chromiumPath, headless: true, args, timeout: 30000, protocolTimeout: 20000, ...extra });
  const pid = browser.process()?.pid;
  const entry = { stop: async () => { await browser.close().catch(() => {}); if (pid) killHard(pid); } };
  started.add(entry);
  return browser;
}

function killHard(pid) {
  try { process.kill(pid, 'SIGKILL'); } catch { /* gone already */ }
}

// Lines from a child's stdout, one promise each.
class LineReader {
  constructor(stream) {
    this.lines = [];
    this.waiters = [];
    let pending = '';
    stream.setEncoding('utf8');
    stream.on('data', chunk => {
      pending += chunk;
      let i;
      while ((i = pending.indexOf('\n')) >= 0) {
        const line = pending.slice(0, i).trim();
        pending = pending.slice(i + 1);
        this.lines.push(line);
        this.wake();
      }
    });
    stream.on('end', () => { this.ended = true; this.wake(); });
  }
  wake() {
    for (const w of this.waiters.splice(0)) w();
  }
  async next(ms = 5000) {
    const until = Date.now() + ms;
    while (!this.lines.length) {
      if (this.ended) fail('the program ended');
      const left = until - Date.now();
      if (left <= 0) fail(`no line within ${ms} ms`);
      await new Promise(resolve => {
        const t = setTimeout(resolve, left);
        this.waiters.push(() => { clearTimeout(t); resolve(); });
      });
    }
    return this.lines.shift();
  }
}

// telvar-sim on a pseudo-terminal of its own, driven by --control.
export class Sim {
  constructor(program, args) {
    this.program = program;
    this.args = args;
    this.stderr = '';
  }
  async start() {
    this.child = spawn(this.program, ['--control', ...this.args], { stdio: ['pipe', 'pipe', 'pipe'] });
    this.child.stderr.on('data', d => { this.stderr += d; });
    this.out = new LineReader(this.child.stdout);
    const spawned = new Promise((resolve, reject) => {
      this.child.once('spawn', resolve);
      this.child.once('error', reject);
    });
    await spawned.catch(e => fail(`telvar-sim (${this.program}) did not start: ${e.message}`));
    this.entry = { stop: () => this.stop() };
    started.add(this.entry);
    this.device = await this.out.next(5000).catch(() => fail(`telvar-sim gave no device: ${this.stderr}`));
    return this;
  }
  async command(text, lines = 1) {
    this.out.lines.length = 0;
    this.child.stdin.write(`${text}\n`);
    const answers = [];
    for (let i = 0; i < lines; i++) answers.push(await this.out.next(5000));
    if (answers[0]?.startsWith('error')) fail(`telvar-sim refused "${text}": ${answers[0]}`);
    return answers;
  }
  // Board ADDRESS's relays as telvar-sim holds them: "00A5".
  async relays(address) {
    this.out.lines.length = 0;
    this.child.stdin.write('state\n');
    for (let i = 0; i < 300; i++) {
      const line = await this.out.next(5000);
      const m = line.match(/^board (\d+) relays ([0-9A-F]{4})/);
      if (m && Number(m[1]) === address) {
        this.out.lines.length = 0;
        return m[2];
      }
      if (line.startsWith('host ')) break;
    }
    fail(`telvar-sim holds no board ${address}`);
  }
  async stop() {
    started.delete(this.entry);
    if (!this.child || this.child.exitCode !== null) return;
    const ended = new Promise(resolve => this.child.once('exit', resolve));
    this.child.stdin.end();
    const t = setTimeout(() => killHard(this.child.pid), 3000);
    await ended;
    clearTimeout(t);
  }
}

// Relay n (1..16) of a "00A5" word.
export function simRelay(word, n) {
  return (parseInt(word, 16) >> (n - 1) & 1) === 1;
}

// Whether the web front answers: the API over HTTP; over HTTPS, whose test
// certificate Node does not trust, a finished TLS handshake.
async function answering(baseUrl) {
  const u = new URL(baseUrl);
  if (u.protocol === 'https:')
    return new Promise(resolve => {
      const s = tls.connect({ host: u.hostname, port: Number(u.port), rejectUnauthorized: false }, () => {
        s.destroy();
        resolve(true);
      });
      s.on('error', () => resolve(false));
      s.setTimeout(1000, () => { s.destroy(); resolve(false); });
    });
  const r = await fetch(`${baseUrl}/api/lines`, { signal: AbortSignal.timeout(1000) });
  return r.status === 200 || r.status === 401;
}

// telvard with a configuration file of the test's.
export class Service {
  constructor(program, dir, config, env = {}) {
    this.program = program;
    this.dir = dir;
    this.configPath = path.join(dir, 'telvard.conf');
    this.env = env;
    this.log = '';
    fs.writeFileSync(this.configPath, config);
  }
  async start(baseUrl) {
    this.child = spawn(this.program, ['--config', this.configPath], {
      stdio: ['ignore', 'pipe', 'pipe'],
      env: { ...process.env, ...this.env },
    });
    this.child.stdout.on('data', d => { this.log += d; });
    this.child.stderr.on('data', d => { this.log += d; });
    this.exited = new Promise(resolve => this.child.once('exit', (code, signal) => resolve({ code, signal })));
    this.child.once('error', e => { this.log += `\n${e.message}`; });
    this.entry = { stop: () => this.stop() };
    started.add(this.entry);
    // Serving once the API answers (with 401 too, when a password is set).
    await waitFor(`telvard serving ${baseUrl} (log: ${this.log.slice(-400)})`, async () => {
      if (this.child.exitCode !== null) fail(`telvard ended with status ${this.child.exitCode}: ${this.log}`);
      return answering(baseUrl);
    }, 10000, 50);
    return this;
  }
  async stop() {
    started.delete(this.entry);
    if (!this.child || this.child.exitCode !== null || this.child.signalCode) return;
    this.child.kill('SIGTERM');
    const t = setTimeout(() => killHard(this.child.pid), 5000);
    await this.exited;
    clearTimeout(t);
  }
  pid() {
    return this.child.pid;
  }
}

export async function stopAll() {
  for (const entry of [...started].reverse()) await entry.stop().catch(() => {});
  started.clear();
}

// Resident memory of a process in KiB, from /proc.
export function residentKiB(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  const m = status.match(/^VmRSS:\s+(\d+) kB/m);
  return m ? Number(m[1]) : NaN;
}

// Every relay of the page's card for LINE/ADDRESS: [{state, pending, label}].
export function readCard(page, line, address) {
  return page.evaluate((line, address) => {
    const card = document.querySelector(`.card[data-line="${line}"][data-address="${address}"]`);
    if (!card) return null;
    return {
      offline: card.classList.contains('offline'),
      availability: card.querySelector('.availability').textContent,
      message: card.querySelector('.message').textContent,
      quality: card.querySelector('.quality').hidden ? null : card.querySelector('.quality').textContent,
      relays: [...card.querySelectorAll('.relay')].map(b => ({
        state: b.classList.contains('on') ? 'on' : b.classList.contains('off') ? 'off' : 'unknown',
        pending: b.classList.contains('pending'),
        label: b.getAttribute('aria-label'),
        colour: getComputedStyle(b).backgroundColor,
      })),
    };
  }, line, String(address));
}

export function relaySelector(line, address, n) {
  return `.card[data-line="${line}"][data-address="${address}"] .relay[data-relay="${n}"]`;
}
