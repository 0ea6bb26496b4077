// The page: every board of every line as a card, live from the service's
// event socket. A relay's colour is only ever what a board reported (an
// answer's relays or an event); a tap marks the relay pending until then.

const zh = (navigator.language || 'en').toLowerCase().startsWith('zh');

const texts = zh ? {
  on: '吸合', off: '释放', unknown: '未知',
  relay: n => `继电器 ${n}`,
  board: n => `继电器板 ${n}`,
  address: '地址', line: '线路', lineTitle: n => `线路 ${n}`, online: '在线', offline: '离线',
  quality: '链路', allOn: '全部吸合', allOff: '全部释放', parameters: '参数',
  askAll: (on, name) => `${name}：全部继电器${on ? '吸合' : '释放'}，确认吗？`,
  cancel: '取消', ok: '确定', close: '关闭窗口',
  read: '读取', write: '写入', pair: '对码', writeLegend: '写入参数',
  askWrite: (label, v, channel) => channel ? `把${label}写为 ${v}？写入之后，将按照新的频道通信，确认吗？` : `把${label}写为 ${v}，确认吗？`,
  askPair: name => `${name}：对码，从机模块将取主机模块的 ID，确认吗？`,
  paired: id => `对码成功！ID ${id}`,
  written: (label, v) => `${label}已写入 ${v}`,
  skipped: list => `互锁，未吸合：继电器 ${list}`,
  names: { 'host-id': '主机 ID标识', 'host-channel': '主机 频道', 'slave-id': '从机 ID标识', 'slave-channel': '从机 频道' },
  waiting: s => `与服务的连接已断开，${s} 秒后重连…`,
  connecting: '正在连接服务…',
  lineLost: r => `线路断开：${r}`,
  lineOpen: '线路已打开', lineClosed: '线路未打开',
  noLines: '服务没有线路。',
  badValue: '请输入一个整数。',
  failed: '请求失败',
} : {
  on: 'on', off: 'off', unknown: 'unknown',
  relay: n => `Relay ${n}`,
  board: n => `Relay board ${n}`,
  address: 'address', line: 'line', lineTitle: n => `Line ${n}`, online: 'online', offline: 'offline',
  quality: 'link', allOn: 'All on', allOff: 'All off', parameters: 'Parameters',
  askAll: (on, name) => `Switch all relays of ${name} ${on ? 'on' : 'off'}?`,
  cancel: 'Cancel', ok: 'OK', close: 'Close',
  read: 'Read', write: 'Write', pair: 'Pair', writeLegend: 'Write a parameter',
  askWrite: (label, v, channel) => `Write ${v} as the ${label}?${channel ? ' After the write the modules talk on the new channel.' : ''}`,
  askPair: name => `Pair ${name}? Its slave module takes the host module's id.`,
  paired: id => `Paired: id ${id}`,
  written: (label, v) => `${label} written: ${v}`,
  skipped: list => `Left out, interlocked: relay ${list}`,
  names: { 'host-id': 'host id', 'host-channel': 'host channel', 'slave-id': 'slave id', 'slave-channel': 'slave channel' },
  waiting: s => `Connection to the service lost; trying again in ${s} s…`,
  connecting: 'Connecting to the service…',
  lineLost: r => `line lost: ${r}`,
  lineOpen: 'line open', lineClosed: 'line not open',
  noLines: 'The service holds no lines.',
  badValue: 'Enter a whole number.',
  failed: 'request failed',
};

const parameterNames = ['host-id', 'host-channel', 'slave-id', 'slave-channel'];
const parameterMax = { 'host-id': 4294967295, 'slave-id': 4294967295, 'host-channel': 255, 'slave-channel': 255 };

const $ = id => document.getElementById(id);
const linesEl = $('lines');
const boards = new Map();   // "line/address" -> board
const lineViews = new Map(); // line name -> {section, status}

function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function boardPath(b) {
  return `api/lines/${encodeURIComponent(b.line)}/boards/${b.address}`;
}

async function call(method, path, body) {
  const init = { method, headers: { Accept: 'application/json' }, credentials: 'same-origin' };
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(path, init);
  } catch (e) {
    return { ok: false, error: 'network', message: `${texts.failed}: ${e.message}` };
  }
  if (response.status === 401) {
    location.assign('login');
    return { ok: false, error: 'no_permission', message: texts.failed };
  }
  try {
    return await response.json();
  } catch {
    return { ok: false, error: 'http', message: `${texts.failed}: HTTP ${response.status}` };
  }
}

// ---- asking first

