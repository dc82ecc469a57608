// The page in a real browser: headless Chromium, driven by playwright-core,
// loads it from page_host (our routes on an ephemeral loopback port), and the
// test pushes status texts through the host's standard input. A hostile page
// comes from a server of the test's own on another loopback port.
//
// Environment: VORNHALE_PAGE_HOST (the host executable), VORNHALE_ARTIFACTS
// (folder for the screenshot).

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { chromium } from 'playwright-core';

const chromiumArgs = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
];
const wait = { timeout: 15000 };

let host;
let hostEnded;
let base;
let profile;
let context;
let page;

// Starts page_host and resolves with the port it prints first.
function startHost() {
  host = spawn(process.env.VORNHALE_PAGE_HOST, [], { stdio: ['pipe', 'pipe', 'inherit'] });
  hostEnded = new Promise((resolve) => host.on('exit', (code) => resolve(code)));
  return new Promise((resolve, reject) => {
    let out = '';
    host.stdout.on('data', (data) => {
      out += data;
      const line = out.indexOf('\n');
      if (line > 0)
        resolve(Number(out.slice(0, line)));
    });
    host.on('exit', (code) => reject(new Error(`page_host ended with ${code} before serving`)));
  });
}

function push(text) {
  host.stdin.write(text + '\n');
}

function contentBecomes(html) {
  return page.waitForFunction((h) => document.getElementById('content').innerHTML === h, html, wait);
}

before(async () => {
  const port = await startHost();
  base = `http://127.0.0.1:${port}`;
  profile = mkdtempSync(path.join(tmpdir(), 'vornhale-chromium-'));
  context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: chromiumArgs,
    viewport: { width: 1280, height: 720 },
  });
  page = context.pages()[0] ?? (await context.newPage());
  await page.goto(`http://127.0.0.1:${port}/`, wait);
});

after(async () => {
  await context?.close();
  if (host) {
    host.stdin.end();
    assert.equal(await hostEnded, 0, 'page_host shuts down cleanly');
  }
  if (profile)
    rmSync(profile, { recursive: true, force: true });
});

