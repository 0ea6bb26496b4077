// The web page in a real headless Chromium against a real telvard serving
// two telvar-sim lines: hall (boards 1 and 2, and 4 that is not there) and
// yard (board 3). Each case
// is named and reported; any failure fails the run.
//
// node page.test.mjs --telvard PATH --sim PATH --work DIR [--only REGEXP]
// Screenshots go to DIR; TELVAR_SAVE_SCREENSHOTS=FOLDER also writes them
// there as web-desktop.png and web-phone.png.

import fs from 'node:fs';
import { spawnSync } from 'node:child_process';
import path from 'node:path';
import { parseArgs } from 'node:util';
import * as rig from './rig.mjs';

const { values: opt } = parseArgs({
  options: { telvard: { type: 'string' }, sim: { type: 'string' }, work: { type: 'string' }, only: { type: 'string' } },
});
for (const key of ['telvard', 'sim', 'work'])
  if (!opt[key]) {
    console.error(`page.test.mjs: --${key} is missing (see the top of the file)`);
    process.exit(2);
  }

const shots = process.env.TELVAR_SAVE_SCREENSHOTS;
const ctx = {};

function check(condition, message) {
  if (!condition) rig.fail(message);
}

async function startService(dir, extraWeb = '', env = {}, host = '127.0.0.1') {
  const port = await rig.freePort(host);
  const config = `[line hall]\nport = ${ctx.hall.device}\ninterval = 100\nboards = 1,2,4\n1 = Pump_house\n4 = Spare\n2.interlock = 1,2\n`
    + `[line yard]\nport = ${ctx.yardName}\ninterval = 100\n3 = Gate\n`
    + `[local]\nsocket = ${path.join(dir, 'telvard.sock')}\n`
    + `[web]\nlisten = ${host}:${port}\n${extraWeb}`;
  const url = `http://${host}:${port}`;
  const service = new rig.Service(opt.telvard, dir, config, env);
  await service.start(url);
  return { service, url };
}

async function openPage(width = 1280, height = 800, lang) {
  const page = await ctx.browser.newPage();
  page.on('pageerror', e => { ctx.pageErrors.push(e.message); });
  if (lang) await page.evaluateOnNewDocument(l => Object.defineProperty(navigator, 'language', { get: () => l }), lang);
  await page.setViewport({ width, height });
  await page.goto(`${ctx.url}/`, { waitUntil: 'load', timeout: 10000 });
  await rig.waitFor('three cards with their relays', async () => {
    const cards = await page.$$eval('.card .relay.on, .card .relay.off', list => list.length);
    return cards === 48;
  }, 5000);
  return page;
}

async function cardState(page, line, address) {
  const card = await rig.readCard(page, line, address);
  check(card, `no card for board ${address} on line ${line}`);
  return card;
}

// A card's relays as one letter each: n pulled in, f released, u unknown.
function word(card) {
  return card.relays.map(r => ({ on: 'n', off: 'f', unknown: 'u' })[r.state]).join('');
}

async function waitRelay(page, line, address, n, state, ms = 3000) {
  return rig.waitFor(`relay ${n} of board ${address} on ${line} ${state} on the page`, async () => {
    const card = await cardState(page, line, address);
    const r = card.relays[n - 1];
    return r.state === state && !r.pending ? card : false;
  }, ms);
}

// Only the page in front renders, and a click waits for its rendering.
async function tapOn(page, selector) {
  await page.bringToFront();
  await page.click(selector);
}

function bytesOn(word, n) {
  return rig.simRelay(word, n);
}

async function save(page, name, options = {}) {
  const file = path.join(opt.work, name);
  await page.screenshot({ path: file, ...options });
  if (shots) {
    fs.mkdirSync(shots, { recursive: true });
    fs.copyFileSync(file, path.join(shots, name));
  }
  return file;
}