function ask(question) {
  const dialog = $('ask');
  $('ask-text').textContent = question;
  $('ask-ok').textContent = texts.ok;
  $('ask-cancel').textContent = texts.cancel;
  dialog.returnValue = '';
  return new Promise(resolve => {
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'ok'), { once: true });
    dialog.showModal();
    $('ask-cancel').focus();
  });
}

// ---- cards

function boardName(b) {
  return b.name || texts.board(b.address);
}

function makeCard(b) {
  const card = element('article', 'card');
  card.setAttribute('aria-label', boardName(b));
  card.dataset.line = b.line;
  card.dataset.address = b.address;
  const head = element('header', 'card-head');
  const title = element('h3', 'card-name', boardName(b));
  const where = element('span', 'card-where', `${texts.address} ${b.address} · ${texts.line} ${b.line}`);
  const availability = element('span', 'availability');
  const quality = element('span', 'quality');
  quality.hidden = true;
  head.append(title, where, availability, quality);

  const grid = element('div', 'relays');
  const buttons = [];
  for (let n = 1; n <= 16; n++) {
    const button = element('button', 'relay', String(n));
    button.type = 'button';
    button.dataset.relay = n;
    button.addEventListener('click', () => tap(b, n));
    grid.append(button);
    buttons.push(button);
  }

  const actions = element('div', 'card-actions');
  const allOn = element('button', 'all-on', texts.allOn);
  const allOff = element('button', 'all-off', texts.allOff);
  const params = element('button', 'open-params', texts.parameters);
  for (const button of [allOn, allOff, params]) button.type = 'button';
  allOn.addEventListener('click', () => switchAll(b, true));
  allOff.addEventListener('click', () => switchAll(b, false));
  params.addEventListener('click', () => openParameters(b));
  actions.append(allOn, allOff, params);

  const message = element('p', 'message');
  message.setAttribute('role', 'status');
  card.append(head, grid, actions, message);
  b.view = { card, title, availability, quality, buttons, message };
  return card;
}

function paint(b) {
  const v = b.view;
  v.title.textContent = boardName(b);
  v.card.classList.toggle('offline', !b.available);
  v.availability.textContent = b.available ? texts.online : texts.offline;
  v.availability.className = `availability ${b.available ? 'is-online' : 'is-offline'}`;
  if (b.quality !== undefined) {
    v.quality.hidden = false;
    v.quality.textContent = `${texts.quality} ${b.quality === null ? '—' : `${Math.round(b.quality)} %`}`;
  } else {
    v.quality.hidden = true;
  }
  v.buttons.forEach((button, i) => {
    const n = i + 1;
    const known = Array.isArray(b.relays);
    const state = known ? (b.relays[i] ? 'on' : 'off') : 'unknown';
    button.classList.toggle('on', state === 'on');
    button.classList.toggle('off', state === 'off');
    button.classList.toggle('unknown', state === 'unknown');
    const pending = b.pending.has(n);
    button.classList.toggle('pending', pending);
    button.setAttribute('aria-busy', pending ? 'true' : 'false');
    button.setAttribute('aria-label', `${texts.relay(n)}, ${texts[state]}`);
  });
}

function say(b, text, failure) {
  b.view.message.textContent = text || '';
  b.view.message.classList.toggle('failure', !!failure);
}

// What a board reported: an answer's or an event's sixteen states.
function reported(b, relays) {
  if (Array.isArray(relays) && relays.length === 16) b.relays = relays.slice();
}

// An answer's states, unless an event came while it was on its way: the
// event may be newer, and the service sends the answer's states as an event
// too whenever they differ from the last one sent.
function answered(b, seq, relays) {
  if (b.seq === seq) reported(b, relays);
}

async function tap(b, n) {
  if (b.pending.has(n)) return;
  const known = Array.isArray(b.relays);
  const body = known ? { on: !b.relays[n - 1] } : { toggle: true };
  b.pending.add(n);
  say(b, '');
  paint(b);
  const seq = b.seq;
  const answer = await call('POST', `${boardPath(b)}/relays/${n}`, body);
  b.pending.delete(n);
  answered(b, seq, answer.relays);
  if (!answer.ok) say(b, answer.message || answer.error || texts.failed, true);
  paint(b);
}

