// End-to-end test of the agent's own page in a real browser.
//
// Starts the agent binary in a temporary working directory (a copy of html/, its own
// XDG_RUNTIME_DIR so that the virtual scanners' control socket is private), drives Debian's
// chromium through playwright-core, and moves virtual fingers with the virtual-scanner command.
//
// Environment:
//   WEBAGENT_BIN               the agent (default: build/bin/webagent of this repository)
//   WEBAGENT_VIRTUAL_SCANNER   the control command (default: virtual-scanner beside the agent)
//   CHROMIUM_BIN               the browser (default: /usr/bin/chromium)
//   WEBAGENT_E2E_ARTIFACTS     where the screenshot goes (default: tests/artifacts/)
//
// The agent listens on fixed ports, so only one agent may run at a time. Every wait is
// generous and condition-based: nothing depends on the speed of the machine.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import {
  WAIT, STEP, agentBin, answers, chromiumBin, control, controlBin, lift, place, repo, state, until,
} from './harness.mjs';

let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch (error) {
  throw new Error(`playwright-core is not installed: run (cd tests/e2e && npm ci) first (${error.message})`);
}

const artifacts = path.resolve(process.env.WEBAGENT_E2E_ARTIFACTS ?? path.join(repo, 'tests', 'artifacts'));

const HTTP = 'http://127.0.0.1:8084';
const HTTPS = 'https://127.0.0.1:8083';

let agent = null; // the child process
let agentExit = null; // {code, signal} once it ended
let context = null;
let page = null;
const pageErrors = [];

// ----- helpers -----------------------------------------------------------------------------

async function stopAgent() {
  if (!agent || agentExit) {
    return agentExit;
  }
  const exited = new Promise((resolve) => agent.once('exit', () => resolve()));
  agent.kill('SIGTERM');
  let timer;
  const done = await Promise.race([
    exited.then(() => true),
    new Promise((resolve) => (timer = setTimeout(() => resolve(false), 60_000))),
  ]);
  clearTimeout(timer);
  if (!done) {
    agent.kill('SIGKILL');
    await exited;
    throw new Error(`the agent did not stop within 60 s of SIGTERM\n--- agent output ---\n${state.agentOutput}`);
  }
  return agentExit;
}

/** Text of an element, trimmed. */
const text = (selector) => page.locator(selector).innerText().then((t) => t.trim());

/** Waits until the element's class list holds `cls` (used for result lines and outcomes). */
async function waitClass(selector, cls) {
  try {
    await page.waitForFunction(
      ([sel, c]) => document.querySelector(sel)?.classList.contains(c),
      [selector, cls],
      STEP,
    );
  } catch (error) {
    // What the page showed instead, its activity log and the agent's own log: a wait that
    // fails once in many runs has to be explained from this alone.
    const seen = await page
      .evaluate((sel) => {
        const el = document.querySelector(sel);
        const entries = [...document.querySelectorAll('#log li')].slice(0, 20).map((li) => [...li.children].map((c) => c.textContent).join(' '));
        return `${sel} has class "${el?.className}" and says "${el?.textContent}"\n--- page activity, newest first ---\n${entries.join('\n')}`;
      }, selector)
      .catch((e) => `(the page could not be read: ${e.message})`);
    throw new Error(`${selector} never got class "${cls}": ${error.message}\n${seen}\n--- agent output (end) ---\n${state.agentOutput.slice(-4000)}`);
  }
}

/** Clicks a button once it is enabled. */
async function press(selector) {
  await page.waitForFunction((sel) => {
    const b = document.querySelector(sel);
    return b && !b.disabled && b.offsetParent !== null;
  }, selector, STEP);
  await page.click(selector);
}

/** Clears a result line so that the next outcome is this step's own. */
function clearResult(selector) {
  return page.evaluate((sel) => {
    const el = document.querySelector(sel);
    el.textContent = '';
    el.className = 'result';
  }, selector);
}

