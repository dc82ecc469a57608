// Reloading the page while status texts are being pushed loses none and
// delivers none twice: every text reaches exactly one of the pages that were
// open. Once with page_host pushing many texts quickly, once with the real
// binary flashing a fake board with a slow stand-in for esptool.
//
// Environment: VORNHALE_PAGE_HOST, VORNHALE_BINARY.

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { chmodSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { chromium } from 'playwright-core';

const chromiumArgs = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
];

// Opens a browser whose pages keep every event their stream delivers in the
// tab's session storage, which survives reloads.
async function recordingBrowser() {
  const profile = mkdtempSync(path.join(tmpdir(), 'vornhale-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium', headless: true, args: chromiumArgs,
  });
  await context.addInitScript(() => {
    const Original = window.EventSource;
    window.EventSource = function (url, options) {
      const source = new Original(url, options);
      source.addEventListener('open', () => { window.__vornhaleStreamOpen = true; });
      source.addEventListener('message', (e) => {
        const seen = JSON.parse(sessionStorage.getItem('received') ?? '[]');
        seen.push(e.data);
        sessionStorage.setItem('received', JSON.stringify(seen));
      });
      return source;
    };
  });
  const page = context.pages()[0] ?? (await context.newPage());
  return {
    page,
    received: () => page.evaluate(() => JSON.parse(sessionStorage.getItem('received') ?? '[]')),
    async close() {
      await context.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

// Reloads as a user would: each time once the page has opened its stream and
// had a moment to show what arrived.
async function reloadWhile(page, times, pause) {
  for (let i = 0; i < times; ++i) {
    await page.waitForFunction(() => window.__vornhaleStreamOpen === true, null, { timeout: 15000 });
    await sleep(pause);
    await page.reload({ waitUntil: 'domcontentloaded', timeout: 15000 });
  }
}

// Waits until the page has received every expected text; returns what it has.
async function receivedAll(browser, expected, ms = 15000) {
  const deadline = Date.now() + ms;
  for (;;) {
    const received = await browser.received();
    if (expected.every((t) => received.includes(t)) || Date.now() > deadline)
      return received;
    await sleep(50);
  }
}

// The texts that reached no page; fails on a text delivered twice.
function missingOrTwice(received, expected) {
  const counts = new Map();
  for (const text of received)
    counts.set(text, (counts.get(text) ?? 0) + 1);
  const twice = [...counts].filter(([, n]) => n > 1).map(([t]) => t);
  assert.deepEqual(twice, [], 'texts delivered twice');
  return expected.filter((t) => !counts.has(t));
}

async function answersRootQuickly(base) {
  const answer = await fetch(`${base}/`, { signal: AbortSignal.timeout(2000) });
  assert.equal(answer.status, 200);
  assert.equal((await answer.text()).length, 631);
}

test('reloads while many texts are pushed', async () => {
  const host = spawn(process.env.VORNHALE_PAGE_HOST, [], { stdio: ['pipe', 'pipe', 'inherit'] });
  const ended = new Promise((resolve) => host.on('exit', resolve));
  const port = await new Promise((resolve) => {
    let out = '';
    host.stdout.on('data', (d) => {
      out += d;
      if (out.includes('\n'))
        resolve(Number(out.split('\n')[0]));
    });
  });
  const base = `http://127.0.0.1:${port}`;
  const browser = await recordingBrowser();
  try {
    await browser.page.goto(`${base}/`);
    const expected = Array.from({ length: 200 }, (_, i) => `text ${i}`);
    const pushing = (async () => {
      for (const text of expected) {
        host.stdin.write(text + '\n');
        await sleep(15);
      }
    })();
    await reloadWhile(browser.page, 20, 50);
    await pushing;
    // The page acknowledges nothing, so a text written in the last instant
    // before the browser begins a reload can still be dropped by the browser;
    // how many is reported, not asserted. Duplicates would be our fault.
    const missing = missingOrTwice(await receivedAll(browser, expected, 3000), expected);
    console.log(`# ${missing.length} of ${expected.length} texts pushed every 15 ms reached no page: ${missing}`);
    await answersRootQuickly(base);
  } finally {
    await browser.close();
    host.stdin.end();
    assert.equal(await ended, 0);
  }
});

// A fake ESP32-S3 on USB: the device, its interface 0 and its tty.
const BOARD = path.join(path.dirname(new URL(import.meta.url).pathname), '..', 'support', 'board.umockdev');

test('reloads while the real binary flashes', async () => {
  const folder = mkdtempSync(path.join(tmpdir(), 'vornhale-reload-'));
  for (const name of ['blink.ino.bin', 'blink.ino.bootloader.bin', 'blink.ino.partitions.bin', 'boot_app0.bin',
    'fs.bin'])
    writeFileSync(path.join(folder, name), '');
  writeFileSync(path.join(folder, 'esptool.exe'), '#!/bin/sh\nsleep 1\n');
  chmodSync(path.join(folder, 'esptool.exe'), 0o755);

  const env = { ...process.env, DBUS_SESSION_BUS_ADDRESS: 'unix:path=/nonexistent' };
  delete env.DISPLAY;
  delete env.WAYLAND_DISPLAY;
  const app = spawn('umockdev-run', ['--device', BOARD, '--', process.env.VORNHALE_BINARY],
    { cwd: folder, env, stdio: ['ignore', 'ignore', 'inherit'] });
  const ended = new Promise((resolve) => app.on('exit', (code, signal) => resolve(code ?? signal)));
  process.on('exit', () => app.kill('SIGTERM'));  // a failed test leaves nothing holding the port (umockdev-run passes it on)
  const base = 'http://127.0.0.1:5000';
  const browser = await recordingBrowser();
  try {
    for (let i = 0; ; ++i) {
      try {
        await browser.page.goto(`${base}/`, { timeout: 2000 });
        break;
      } catch (e) {
        if (i > 100)
          throw e;
        await sleep(50);
      }
    }
    const expected = ['Device port: /dev/ttyACM0', 'Firmware file found: blink.ino.bin',
      '<span aria-busy="true">Uploading firmware...</span>', 'Firmware upload done.',
      '<span aria-busy="true">Uploading app...</span>', 'App upload done.'];
    await reloadWhile(browser.page, 20, 100);
    assert.deepEqual(missingOrTwice(await receivedAll(browser, expected), expected), [],
      'texts that reached no page');
    await answersRootQuickly(base);
  } finally {
    await browser.close();
    app.kill('SIGTERM');
    assert.equal(await ended, 0);
    rmSync(folder, { recursive: true, force: true });
  }
});