async function switchAll(b, on) {
  if (!(await ask(texts.askAll(on, boardName(b))))) return;
  for (let n = 1; n <= 16; n++) b.pending.add(n);
  say(b, '');
  paint(b);
  const seq = b.seq;
  const answer = await call('POST', `${boardPath(b)}/all`, { on });
  b.pending.clear();
  answered(b, seq, answer.relays);
  if (!answer.ok) say(b, answer.message || answer.error || texts.failed, true);
  else if (Array.isArray(answer.skipped) && answer.skipped.length) say(b, texts.skipped(answer.skipped.join(', ')));
  paint(b);
}

// ---- lines

function lineStatus(view, line) {
  if (line.lost_reason) view.status.textContent = texts.lineLost(line.lost_reason);
  else view.status.textContent = line.open === false ? texts.lineClosed : texts.lineOpen;
  view.status.classList.toggle('failure', !!line.lost_reason || line.open === false);
}

// The whole picture, as the hello event or GET api/lines gives it.
function show(lines) {
  const seen = new Set();
  const seenLines = new Set();
  for (const line of lines) {
    seenLines.add(line.line);
    let view = lineViews.get(line.line);
    if (!view) {
      const section = element('section', 'line');
      const head = element('header', 'line-head');
      const title = element('h2', '', texts.lineTitle(line.line));
      const device = element('span', 'line-device');
      const status = element('span', 'line-status');
      head.append(title, device, status);
      const cards = element('div', 'cards');
      section.append(head, cards);
      linesEl.append(section);
      view = { section, device, status, cards };
      lineViews.set(line.line, view);
    }
    view.device.textContent = line.device || (line.port !== undefined ? String(line.port) : '');
    lineStatus(view, line);
    for (const board of line.boards || []) {
      const key = `${line.line}/${board.address}`;
      seen.add(key);
      let b = boards.get(key);
      if (!b) {
        b = { line: line.line, address: board.address, pending: new Set(), seq: 0 };
        boards.set(key, b);
        view.cards.append(makeCard(b));
      }
      b.seq++;
      b.name = board.name;
      b.available = !!board.available;
      b.relays = Array.isArray(board.relays) ? board.relays.slice() : null;
      if ('quality' in board) b.quality = board.quality;
      paint(b);
    }
  }
  for (const [key, b] of boards) {
    if (!seen.has(key)) {
      b.view.card.remove();
      boards.delete(key);
    }
  }
  for (const [name, view] of lineViews) {
    if (!seenLines.has(name)) {
      view.section.remove();
      lineViews.delete(name);
    }
  }
  let empty = linesEl.querySelector('.note');
  if (lines.length === 0 && !empty) linesEl.append(element('p', 'note', texts.noLines));
  else if (lines.length && empty) empty.remove();
}

function onEvent(e) {
  if (e.event === 'hello') {
    show(e.lines || []);
    return;
  }
  const b = boards.get(`${e.line}/${e.address}`);
  const view = lineViews.get(e.line);
  switch (e.event) {
  case 'state':
  case 'change':
    if (!b) return;
    b.seq++;
    reported(b, e.relays);
    b.available = true;
    paint(b);
    break;
  case 'available':
  case 'unavailable':
    if (!b) return;
    b.available = e.event === 'available';
    paint(b);
    break;
  case 'line_lost':
    if (view) lineStatus(view, { lost_reason: e.reason || '?' });
    break;
  case 'line_back':
    if (view) {
      lineStatus(view, { open: true });
      if (e.device) view.device.textContent = e.device;
    }
    break;
  }
}

// ---- live

let socket = null;
let retryDelay = 500;
let retryTimer = null;
let everConnected = false;

function banner(text) {
  const el = $('banner');
  el.hidden = !text;
  el.textContent = text || '';
}

function connect() {
  retryTimer = null;
  const url = new URL('api/events', location.href);
  url.protocol = url.protocol === 'https:' ? 'wss:' : 'ws:';
  const ws = new WebSocket(url);
  socket = ws;
  let greeted = false;
  ws.addEventListener('message', m => {
    let e;
    try {
      e = JSON.parse(m.data);
    } catch {
      return;
    }
    if (e.event === 'hello') {
      greeted = true;
      everConnected = true;
      retryDelay = 500;
      banner('');
      $('link-state').textContent = '';
      document.body.classList.remove('disconnected');
    }
    onEvent(e);
  });
  ws.addEventListener('close', () => {
    if (socket !== ws) return;
    socket = null;
    if (!greeted) retryDelay = Math.min(retryDelay * 2, 5000);
    waitAndReconnect();
  });
}