/** A fingerprint of the preview's current frame: "WxH:hash:dark", or null before a frame. */
function previewFrame() {
  return page.evaluate(() => {
    const img = document.getElementById('preview-image');
    if (!img || img.hidden || !img.complete || img.naturalWidth < 2) {
      return null;
    }
    const canvas = document.createElement('canvas');
    canvas.width = img.naturalWidth;
    canvas.height = img.naturalHeight;
    const ctx = canvas.getContext('2d', { willReadFrequently: true });
    ctx.drawImage(img, 0, 0);
    const data = ctx.getImageData(0, 0, canvas.width, canvas.height).data;
    let hash = 0;
    let dark = 0;
    for (let i = 0; i < data.length; i += 4) {
      hash = (Math.imul(hash, 31) + data[i]) | 0;
      if (data[i] < 128) {
        dark += 1;
      }
    }
    return { size: `${canvas.width}x${canvas.height}`, hash, dark };
  });
}

async function runDbStep(button, resultSelector = '#db-result') {
  await clearResult(resultSelector);
  await page.evaluate(() => {
    const o = document.getElementById('db-outcome');
    o.hidden = true;
    o.className = 'outcome';
    o.textContent = '';
  });
  await press(button);
  await page.waitForFunction(
    (sel) => /\b(ok|error)\b/.test(document.querySelector(sel).className),
    resultSelector,
    STEP,
  );
  const cls = await page.getAttribute(resultSelector, 'class');
  assert.match(cls, /\bok\b/, `${button}: ${await text(resultSelector)}`);
}

// ----- set-up and tear-down ----------------------------------------------------------------

before(async () => {
  for (const [what, file] of [['agent', agentBin], ['virtual-scanner', controlBin], ['chromium', chromiumBin]]) {
    assert.ok(fs.existsSync(file), `${what} not found at ${file}`);
  }
  assert.equal(await answers(`${HTTP}/`), false, 'something already answers on port 8084: stop the other agent first');

  state.workDir = fs.mkdtempSync(path.join(os.tmpdir(), 'webagent-e2e-'));
  fs.cpSync(path.join(repo, 'html'), path.join(state.workDir, 'html'), { recursive: true });
  fs.mkdirSync(path.join(state.workDir, 'xdg'), { mode: 0o700 });

  agent = spawn(agentBin, [], {
    cwd: state.workDir,
    env: { ...process.env, XDG_RUNTIME_DIR: path.join(state.workDir, 'xdg'), WEBAGENT_VIRTUAL_SCANNERS: '1' },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  agent.stdout.on('data', (d) => (state.agentOutput += d));
  agent.stderr.on('data', (d) => (state.agentOutput += d));
  agent.on('exit', (code, signal) => (agentExit = { code, signal }));

  await until('the agent to serve its page', async () => {
    if (agentExit) {
      throw new Error(`the agent ended at start with status ${agentExit.code}`);
    }
    return answers(`${HTTP}/`);
  });
  await until('the virtual scanner control socket', () => control('list').then(() => true));

  context = await chromium.launchPersistentContext(path.join(state.workDir, 'browser-profile'), {
    executablePath: chromiumBin,
    headless: true,
    ignoreHTTPSErrors: true,
    viewport: { width: 1440, height: 1000 },
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-quic',
      '--no-first-run', '--disable-component-update', '--disable-sync',
    ],
  });
  context.setDefaultTimeout(WAIT);
  page = context.pages()[0] ?? (await context.newPage());
  page.on('pageerror', (error) => pageErrors.push(error.message));
  page.on('dialog', (dialog) => dialog.accept());
});

after(async () => {
  try {
    if (context) {
      await context.close();
    }
  } finally {
    try {
      await stopAgent();
    } finally {
      if (state.workDir) {
        fs.rmSync(state.workDir, { recursive: true, force: true });
      }
    }
  }
});

// Never leave an agent holding the ports behind, whatever ends this process.
process.once('exit', () => {
  if (agent && !agentExit) {
    agent.kill('SIGKILL');
  }
});
for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
  process.once(signal, () => {
    if (agent && !agentExit) {
      agent.kill('SIGTERM');
    }
    process.exit(1);
  });
}

// ----- the scenario --------------------------------------------------------------------------