const cases = [
  ['page shows two boards\' states', async () => {
    const page = ctx.page = await openPage();
    const pump = await cardState(page, 'hall', 1);
    const second = await cardState(page, 'hall', 2);
    const gate = await cardState(page, 'yard', 3);
    check(word(pump) === 'n' + 'f'.repeat(15), `board 1 shows ${word(pump)}, telvar-sim holds 0001`);
    check(word(second) === 'f'.repeat(16), `board 2 shows ${word(second)}, telvar-sim holds 0000`);
    check(word(gate) === 'f'.repeat(15) + 'n', `board 3 shows ${word(gate)}, telvar-sim holds 8000`);
    check(pump.relays[0].colour === 'rgb(0, 255, 0)' && pump.relays[1].colour === 'rgb(255, 0, 0)',
      `pulled in and released show as ${pump.relays[0].colour} and ${pump.relays[1].colour}`);
    check(pump.relays[0].label === 'Relay 1, on' && pump.relays[1].label === 'Relay 2, off',
      `labels "${pump.relays[0].label}", "${pump.relays[1].label}"`);
    const names = await page.$$eval('.card-name', l => l.map(e => e.textContent));
    check(names.join('|') === 'Pump_house|Relay board 2|Spare|Gate', `card names ${names.join('|')}`);
    // A board never heard: unknown relays in yellow, the card dimmed.
    const spare = await cardState(page, 'hall', 4);
    check(word(spare) === 'u'.repeat(16) && spare.relays[0].colour === 'rgb(255, 255, 0)',
      `the board never heard shows ${word(spare)} in ${spare.relays[0].colour}`);
    check(spare.offline && spare.availability === 'offline' && spare.relays[0].label === 'Relay 1, unknown',
      `the board never heard shows ${spare.availability}, "${spare.relays[0].label}"`);
    // Link quality as the service counts it: all replies in, none at all.
    check(/^link (9\d|100) %$/.test(pump.quality) && spare.quality === 'link 0 %',
      `link quality shown as "${pump.quality}" and, for the board never heard, "${spare.quality}"`);
    check(!pump.offline && pump.availability === 'online', 'board 1 not shown online');
    let bytes = 0;
    for (const file of ['/', '/app.js', '/style.css', '/icon.svg'])
      bytes += (await (await fetch(`${ctx.url}${file}`)).arrayBuffer()).byteLength;
    check(bytes < 60 * 1024, `the page weighs ${bytes} bytes`);
  }],

  ['a click switches the relay on the board; the colour follows only its reply', async () => {
    const page = ctx.page;
    // Replies held back 150 ms: a colour that changed before them was guessed.
    await ctx.hall.command('fault delay 150');
    try {
      check(!bytesOn(await ctx.hall.relays(1), 5), 'relay 5 of board 1 is on before the click');
      await page.bringToFront();
      // Timed in the page: from the click to relay 5 turning green.
      const seen = await page.evaluate(selector => new Promise((resolve, reject) => {
        const button = document.querySelector(selector);
        let pending = false;
        const began = performance.now();
        const observer = new MutationObserver(() => {
          pending ||= button.classList.contains('pending');
          if (button.classList.contains('on')) {
            observer.disconnect();
            resolve({ after: performance.now() - began, pending });
          }
        });
        observer.observe(button, { attributes: true, attributeFilter: ['class'] });
        setTimeout(() => { observer.disconnect(); reject(new Error('relay 5 not green within 4 s')); }, 4000);
        button.click();
      }), rig.relaySelector('hall', 1, 5));
      check(seen.pending, 'relay 5 showed no pending mark');
      check(seen.after >= 140, `relay 5 turned green ${seen.after.toFixed(0)} ms after the click, before the board's reply held back 150 ms`);
      await waitRelay(page, 'hall', 1, 5, 'on', 4000);
      check(bytesOn(await ctx.hall.relays(1), 5), 'the page shows relay 5 on; telvar-sim has it off');
      const label = await page.$eval(rig.relaySelector('hall', 1, 5), b => b.getAttribute('aria-label'));
      check(label === 'Relay 5, on', `label "${label}"`);
    } finally {
      await ctx.hall.command('fault delay 0');
    }
  }],

  ['a board that ignores switches keeps its colour and says why', async () => {
    const page = ctx.page;
    await ctx.hall.command('set 2 ignore-switch on');
    try {
      await tapOn(page, rig.relaySelector('hall', 2, 4));
      const card = await rig.waitFor('the reason on board 2\'s card', async () => {
        const c = await cardState(page, 'hall', 2);
        return c.message && !c.relays[3].pending ? c : false;
      }, 6000);
      check(card.relays[3].state === 'off', `relay 4 shows ${card.relays[3].state}; the board never switched it`);
      check(/^board 2 on line hall did not confirm relay 4 on: it reports relay 4 off after \d+ tries$/.test(card.message),
        `the reason shown: "${card.message}"`);
      check(!bytesOn(await ctx.hall.relays(2), 4), 'telvar-sim switched relay 4 of the ignoring board');
      await save(page, 'web-desktop.png');
    } finally {
      await ctx.hall.command('set 2 ignore-switch off');
    }
  }],

  ['silence dims the card within 1.5 s, in the page\'s language; its return restores it', async () => {
    const zhPage = await openPage(1280, 800, 'zh-CN');
    const began = Date.now();
    await ctx.yard.command('silence on');
    let dimmed;
    try {
      await rig.waitFor('board 3 offline on the page', async () => (await cardState(ctx.page, 'yard', 3)).offline, 3000, 10);
      await rig.waitFor('board 3 dimmed', async () => {
        const o = await ctx.page.$eval('.card[data-address="3"]', c => Number(getComputedStyle(c).opacity));
        return o < 0.8 ? o : false;
      }, 1000, 10);
      dimmed = Date.now() - began;
      const shown = await cardState(ctx.page, 'yard', 3);
      check(shown.availability === 'offline', `availability reads "${shown.availability}"`);
      const zh = await rig.waitFor('board 3 offline on the Chinese page', async () => {
        const c = await cardState(zhPage, 'yard', 3);
        return c.offline ? c : false;
      }, 2000);
      check(zh.availability === '离线', `the Chinese page reads "${zh.availability}"`);
      check(zh.relays[0].label === '继电器 1, 释放', `the Chinese label "${zh.relays[0].label}"`);
      check(!(await cardState(ctx.page, 'hall', 1)).offline, 'board 1 on the other line dimmed too');
      // A tap on the silent board: nothing switches, and the card says why.
      await tapOn(ctx.page, rig.relaySelector('yard', 3, 2));
      const why = await rig.waitFor('the reason on the silent board\'s card', async () => {
        const c = await cardState(ctx.page, 'yard', 3);
        return c.message && !c.relays[1].pending ? c : false;
      }, 4000);
      check(/^board 3 on line yard is offline/.test(why.message) && why.relays[1].state === 'off',
        `the silent board shows relay 2 ${why.relays[1].state} and "${why.message}"`);
    } finally {
      await ctx.yard.command('silence off');
    }
    console.log(`       the card dimmed ${dimmed} ms after the board fell silent`);
    check(dimmed <= 1500, `the card dimmed ${dimmed} ms after the board fell silent`);
    await rig.waitFor('board 3 back on the page', async () => {
      const c = await cardState(ctx.page, 'yard', 3);
      return !c.offline && c.availability === 'online' && c.relays[15].state === 'on';
    }, 3000);
    await zhPage.close();
  }],

  ['a line pulled out shows as lost on the page, and as open once it is back', async () => {
    const status = () => ctx.page.$$eval('.line-head', l => l.map(h => h.textContent));
    await ctx.yard.command('vanish');
    try {
      const lost = await rig.waitFor('line yard lost on the page', async () => {
        const heads = await status();
        return /line lost/.test(heads[1]) ? heads : false;
      }, 3000);
      check(!/line lost/.test(lost[0]), `line hall shows "${lost[0]}"`);
      await rig.waitFor('board 3 offline with its line', async () => (await cardState(ctx.page, 'yard', 3)).offline, 3000);
    } finally {
      await ctx.yard.command('reappear');
    }
    await rig.waitFor('line yard open again on the page', async () => /line open/.test((await status())[1]), 5000);
    await rig.waitFor('board 3 back', async () => !(await cardState(ctx.page, 'yard', 3)).offline, 5000);
  }],

  ['two pages in sync', async () => {
    const second = await openPage();
    try {
      const before = bytesOn(await ctx.yard.relays(3), 7);
      check(!before, 'relay 7 of board 3 already on');
      await tapOn(ctx.page, rig.relaySelector('yard', 3, 7));
      await waitRelay(ctx.page, 'yard', 3, 7, 'on', 3000);
      const seen = Date.now();
      await waitRelay(second, 'yard', 3, 7, 'on', 1000);
      const late = Date.now() - seen;
      // and back from the second page
      await tapOn(second, rig.relaySelector('yard', 3, 7));
      await waitRelay(ctx.page, 'yard', 3, 7, 'off', 3000);
      console.log(`       the second page followed ${late} ms after the first`);
      check(late <= 1000, `the second page followed ${late} ms later`);
    } finally {
      await second.close();
    }
  }],

  ['keyboard: Tab to a relay, Enter and Space switch it, focus visible', async () => {
    const page = ctx.page;
    await page.bringToFront();
    await page.evaluate(() => { document.activeElement?.blur(); window.scrollTo(0, 0); });
    const target = rig.relaySelector('hall', 1, 9);
    let reached = false;
    for (let i = 0; i < 40 && !reached; i++) {
      await page.keyboard.press('Tab');
      reached = await page.$eval(target, b => b === document.activeElement);
    }
    check(reached, 'relay 9 of board 1 was not reached with Tab');
    const outline = await page.$eval(target, b => {
      const s = getComputedStyle(b);
      return { style: s.outlineStyle, width: parseFloat(s.outlineWidth), visible: b.matches(':focus-visible') };
    });
    check(outline.visible && outline.style !== 'none' && outline.width >= 2, `focus shows as ${JSON.stringify(outline)}`);
    await page.keyboard.press('Enter');
    await waitRelay(page, 'hall', 1, 9, 'on', 3000);
    check(bytesOn(await ctx.hall.relays(1), 9), 'Enter: telvar-sim has relay 9 off');
    await page.keyboard.press('Space');
    await waitRelay(page, 'hall', 1, 9, 'off', 3000);
    check(!bytesOn(await ctx.hall.relays(1), 9), 'Space: telvar-sim has relay 9 on');
  }],

  ['all on asks first, in the page, switches the board and names the interlocked relays it left out', async () => {
    const page = ctx.page;
    const allOn = '.card[data-line="hall"][data-address="2"] .all-on';
    await tapOn(page, allOn);
    await rig.waitFor('the question', () => page.$eval('#ask', d => d.open), 2000);
    await tapOn(page, '#ask-cancel');
    await rig.sleep(300);
    check((await ctx.hall.relays(2)) === '0000', 'cancelled, yet board 2 switched');
    await tapOn(page, allOn);
    await rig.waitFor('the question again', () => page.$eval('#ask', d => d.open), 2000);
    await tapOn(page, '#ask-ok');
    // Relays 1 and 2 of board 2 are interlocked: all on leaves 2 out and says so.
    const after = await rig.waitFor('all relays of board 2 on but 2', async () => {
      const c = await cardState(page, 'hall', 2);
      return word(c) === 'nf' + 'n'.repeat(14) && c.message ? c : false;
    }, 4000);
    check(after.message === 'Left out, interlocked: relay 2', `the card says "${after.message}"`);
    const held = await ctx.hall.relays(2);
    check(held === 'FFFD', `telvar-sim holds ${held}`);
    await tapOn(page, '.card[data-line="hall"][data-address="2"] .all-off');
    await rig.waitFor('the question for all off', () => page.$eval('#ask', d => d.open), 2000);
    await tapOn(page, '#ask-ok');
    await rig.waitFor('all relays of board 2 off', async () => word(await cardState(page, 'hall', 2)) === 'f'.repeat(16), 4000);
  }],

  ['parameters: read ids and channels; a write and pairing ask first, then are carried out', async () => {
    const page = ctx.page;
    await tapOn(page, '.card[data-line="hall"][data-address="1"] .open-params');
    await tapOn(page, '#params-read');
    const values = await rig.waitFor('the parameters read', async () => {
      const v = await page.$$eval('#params-rows .param-value', l => l.map(e => e.textContent));
      return v.every(x => x !== '—') ? v : false;
    }, 5000);
    check(values.join(' ') === '1 1 1 1', `host id, host channel, slave id, slave channel read as ${values.join(' ')}`);
    await page.select('#params-name', 'slave-id');
    await page.type('#params-value', '7');
    await tapOn(page, '#params-write');
    await rig.waitFor('the question before the write', () => page.$eval('#ask', d => d.open), 2000);
    await tapOn(page, '#ask-cancel');
    await rig.sleep(300);
    const state = await ctx.hall.command('state', 3);
    check(/^board 1 relays [0-9A-F]{4} id 1 /.test(state[0]), `cancelled, yet telvar-sim shows ${state[0]}`);
    // Confirmed: the board's slave id becomes 7, and pairing gives it the host's id 1 back.
    await tapOn(page, '#params-write');
    await rig.waitFor('the question before the write', () => page.$eval('#ask', d => d.open), 2000);
    await tapOn(page, '#ask-ok');
    const written = await rig.waitFor('the write\'s answer', () => page.$eval('#params-message', e => e.textContent !== '…' && e.textContent), 5000);
    check(written === 'slave id written: 7', `the write says "${written}"`);
    check(/^board 1 relays [0-9A-F]{4} id 7 /.test((await ctx.hall.command('state', 3))[0]), 'telvar-sim\'s slave id is not 7');
    await tapOn(page, '#params-pair');
    await rig.waitFor('the question before pairing', () => page.$eval('#ask', d => d.open), 2000);
    await tapOn(page, '#ask-ok');
    const paired = await rig.waitFor('the pairing\'s answer', () => page.$eval('#params-message', (e, before) => e.textContent !== '…' && e.textContent !== before && e.textContent, written), 5000);
    check(paired === 'Paired: id 1', `pairing says "${paired}"`);
    check(/^board 1 relays [0-9A-F]{4} id 1 /.test((await ctx.hall.command('state', 3))[0]), 'telvar-sim\'s slave id is not 1 after pairing');
    await tapOn(page, '#params-close');
    await rig.waitFor('board 1 back online', async () => !(await cardState(page, 'hall', 1)).offline, 3000);
  }],

  ['reconnects by itself after telvard restarts, saying so while it waits', async () => {
    const page = ctx.page;
    await ctx.service.stop();
    const text = await rig.waitFor('the banner', async () => {
      const b = await page.$eval('#banner', e => (e.hidden ? '' : e.textContent));
      return b;
    }, 3000);
    check(/trying again/.test(text), `the banner reads "${text}"`);
    await ctx.service.start(ctx.url);
    await rig.waitFor('the banner gone', () => page.$eval('#banner', e => e.hidden), 10000, 50);
    await tapOn(ctx.page, rig.relaySelector('hall', 1, 12));
    await waitRelay(page, 'hall', 1, 12, 'on', 3000);
    check(bytesOn(await ctx.hall.relays(1), 12), 'after the restart a click did not reach the board');
    await tapOn(ctx.page, rig.relaySelector('hall', 1, 12));
    await waitRelay(page, 'hall', 1, 12, 'off', 3000);
  }],

  ['360-pixel phone: cards stack, finger-sized relays, nothing overlaps', async () => {
    const phone = await openPage(360, 740);
    try {
      const boxes = await phone.evaluate(() => {
        const box = e => { const r = e.getBoundingClientRect(); return { x: r.left, y: r.top + scrollY, w: r.width, h: r.height }; };
        return {
          relays: [...document.querySelectorAll('.relay')].map(box),
          cards: [...document.querySelectorAll('.card')].map(box),
          buttons: [...document.querySelectorAll('.card button')].map(box),
          width: document.documentElement.scrollWidth,
        };
      });
      const overlap = (a, b) => Math.min(a.x + a.w, b.x + b.w) - Math.max(a.x, b.x) > 0.5
        && Math.min(a.y + a.h, b.y + b.h) - Math.max(a.y, b.y) > 0.5;
      for (const [what, list] of [['relay buttons', boxes.relays], ['cards', boxes.cards], ['buttons', boxes.buttons]])
        for (let i = 0; i < list.length; i++)
          for (let j = i + 1; j < list.length; j++)
            check(!overlap(list[i], list[j]), `${what} ${i} and ${j} overlap: ${JSON.stringify([list[i], list[j]])}`);
      check(boxes.width <= 360, `the page is ${boxes.width} px wide on a 360-px screen`);
      for (const r of boxes.relays) check(r.w >= 40 && r.h >= 40, `a relay of ${r.w}×${r.h} px`);
      for (let i = 1; i < boxes.cards.length; i++)
        check(boxes.cards[i].y >= boxes.cards[i - 1].y + boxes.cards[i - 1].h, 'cards side by side, not stacked');
      for (const c of boxes.cards) check(c.x >= 0 && c.x + c.w <= 360, `a card from ${c.x} to ${c.x + c.w} px`);
      await save(phone, 'web-phone.png', { fullPage: true });
    } finally {
      await phone.close();
    }
  }],

  ['login required off the loopback; a wrong password is refused; a session the restart ended returns to the login', async () => {
    const dir = rig.tempDir('telvar-web-login-');
    fs.writeFileSync(path.join(dir, 'password'), 'relay-hall-7\n', { mode: 0o600 });
    // The service above holds the lines: this one gets a line of its own.
    const sim = await new rig.Sim(opt.sim, ['--board', '1,relays=0003']).start();
    const port = await rig.freePort('127.0.0.2');
    const url = `http://127.0.0.2:${port}`;
    const config = `[line door]\nport = ${sim.device}\ninterval = 100\n[local]\nsocket = ${path.join(dir, 's.sock')}\n`
      + `[web]\nlisten = 127.0.0.2:${port}\npassword_file = ${path.join(dir, 'password')}\n`;
    const service = new rig.Service(opt.telvard, dir, config, { TELVAR_WEB_TREAT_AS_REMOTE: '127.0.0.2' });
    await service.start(url);
    try {
      const api = await fetch(`${url}/api/lines`);
      check(api.status === 401, `GET /api/lines without login: HTTP ${api.status}`);
      const root = await fetch(`${url}/`, { redirect: 'manual' });
      check(root.status === 303 && /(^|\/)login$/.test(root.headers.get('location') || ''),
        `GET / without login: HTTP ${root.status} to ${root.headers.get('location')}`);
      const page = await ctx.browser.newPage();
      try {
        await page.bringToFront();
        await page.goto(`${url}/`, { timeout: 10000 });
        check(new URL(page.url()).pathname === '/login', `the browser was sent to ${page.url()}`);
        await page.type('#password', 'not-the-password');
        await Promise.all([page.waitForNavigation({ timeout: 10000 }), page.keyboard.press('Enter')]);
        check(new URL(page.url()).pathname === '/login' && /wrong/.test(page.url()), `a wrong password led to ${page.url()}`);
        const cookies = await page.cookies();
        check(!cookies.some(c => c.name === 'telvar_session'), 'a wrong password got a session');
        check(await page.$('#password'), 'no password field after a wrong password');
        check(await page.$eval('#wrong', e => getComputedStyle(e).display !== 'none'),
          'the login page does not say the password was wrong');
        await page.type('#password', 'relay-hall-7');
        await Promise.all([page.waitForNavigation({ timeout: 10000 }), page.keyboard.press('Enter')]);
        check(new URL(page.url()).pathname === '/', `the right password led to ${page.url()}`);
        await rig.waitFor('the board after the login', async () => {
          const c = await rig.readCard(page, 'door', 1);
          return c && c.relays[0].state === 'on' && c.relays[1].state === 'on' && c.relays[2].state === 'off';
        }, 5000);
        // Sessions end with the service: the page goes back to the login by itself.
        await service.stop();
        await service.start(url);
        await rig.waitFor('the login again after the restart', () => new URL(page.url()).pathname === '/login', 10000, 50);
      } finally {
        await page.close();
      }
    } finally {
      await service.stop();
      await sim.stop();
      fs.rmSync(dir, { recursive: true, force: true });
    }
  }],

  ['over HTTPS the page and its event socket (wss:) work', async () => {
    const dir = rig.tempDir('telvar-web-tls-');
    const made = spawnSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
      '-nodes', '-keyout', path.join(dir, 'web.key'), '-out', path.join(dir, 'web.crt'), '-days', '2',
      '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1'], { encoding: 'utf8', timeout: 30000 });
    check(!made.error && made.status === 0, `openssl made no certificate (install openssl): ${made.error?.message ?? made.stderr}`);
    const sim = await new rig.Sim(opt.sim, ['--board', '1,relays=0001']).start();
    const port = await rig.freePort();
    const url = `https://127.0.0.1:${port}`;
    const service = new rig.Service(opt.telvard, dir,
      `[line porch]\nport = ${sim.device}\ninterval = 100\n[local]\nenabled = false\n`
      + `[web]\nlisten = 127.0.0.1:${port}\ncertfile = ${dir}/web.crt\nkeyfile = ${dir}/web.key\n`);
    // A browser of its own that takes the test's certificate; the others stay strict.
    const browser = await rig.launchBrowser(ctx.puppeteer, 'en-US', { acceptInsecureCerts: true });
    try {
      await service.start(url);
      const page = await browser.newPage();
      await page.goto(`${url}/`, { timeout: 10000 });
      await rig.waitFor('the board over HTTPS', async () => word(await cardState(page, 'porch', 1)) === 'n' + 'f'.repeat(15), 5000);
      // A change only the event socket can bring.
      await sim.command('set 1 relays 0002');
      await rig.waitFor('the change by wss:', async () => word(await cardState(page, 'porch', 1)) === 'fn' + 'f'.repeat(14), 3000);
      check(await page.$eval('#banner', e => e.hidden), 'the banner shows over HTTPS');
    } finally {
      await browser.close();
      await service.stop();
      await sim.stop();
      fs.rmSync(dir, { recursive: true, force: true });
    }
  }],
];