async function waitAndReconnect() {
  document.body.classList.add('disconnected');
  // A socket refused for want of a login looks like any closed socket. The
  // page itself, unlike the API, answers that with a redirect to the login
  // rather than a 401, which would make the browser ask for a password.
  if (everConnected) {
    try {
      const r = await fetch('./', { credentials: 'same-origin', redirect: 'manual', cache: 'no-store' });
      if (r.type === 'opaqueredirect') {
        location.assign('login');
        return;
      }
    } catch {
      // the service is down: wait as below
    }
  }
  const until = Date.now() + retryDelay;
  const tick = () => {
    const left = Math.max(0, Math.ceil((until - Date.now()) / 1000));
    banner(everConnected ? texts.waiting(left) : texts.connecting);
    if (Date.now() >= until) connect();
    else retryTimer = setTimeout(tick, Math.min(250, until - Date.now()));
  };
  tick();
}

// Link quality is not carried by events: it is read again now and then.
setInterval(async () => {
  if (!socket || ![...boards.values()].some(b => b.quality !== undefined)) return;
  const answer = await call('GET', 'api/lines');
  if (!answer.ok) return;
  for (const line of answer.lines || [])
    for (const board of line.boards || []) {
      const b = boards.get(`${line.line}/${board.address}`);
      if (b && 'quality' in board) {
        b.quality = board.quality;
        paint(b);
      }
    }
}, 10000);

// ---- parameters

let paramsBoard = null;

function parameterRow(name) {
  return $('params-rows').querySelector(`[data-name="${name}"] .param-value`);
}

function paramsSay(text, failure) {
  const el = $('params-message');
  el.textContent = text || '';
  el.classList.toggle('failure', !!failure);
}

function openParameters(b) {
  paramsBoard = b;
  $('params-title').textContent = `${texts.parameters} · ${boardName(b)} (${texts.address} ${b.address})`;
  const rows = $('params-rows');
  rows.replaceChildren();
  for (const name of parameterNames) {
    const tr = element('tr');
    tr.dataset.name = name;
    tr.append(element('th', '', texts.names[name]), element('td', 'param-value', '—'));
    rows.append(tr);
  }
  const select = $('params-name');
  select.replaceChildren(...parameterNames.map(name => {
    const o = element('option', '', texts.names[name]);
    o.value = name;
    return o;
  }));
  $('params-value').value = '';
  paramsSay('');
  $('params').showModal();
}

async function readParameters() {
  const b = paramsBoard;
  if (!b) return;
  paramsSay('…');
  const answer = await call('GET', `${boardPath(b)}/parameters`);
  for (const name of parameterNames)
    if (name in answer) parameterRow(name).textContent = String(answer[name]);
  paramsSay(answer.ok ? '' : answer.message || answer.error, !answer.ok);
}

async function writeParameter() {
  const b = paramsBoard;
  const name = $('params-name').value;
  const text = $('params-value').value.trim();
  const value = Number(text);
  if (!b || text === '' || !Number.isInteger(value) || value < 0 || value > parameterMax[name]) {
    paramsSay(`${texts.badValue} (0–${parameterMax[name]})`, true);
    return;
  }
  if (!(await ask(texts.askWrite(texts.names[name], value, name.endsWith('channel'))))) return;
  paramsSay('…');
  const answer = await call('POST', `${boardPath(b)}/parameters/${name}`, { value });
  if (answer.ok) {
    parameterRow(name).textContent = String(answer.value ?? value);
    paramsSay(texts.written(texts.names[name], answer.value ?? value));
  } else {
    paramsSay(answer.message || answer.error, true);
  }
}

async function pair() {
  const b = paramsBoard;
  if (!b || !(await ask(texts.askPair(boardName(b))))) return;
  paramsSay('…');
  const answer = await call('POST', `${boardPath(b)}/pair`, {});
  paramsSay(answer.ok ? texts.paired(answer.value ?? '') : answer.message || answer.error, !answer.ok);
}

// ---- start

function startPage() {
  document.documentElement.lang = zh ? 'zh-CN' : 'en';
  $('params-read').textContent = texts.read;
  $('params-pair').textContent = texts.pair;
  $('params-write').textContent = texts.write;
  $('params-write-legend').textContent = texts.writeLegend;
  $('params-close').textContent = texts.close;
  $('params-read').addEventListener('click', readParameters);
  $('params-write').addEventListener('click', writeParameter);
  $('params-pair').addEventListener('click', pair);
  $('params').addEventListener('close', () => { paramsBoard = null; });

  banner(texts.connecting);
  // The first picture comes from the API so that it shows before the socket's hello.
  call('GET', 'api/lines').then(answer => {
    if (answer.ok && !everConnected) show(answer.lines || []);
  });
  connect();
}

startPage();