test('the page connects and lists the virtual scanner', async () => {
  await page.goto(`${HTTP}/`);
  assert.equal(await page.title(), 'Fingerprint Web Agent');
  await page.waitForFunction(() => document.getElementById('connection').textContent === 'Connected', null, STEP);
  const cookie = await page.evaluate(() => document.cookie);
  assert.match(cookie, /^\d+_-?\d+_[0-9a-f]{32}$/, 'the session identifier is the page cookie');
  assert.equal(await page.isVisible('#p-timeout'), false, 'no settings are shown before they were read from a scanner');
  assert.equal(await page.isDisabled('#btn-params-apply'), true);

  await press('#btn-init');
  await page.waitForFunction(() => document.querySelectorAll('#scanner-select option[value]:not([value=""])').length >= 1, null, STEP);
  const handle = await page.inputValue('#scanner-select');
  assert.match(handle, /^\d+$/);
  const list = await control('list');
  assert.ok(list.includes(handle), `the page's handle ${handle} is the device's handle (\n${list})`);
  await page.waitForFunction(() => document.getElementById('st-version').textContent === '0.1', null, STEP);
});

test('settings can be read and changed', async () => {
  await page.waitForFunction(() => document.getElementById('p-timeout').value !== '', null, STEP);
  await page.fill('#p-timeout', '90'); // a capture in this test never runs out of time
  await clearResult('#params-result');
  await press('#btn-params-apply');
  await waitClass('#params-result', 'ok');
  await press('#btn-params-read');
  await page.waitForFunction(() => document.getElementById('p-timeout').value === '90', null, STEP);
});

test('a capture waits for the finger, then shows the 320 x 480 image', async () => {
  await lift();
  await clearResult('#capture-result');
  await press('#btn-capture');
  await page.waitForSelector('#viewer-wait', { state: 'visible' });
  assert.match(await text('#viewer-wait-text'), /Place a finger/);
  await place(1);
  await waitClass('#capture-result', 'ok');
  await page.waitForFunction(() => {
    const img = document.getElementById('capture-image');
    return !img.hidden && img.complete && img.naturalWidth === 320 && img.naturalHeight === 480;
  }, null, STEP);
  assert.equal(await page.isVisible('#viewer-wait'), false);
});

test('exports give downloadable template and image data', async () => {
  await clearResult('#template-result');
  await press('#btn-template');
  await waitClass('#template-result', 'ok');
  const template = await page.inputValue('#tpl-output');
  assert.match(template, /^[A-Za-z0-9+/]+=*$/);
  assert.match(await page.getAttribute('#tpl-download', 'href'), /^data:application\/octet-stream;base64,/);

  await page.selectOption('#img-format', '1');
  await clearResult('#image-result');
  await press('#btn-image-export');
  await waitClass('#image-result', 'ok');
  assert.match(await page.getAttribute('#img-download', 'href'), /^data:image\/bmp;base64,Qk/); // "BM"
});

test('the live preview shows changing frames and stops', async () => {
  await place(1);
  await press('#btn-preview');
  await page.waitForFunction(() => document.getElementById('btn-preview').getAttribute('aria-pressed') === 'true', null, STEP);
  const first = await until('a live frame with a fingerprint', async () => {
    const f = await previewFrame();
    return f && f.dark > 1000 ? f : null;
  });
  assert.equal(first.size, '320x480');
  await place(2); // another finger: the next frames must differ
  await until('the preview to show a different frame', async () => {
    const f = await previewFrame();
    return f && f.dark > 1000 && f.hash !== first.hash;
  });
  // The stop's abortCapture is held back on its way to the agent: until it has been answered
  // no capture may start, or it could reach the scanner first and be ended by the late abort
  // (whose answer would then overwrite the capture's result).
  let release;
  const held = new Promise((resolve) => (release = resolve));
  let sent = null; // the held request's way on, once it is sent
  const hold = (route) => {
    sent = held.then(() => route.continue());
    return sent;
  };
  await page.route('**/api/abortCapture*', hold);
  try {
    await clearResult('#capture-result');
    await press('#btn-preview');
    await page.waitForFunction(() => document.getElementById('btn-preview').getAttribute('aria-pressed') === 'false', null, STEP);
    await until('the stop to send its abortCapture', async () => sent !== null);
    assert.equal(await page.isDisabled('#btn-capture'), true, 'no capture while the abort is on its way');
    assert.equal(await page.isDisabled('#btn-preview'), true, 'no new preview while the abort is on its way');
  } finally {
    release();
    await sent;
    await page.unroute('**/api/abortCapture*', hold);
  }
  await waitClass('#capture-result', 'ok'); // "Live preview stopped."
  await page.waitForFunction(() => !document.getElementById('btn-capture').disabled, null, STEP);
  assert.equal(await page.isVisible('#preview-image'), false);
});