const watchdog = setTimeout(async () => {
  console.error('page.test.mjs: the run took over 300 s; stopping');
  await rig.stopAll();
  process.exit(1);
}, 300000);

let failed = 0;
let passed = 0;
const dir = rig.tempDir('telvar-web-test-');
try {
  const puppeteer = ctx.puppeteer = await rig.loadPuppeteer(opt.work);
  ctx.hall = await new rig.Sim(opt.sim, ['--board', '1,relays=0001', '--board', '2']).start();
  // yard under a stable name, as udev gives a USB adapter, so that it can be pulled and come back.
  ctx.yardName = path.join(dir, 'yard-line');
  ctx.yard = await new rig.Sim(opt.sim, ['--name', ctx.yardName, '--board', '3,relays=8000']).start();
  ({ service: ctx.service, url: ctx.url } = await startService(dir));
  ctx.browser = await rig.launchBrowser(puppeteer);
  ctx.pageErrors = [];
  for (const [name, run] of cases) {
    if (opt.only && !new RegExp(opt.only).test(name)) continue;
    const began = Date.now();
    try {
      await run();
      check(ctx.pageErrors.length === 0, `the page threw: ${ctx.pageErrors.join('; ')}`);
      passed++;
      console.log(`PASS   ${name} (${Date.now() - began} ms)`);
    } catch (e) {
      failed++;
      ctx.pageErrors.length = 0;
      console.log(`FAIL   ${name}: ${e.plain ? e.message : e.stack}`);
    }
  }
} catch (e) {
  failed++;
  console.log(`FAIL   setting up: ${e.plain ? e.message : e.stack}`);
  if (ctx.service) console.log(ctx.service.log);
} finally {
  await rig.stopAll();
  fs.rmSync(dir, { recursive: true, force: true });
  clearTimeout(watchdog);
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