test('the stylesheet is applied', async () => {
  const style = await page.evaluate(() => {
    const main = document.querySelector('main#content.container');
    return {
      primary: getComputedStyle(document.documentElement).getPropertyValue('--pico-primary').trim(),
      maxWidth: getComputedStyle(main).maxWidth,
      bodyMargin: getComputedStyle(document.body).margin,
    };
  });
  // Pico's red theme; its container at a 1280-pixel-wide window.
  assert.match(style.primary, /^#(c52f21|f17961)$/);
  assert.equal(style.maxWidth, '1200px');
  assert.equal(style.bodyMargin, '0px');
});

test('each status text replaces the one before', async () => {
  push('Firmware upload done.');
  await contentBecomes('Firmware upload done.');
  push('Erasing <b>flash</b>');
  await contentBecomes('Erasing <b>flash</b>');
  push('');
  await contentBecomes('');
  push('File-system upload done.');
  await contentBecomes('File-system upload done.');
});

test('a busy text shows the loading indicator', async () => {
  push('<span aria-busy="true">Uploading firmware...</span>');
  await contentBecomes('<span aria-busy="true">Uploading firmware...</span>');
  const before = await page.evaluate(() => {
    const style = getComputedStyle(document.querySelector('#content span'), '::before');
    return { display: style.display, image: style.backgroundImage, width: style.width };
  });
  assert.equal(before.display, 'inline-block');
  assert.match(before.image, /^url\("data:image\/svg\+xml/);
  assert.notEqual(before.width, '0px');

  const folder = process.env.VORNHALE_ARTIFACTS;
  mkdirSync(folder, { recursive: true });
  await page.waitForTimeout(800); // a later frame of the animated indicator
  await page.screenshot({ path: path.join(folder, 'page-busy.png') });
});

test('dragging across the page selects nothing', async () => {
  const text = 'Firmware upload done.';
  const drag = async (target) => {
    const box = await target.locator('main').boundingBox();
    await target.mouse.move(box.x + 1, box.y + box.height / 2);
    await target.mouse.down();
    await target.mouse.move(box.x + box.width - 1, box.y + box.height / 2, { steps: 10 });
    await target.mouse.up();
    return target.evaluate(() => window.getSelection().toString());
  };

  // The same drag on a page without our rule selects the text.
  const plain = await context.newPage();
  await plain.setContent(`<main style="font-size: 2rem">${text}</main>`);
  assert.equal(await drag(plain), text);
  await plain.close();

  push(text);
  await contentBecomes(text);
  assert.equal(await drag(page), '');
});

// Serves html on another loopback port; resolves with the server and its address.
function attackerSite(html) {
  const server = createServer((request, response) => {
    response.setHeader('Content-Type', 'text/html');
    response.end(html);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => {
    resolve({ server, url: `http://127.0.0.1:${server.address().port}/` });
  }));
}

function residentKiB(pid) {
  return Number(/VmRSS:\s+(\d+) kB/.exec(readFileSync(`/proc/${pid}/status`, 'utf8'))[1]);
}

test('a page on another port can neither frame ours nor take its texts', async () => {
  // Twelve frames of our page, one of them reloaded five times a second.
  const site = await attackerSite(`<!DOCTYPE html><body>${`<iframe src="${base}/"></iframe>`.repeat(12)}
    <script>const f = document.querySelector('iframe'); setInterval(() => { f.src = f.src; }, 200);</script>`);
  const attacker = await context.newPage();
  try {
    await attacker.goto(site.url, wait);
    await attacker.waitForTimeout(1500);
    for (const frame of attacker.frames().slice(1))
      assert.ok(!frame.url().startsWith(base), `a frame shows ${frame.url()}`);

    // Our stylesheet still comes at once, and every text reaches our page.
    const answered = await page.evaluate(async (url) => {
      const reply = await fetch(url, { signal: AbortSignal.timeout(2000) });
      return reply.status;
    }, `${base}/pico.red.min.css`);
    assert.equal(answered, 200);
    for (const text of ['Firmware upload done.', '<span aria-busy="true">Uploading app...</span>', 'App upload done.']) {
      push(text);
      await contentBecomes(text);
    }
  } finally {
    await attacker.close();
    site.server.close();
  }
});

test('a text cannot end its event early or add fields of its own', async () => {
  push('blink\\nretry: 86400000\\n\\ndata: App upload done.\\r\\nx.ino.bin');
  await contentBecomes('blink\uFFFDretry: 86400000\uFFFD\uFFFDdata: App upload done.\uFFFD\uFFFDx.ino.bin');
  push('File-system upload done.');
  await contentBecomes('File-system upload done.');
});

test('a page on another port cannot fill our memory with a request body', async () => {
  const site = await attackerSite('<!DOCTYPE html><body>');
  const attacker = await context.newPage();
  try {
    await attacker.goto(site.url, wait);
    const idle = residentKiB(host.pid);
    let peak = idle;
    const sampler = setInterval(() => { peak = Math.max(peak, residentKiB(host.pid)); }, 20);
    await attacker.evaluate(async (url) => {
      try {
        await fetch(url, { method: 'POST', mode: 'no-cors', body: new Uint8Array(64 * 1024 * 1024) });
      } catch {
        // refused: what matters is what it cost the server
      }
    }, `${base}/`);
    clearInterval(sampler);
    peak = Math.max(peak, residentKiB(host.pid));
    assert.ok(peak - idle < 5 * 1024, `resident memory grew by ${peak - idle} KiB`);
  } finally {
    await attacker.close();
    site.server.close();
  }
  push('Still here.');
  await contentBecomes('Still here.');
});

// The station page: page_host publishes each "station:" line as its document.
function publish(boards, fields = {}) {
  const totals = { flashed: 0, failed: 0, in_progress: 0, waiting: 0 };
  boards.forEach((b) => { totals[['firmware', 'file_system'].includes(b.stage) ? 'in_progress' : b.stage] += 1; });
  push('station:' + JSON.stringify({ firmware: 'blink.ino.bin', state: 'running', message: 'Plug in the boards.', totals, boards, ...fields }));
}

const board = (n, stage, fields = {}) => ({ serial: `F4:12:FA:00:00:${String(n).padStart(2, '0')}`,
  port: `/dev/ttyACM${n}`, stage, percent: 0, reason: '', seconds: 0, attempts: 0, note: '', ...fields });

function showsBoards(station, n) {
  return station.waitForFunction((count) => document.querySelectorAll('#boards article').length === count
    && document.getElementById('no-boards').hidden === count > 0, n, wait);
}

test('the station page shows each board in its state, outside text as text, at once to a late page', async () => {
  publish([board(1, 'waiting'), board(2, 'firmware', { percent: 42, seconds: 21.4, attempts: 1 }),
    board(3, 'file_system', { percent: 80, seconds: 40, attempts: 1 }),
    board(4, 'flashed', { seconds: 48.25, attempts: 1, note: 'flashed already: unplug it' }),
    board(5, 'failed', { reason: 'A fatal error occurred: <b>x</b>', seconds: 75, attempts: 2 }),
    board(6, 'waiting', { serial: '' })], { firmware: '<i>blink</i>.ino.bin', batch: {
    pace: '120 boards an hour · 41.3 s a flashed board (median)',
    reasons: [{ reason: 'A fatal error occurred: <b>x</b>', count: 2 }, { reason: 'esptool failed', count: 1 }] } });
  const pages = [await context.newPage(), await context.newPage()];
  try {
    for (const station of pages) { // the second one comes after the document
      await station.goto(`${base}/station`, wait);
      await showsBoards(station, 6);
      assert.deepEqual(await station.evaluate(() => ({
        title: document.title,
        top: [...document.querySelectorAll('#top h1, #message, #totals div')].map((e) => e.textContent),
        batch: [...document.querySelectorAll('#pace, #reasons li')].map((e) => e.textContent),
        cards: [...document.querySelectorAll('#boards article')].map((card) => [
          ...card.querySelectorAll('.port, .stage, .serial, .bar, .result, .facts, .note')].map((e) => e.textContent)),
        progress: [...document.querySelectorAll('progress')].map((bar) => bar.value),
        markup: document.querySelectorAll('main b, main i').length,
      })), {
        title: 'Vornhale station', markup: 0, progress: [42, 80],
        top: ['Firmware <i>blink</i>.ino.bin', 'Plug in the boards.', 'Flashed1', 'Failed1', 'In progress2', 'Waiting2'],
        batch: ['120 boards an hour · 41.3 s a flashed board (median)', '2 × A fatal error occurred: <b>x</b>',
          '1 × esptool failed'],
        cards: [
          ['/dev/ttyACM1', 'Waiting', 'F4:12:FA:00:00:01', 'Waiting to start', '0 attempts'],
          ['/dev/ttyACM2', 'Firmware', 'F4:12:FA:00:00:02', '42 %', '21.4 s · 1 attempt'],
          ['/dev/ttyACM3', 'File system', 'F4:12:FA:00:00:03', '80 %', '40.0 s · 1 attempt'],
          ['/dev/ttyACM4', 'Flashed', 'F4:12:FA:00:00:04', 'Flashed', '48.3 s · 1 attempt', 'flashed already: unplug it'],
          ['/dev/ttyACM5', 'Failed', 'F4:12:FA:00:00:05', 'Failed: A fatal error occurred: <b>x</b>', '1 min 15 s · 2 attempts'],
          ['/dev/ttyACM6', 'Waiting', 'no serial number', 'Waiting to start', '0 attempts'],
        ],
      });
    }
  } finally {
    await Promise.all(pages.map((p) => p.close()));
  }
});

test('the station page at 1280x720 with none, one and twelve boards', async () => {
  const stages = ['flashed', 'firmware', 'file_system', 'failed', 'waiting', 'flashed'];
  const twelve = stages.concat(stages).map((stage, i) => board(i, stage, {
    percent: (i * 17) % 100, seconds: 10 + i * 3.3, attempts: stage === 'waiting' ? 0 : 1 + (i % 2),
    reason: 'Failed to connect to ESP32-S3: No serial data received.', ...(i === 7 ? { serial: '' } : {}) }));
  const station = await context.newPage();
  try {
    await station.goto(`${base}/station`, wait);
    const batch = { pace: '96 boards an hour · 37.5 s a flashed board (median)',
      reasons: [{ reason: 'Firmware: Failed to connect to ESP32-S3: No serial data received.', count: 2 }] };
    for (const [name, boards] of [['station-empty', []], ['station-one', twelve.slice(1, 2)], ['station', twelve]]) {
      publish(boards, name === 'station' ? { batch } : {});
      await showsBoards(station, boards.length);
      assert.ok(await station.evaluate(() => document.documentElement.scrollWidth <= innerWidth), `${name} is too wide`);
      await station.screenshot({ path: path.join(process.env.VORNHALE_ARTIFACTS, `${name}.png`) });
    }
  } finally {
    await station.close();
  }
});