test('a failed capture clears the old image and says why, with the codes beneath', async () => {
  await place(1);
  await clearResult('#capture-result');
  await press('#btn-capture');
  await waitClass('#capture-result', 'ok');
  await page.waitForSelector('#capture-image', { state: 'visible' }); // an image from before
  await page.fill('#p-timeout', '1'); // no finger comes: the capture fails whatever the machine's speed
  await clearResult('#params-result');
  await press('#btn-params-apply');
  await waitClass('#params-result', 'ok');
  await lift();
  await clearResult('#capture-result');
  await press('#btn-capture');
  await waitClass('#capture-result', 'error');
  assert.equal(await page.isVisible('#capture-image'), false, 'the old image is gone');
  assert.equal(await page.isVisible('#viewer-empty'), true);
  const [words, details] = await page.$eval('#capture-result', (el) => [el.firstChild.textContent, el.querySelector('.details')?.textContent ?? '']);
  assert.doesNotMatch(words, /-\d{3}|retValue/, `plain words: ${words}`);
  assert.match(details, /^retValue -\d+ · retString "[^"]+"/);

  await page.fill('#p-timeout', '90');
  await clearResult('#params-result');
  await press('#btn-params-apply');
  await waitClass('#params-result', 'ok');
});

test('Stop ends a capture that waits for a finger', async () => {
  await lift();
  await clearResult('#capture-result');
  await press('#btn-capture');
  await page.waitForSelector('#viewer-wait', { state: 'visible' });
  await press('#btn-abort');
  await page.waitForFunction(() => /Stopped/.test(document.getElementById('capture-result').textContent), null, STEP);
  await page.waitForSelector('#viewer-wait', { state: 'hidden' });
  // the scanner is free again at once: the next capture takes the finger
  await place(1);
  await clearResult('#capture-result');
  await press('#btn-capture');
  await waitClass('#capture-result', 'ok');
});

test('the finger indicator follows the agent\'s events', async () => {
  await page.uncheck('#chk-poll'); // no status poll: only the events can move the indicator
  try {
    await lift();
    await page.waitForFunction(() => document.getElementById('finger-indicator').textContent === 'No finger', null, STEP);
    await place(2);
    await page.waitForFunction(() => document.getElementById('finger-indicator').textContent === 'Finger on the scanner', null, STEP);
  } finally {
    await page.check('#chk-poll');
  }
});

test('two fingers are enrolled and listed', async () => {
  assert.equal(await page.locator('#db-rows tr[data-serial]').count(), 0, 'a fresh agent has no users');
  const fingers = [['alice', 1], ['bob', 2]];
  for (const [index, [id, finger]] of fingers.entries()) {
    await place(finger);
    await page.fill('#enroll-id', id);
    await page.waitForFunction((n) => document.getElementById('enroll-slot').value === String(n), index, STEP);
    await runDbStep('#btn-enroll');
    await page.waitForFunction((n) => document.querySelectorAll('#db-rows tr[data-serial]').length === n, index + 1, STEP);
  }
  const rows = await page.$$eval('#db-rows tr[data-serial]', (trs) => trs.map((tr) => tr.children[1].textContent));
  assert.deepEqual(rows, ['alice', 'bob']);
  assert.equal(await text('#db-count'), '2 users');
});

test('verification accepts the right finger and refuses the wrong one', async () => {
  await page.selectOption('#match-user', '0');
  await place(1);
  await runDbStep('#btn-verify');
  await waitClass('#db-outcome', 'match');
  assert.match(await text('#db-outcome'), /Match: user no\. 0 “alice”/);

  await place(2);
  await runDbStep('#btn-verify');
  await waitClass('#db-outcome', 'nomatch');
  assert.match(await text('#db-outcome'), /No match with user no\. 0/);
});

test('identification finds the enrolled finger and rejects an unknown one', async () => {
  await place(2);
  await runDbStep('#btn-identify');
  await waitClass('#db-outcome', 'match');
  assert.match(await text('#db-outcome'), /Identified: user no\. 1 “bob”/);

  await place(7);
  await runDbStep('#btn-identify');
  await waitClass('#db-outcome', 'nomatch');
  assert.match(await text('#db-outcome'), /Not registered/);
});

test('a template sent by the page is verified (escaped Base64)', async () => {
  await place(1);
  await clearResult('#capture-result');
  await press('#btn-capture');
  await waitClass('#capture-result', 'ok');
  await page.check('input[name="tpl-mode"][value="0"]'); // plain
  await clearResult('#template-result');
  await press('#btn-template');
  await waitClass('#template-result', 'ok');
  await press('#btn-tpl-use');
  assert.ok((await page.inputValue('#vt-data')).length > 0);

  await runDbStep('#btn-vt');
  await waitClass('#db-outcome', 'match');
  await place(2);
  await runDbStep('#btn-vt');
  await waitClass('#db-outcome', 'nomatch');

  await page.selectOption('#match-user', '0');
  await place(1);
  await runDbStep('#btn-verify'); // leave a pleasant state for the screenshot
  await waitClass('#db-outcome', 'match');
});

test('screenshot of the page', async () => {
  fs.mkdirSync(artifacts, { recursive: true });
  await page.evaluate(() => window.scrollTo(0, 0));
  const file = path.join(artifacts, 'webagent-page.png');
  await page.screenshot({ path: file, fullPage: true });
  assert.ok(fs.statSync(file).size > 10_000);
  assert.deepEqual(pageErrors, [], 'no script errors on the page');
});

test('on a phone the page is one compact column', async () => {
  const phone = await context.newPage();
  try {
    phone.on('pageerror', (error) => pageErrors.push(`phone: ${error.message}`));
    await phone.setViewportSize({ width: 390, height: 844 });
    await phone.goto(`${HTTP}/`);
    await phone.waitForFunction(() => document.getElementById('connection').textContent === 'Connected', null, STEP);
    const layout = await phone.evaluate(() => {
      const box = (id) => document.getElementById(id).getBoundingClientRect();
      return {
        scrollWidth: document.documentElement.scrollWidth,
        columns: getComputedStyle(document.querySelector('.layout')).gridTemplateColumns.split(' ').length,
        viewer: box('viewer').width,
        stacked: box('image-card').top > box('scanner-card').bottom,
      };
    });
    assert.ok(layout.scrollWidth <= 390, `nothing wider than the screen (${layout.scrollWidth} px)`);
    assert.equal(layout.columns, 1);
    assert.ok(layout.viewer <= 240, `a small viewer (${layout.viewer} px)`);
    assert.equal(layout.stacked, true);
    fs.mkdirSync(artifacts, { recursive: true });
    await phone.screenshot({ path: path.join(artifacts, 'webagent-phone.png'), fullPage: true });
  } finally {
    await phone.close();
  }
});

test('the page also loads over HTTPS', async () => {
  const secure = await context.newPage();
  try {
    secure.on('pageerror', (error) => pageErrors.push(`https: ${error.message}`));
    await secure.goto(`${HTTPS}/`);
    assert.equal(await secure.title(), 'Fingerprint Web Agent');
    await secure.waitForFunction(() => document.getElementById('connection').textContent === 'Connected', null, STEP);
    assert.deepEqual(pageErrors, []);
  } finally {
    await secure.close();
  }
});

test('the agent refused none of its own page\'s requests', () => {
  assert.doesNotMatch(state.agentOutput, /refused/, `agent output:\n${state.agentOutput}`);
});

test('the agent stops cleanly on SIGTERM', async () => {
  await context.close();
  context = null;
  const exit = await stopAgent();
  assert.deepEqual(exit, { code: 0, signal: null }, `agent output:\n${state.agentOutput}`);
});
