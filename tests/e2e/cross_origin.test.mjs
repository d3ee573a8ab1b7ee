// A web application on a site of its own uses the agent through the client, in a real browser.
//
// A small static server on 127.0.0.1:9000 (listed with --allow-origin) and on 127.0.0.1:9001
// (not listed) serves a page that loads a copy of the client (html/js/webagent.js) and drives
// the agent at http://127.0.0.1:8084: connect, list the scanners, capture, show the image,
// enrol, verify, identify, receive events, abort a waiting capture. Beside it: a second tab
// that the held scanner refuses, a reload that goes on with the scanner, a closed tab that
// frees it, a cookie of another application on 127.0.0.1 that must not disturb the agent's
// own page, and the messages a refused site and a stopped agent give.
//
// Environment as for e2e.test.mjs (WEBAGENT_BIN, WEBAGENT_VIRTUAL_SCANNER, CHROMIUM_BIN). The
// agent and the two site ports are fixed: run it inside tests/isolated.sh (ctest does). Every
// wait is bounded generously and ends on a condition, never on the machine's speed.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
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

const AGENT = 'http://127.0.0.1:8084';
const SITE = 'http://127.0.0.1:9000'; // allowed
const OTHER_SITE = 'http://127.0.0.1:9001'; // not allowed
const BOUND = 30_000; // what a freed scanner or a stopped capture may take at most, generously

let agent = null;
let agentExit = null;
let sites = [];
let browser = null;
let context = null;
let page = null; // the application's tab on the allowed site
let handle = '';
const pageErrors = [];

// The application's page: the client, an image and a status line; the test drives the client
// through `window.app`.
const APP_PAGE = `<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Front desk</title></head>
<body>
<p id="status">Connecting…</p>
<img id="shot" alt="">
<script type="module">
import { WebAgent, EVENT_NAMES } from '/webagent.js';
const agentUrl = new URLSearchParams(location.search).get('agent') ?? '${AGENT}';
const agent = new WebAgent({ baseUrl: agentUrl });
const events = [];
window.app = { agent, events, failure: null, stream: null };
window.app.ready = agent.connect().then(
  (id) => {
    document.getElementById('status').textContent = 'Connected';
    const stream = agent.events();
    for (const name of EVENT_NAMES) {
      stream.addEventListener(name, (e) => events.push({ name, ...e.detail }));
    }
    stream.addEventListener('open', () => events.push({ name: 'open' }));
    window.app.stream = stream;
    return id;
  },
  (error) => {
    document.getElementById('status').textContent = error.message;
    window.app.failure = { reason: error.reason, message: error.message };
    return null;
  });
</script>
</body></html>
`;

// ----- helpers -----------------------------------------------------------------------------

/** The HTML example of README.md's "Use it from your own web application", as it stands. */
function readmeExample() {
  const readme = fs.readFileSync(path.join(repo, 'README.md'), 'utf8');
  const section = readme.split(/^## Use it from your own web application$/m)[1] ?? '';
  const example = /```html\n([\s\S]*?)```/.exec(section.split(/^## /m)[0]);
  assert.ok(example, 'README.md has the example');
  return `<!doctype html><meta charset="utf-8"><title>Example</title>\n${example[1]}`;
}

/** Serves the application's page, README's example and a copy of the client on 127.0.0.1:port. */
function serveSite(port) {
  const client = fs.readFileSync(path.join(repo, 'html', 'js', 'webagent.js'));
  const server = http.createServer((req, res) => {
    const url = new URL(req.url, `http://127.0.0.1:${port}`);
    if (url.pathname === '/webagent.js') {
      res.writeHead(200, { 'Content-Type': 'text/javascript; charset=utf-8' });
      res.end(client);
    } else if (url.pathname === '/example.html') {
      res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
      res.end(readmeExample());
    } else if (url.pathname === '/') {
      res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
      res.end(APP_PAGE);
    } else {
      res.writeHead(404);
      res.end();
    }
  });
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', () => resolve(server));
  });
}

/** Opens the application's page in a new tab and waits until its client connected or failed. */
async function openApp(url = `${SITE}/`) {
  const tab = await context.newPage();
  tab.on('pageerror', (error) => pageErrors.push(`${url}: ${error.message}`));
  await tab.goto(url);
  await tab.waitForFunction(() => window.app?.ready !== undefined, null, STEP);
  await tab.evaluate(() => window.app.ready);
  return tab;
}

/** Runs one client call in a tab and returns the reply without its raw text. */
function run(tab, fn, arg) {
  return tab.evaluate(async ([source, a]) => {
    // eslint-disable-next-line no-new-func
    const reply = await new Function('app', 'arg', `return (${source})(app, arg);`)(window.app, a);
    if (reply && typeof reply === 'object') {
      const { raw, data, ...rest } = reply;
      return rest;
    }
    return reply;
  }, [fn.toString(), arg]);
}

const capture = (tab) => run(tab, (app, h) => app.agent.captureSingle(h), handle);

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
  }
  return agentExit;
}

// ----- set-up and tear-down ----------------------------------------------------------------

before(async () => {
  for (const [what, file] of [['agent', agentBin], ['virtual-scanner', controlBin], ['chromium', chromiumBin]]) {
    assert.ok(fs.existsSync(file), `${what} not found at ${file}`);
  }
  assert.equal(await answers(`${AGENT}/`), false, 'something already answers on port 8084: run this inside tests/isolated.sh');

  state.workDir = fs.mkdtempSync(path.join(os.tmpdir(), 'webagent-cross-'));
  fs.cpSync(path.join(repo, 'html'), path.join(state.workDir, 'html'), { recursive: true });
  fs.mkdirSync(path.join(state.workDir, 'xdg'), { mode: 0o700 });
  fs.mkdirSync(path.join(state.workDir, 'config'));
  sites = [await serveSite(9000), await serveSite(9001)];

  agent = spawn(agentBin, ['--allow-origin', SITE], {
    cwd: state.workDir,
    env: {
      ...process.env,
      XDG_RUNTIME_DIR: path.join(state.workDir, 'xdg'),
      XDG_CONFIG_HOME: path.join(state.workDir, 'config'), // no allowed origins but the one above
      WEBAGENT_VIRTUAL_SCANNERS: '1',
    },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  agent.stdout.on('data', (d) => (state.agentOutput += d));
  agent.stderr.on('data', (d) => (state.agentOutput += d));
  agent.on('exit', (code, signal) => (agentExit = { code, signal }));
  await until('the agent to answer', async () => {
    if (agentExit) {
      throw new Error(`the agent ended at start with status ${agentExit.code}`);
    }
    return answers(`${AGENT}/`);
  });
  await until('the virtual scanner control socket', () => control('list').then(() => true));

  browser = await chromium.launch({
    executablePath: chromiumBin,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-quic', '--no-first-run',
      '--disable-component-update', '--disable-sync'],
  });
  context = await browser.newContext();
  context.setDefaultTimeout(WAIT);
});

after(async () => {
  try {
    if (browser) {
      await browser.close();
    }
  } finally {
    try {
      await stopAgent();
    } finally {
      for (const s of sites) {
        s.closeAllConnections?.();
        s.close();
      }
      if (state.workDir) {
        fs.rmSync(state.workDir, { recursive: true, force: true });
      }
    }
  }
});

process.once('exit', () => {
  if (agent && !agentExit) {
    agent.kill('SIGKILL');
  }
});

// ----- the scenario --------------------------------------------------------------------------

test('a page on a listed site connects, lists the scanner, captures and shows the image', async () => {
  page = await openApp();
  const state = await page.evaluate(() => ({ failure: window.app.failure, id: window.app.agent.sessionId, cross: window.app.agent.crossOrigin }));
  assert.equal(state.failure, null, 'the client connected');
  assert.equal(state.cross, true);
  assert.match(state.id, /^\d+_-?\d+_[0-9a-f]{32}$/);
  assert.equal(await page.evaluate(() => document.cookie), '', 'no cookie is set on the application\'s site');

  const list = await run(page, (app) => app.agent.initDevice());
  assert.equal(list.ok, true, list.message);
  assert.equal(list.scanners.length, 1);
  handle = list.scanners[0].handle;
  assert.ok((await control('list')).includes(handle));

  await place(1);
  const shot = await capture(page);
  assert.equal(shot.ok, true, shot.message);
  await page.evaluate((h) => window.app.agent.showImage(document.getElementById('shot'), h), handle);
  await page.waitForFunction(() => {
    const img = document.getElementById('shot');
    return img.complete && img.naturalWidth === 320 && img.naturalHeight === 480;
  }, null, STEP);
  // the image is readable by the page's script: the agent let this site see it
  const dark = await page.evaluate(() => {
    const img = document.getElementById('shot');
    const canvas = document.createElement('canvas');
    canvas.width = img.naturalWidth;
    canvas.height = img.naturalHeight;
    const ctx = canvas.getContext('2d');
    ctx.drawImage(img, 0, 0);
    return ctx.getImageData(0, 0, canvas.width, canvas.height).data.filter((v, i) => i % 4 === 0 && v < 128).length;
  });
  assert.ok(dark > 1000, `the image shows a finger (${dark} dark pixels)`);
});

test('it enrols, verifies and identifies', async () => {
  await place(1);
  const enrolled = await run(page, (app, h) => app.agent.db.enroll(h, { userSerialNo: 0, userID: 'alice' }), handle);
  assert.equal(enrolled.ok, true, enrolled.message);
  const same = await run(page, (app, h) => app.agent.db.verify(h, { userSerialNo: 0 }), handle);
  assert.equal(same.matched, true, same.message);
  await place(2);
  const other = await run(page, (app, h) => app.agent.db.verify(h, { userSerialNo: 0 }), handle);
  assert.equal(other.matched, false, other.message);
  await place(1);
  const found = await run(page, (app, h) => app.agent.db.identify(h), handle);
  assert.equal(found.found, true, found.message);
  assert.equal(found.matchedID, 'alice');
});

test('a name in any language, the quality and the match scores reach the page', async () => {
  // Serial number 0 is free again: an enrolment over an existing user keeps that user's ID.
  const cleared = await run(page, (app) => app.agent.db.deleteAll());
  assert.equal(cleared.ok, true, cleared.message);
  await place(1);
  const enrolled = await run(page, (app, h) => app.agent.db.enroll(h, { userSerialNo: 0, userID: 'Zoë Smith' }), handle);
  assert.equal(enrolled.ok, true, enrolled.message);
  assert.ok(Number.isInteger(enrolled.quality) && enrolled.quality >= 0 && enrolled.quality <= 100, `quality ${enrolled.quality}`);
  const users = await run(page, (app, h) => app.agent.db.queryData(h), handle);
  assert.equal(users.users[0].id, 'Zoë Smith');

  const same = await run(page, (app, h) => app.agent.db.verify(h, { userSerialNo: 0 }), handle);
  assert.equal(same.ok, true, same.message);
  assert.equal(same.matched, true);
  assert.ok(Number.isInteger(same.score) && Number.isInteger(same.threshold), `score ${same.score}, threshold ${same.threshold}`);
  assert.ok(same.score >= same.threshold);

  await place(2);
  const other = await run(page, (app, h) => app.agent.db.verify(h, { userSerialNo: 0 }), handle);
  assert.equal(other.matched, false, other.message);
  assert.ok(other.score < other.threshold, `score ${other.score}, threshold ${other.threshold}`);

  await place(1);
  const found = await run(page, (app, h) => app.agent.db.identify(h), handle);
  assert.equal(found.found, true, found.message);
  assert.equal(found.matchedID, 'Zoë Smith');
  assert.ok(Number.isInteger(found.score));
});

test('the page receives the scanner\'s events', async () => {
  const seen = await until('finger and capture events at the page', async () => {
    const events = await page.evaluate(() => window.app.events);
    const names = new Set(events.filter((e) => e.name === 'open' || e.sHandle === handle).map((e) => e.name));
    return ['fingeron', 'capturestarted', 'capturedone'].every((n) => names.has(n)) ? events : null;
  });
  const done = seen.find((e) => e.name === 'capturedone' && e.sHandle === handle);
  assert.equal(typeof done.retValue, 'number');
});

test('aborting a waiting capture also stops it in the agent', async () => {
  const set = await run(page, (app, h) => app.agent.setParameters(h, { timeout: 90 }), handle); // far beyond BOUND
  assert.equal(set.ok, true, set.message);
  await lift();
  await page.evaluate(() => window.app.events.splice(0));
  const outcome = page.evaluate((h) => {
    window.app.controller = new AbortController();
    return window.app.agent.captureSingle(h, { signal: window.app.controller.signal }).then(
      () => 'resolved', (e) => e.name);
  }, handle);
  try {
    await until('the capture to start', () => page.evaluate((h) => window.app.events.some((e) => e.name === 'capturestarted' && e.sHandle === h), handle));
  } finally {
    await page.evaluate(() => window.app.controller.abort());
  }
  assert.equal(await outcome, 'AbortError');
  // without the abort the agent would wait 90 s for a finger
  await until('the capture to end in the agent', () => page.evaluate(
    (h) => window.app.events.some((e) => e.name === 'capturedone' && e.sHandle === h && e.retValue !== 0), handle), BOUND);
});

test('another tab is refused while this page holds the scanner, and learns until when', async () => {
  const second = await openApp();
  try {
    const refused = await capture(second);
    assert.equal(refused.ok, false);
    assert.equal(refused.retValue, -112);
    assert.equal(refused.retString, 'invalid session cookie');
    assert.match(refused.detail, /held by another page/);
    assert.match(refused.heldUntil, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d$/);
    assert.match(refused.message, /held by another page/);
  } finally {
    await second.close();
  }
});

test('a reload goes on with the same session and the scanner', async () => {
  const before = await page.evaluate(() => [window.app.agent.sessionId, window.app.agent.pageId]);
  await page.reload();
  await page.waitForFunction(() => window.app?.ready !== undefined, null, STEP);
  await page.evaluate(() => window.app.ready);
  const afterReload = await page.evaluate(() => [window.app.agent.sessionId, window.app.agent.pageId]);
  assert.deepEqual(afterReload, before);
  await place(1);
  const shot = await capture(page);
  assert.equal(shot.ok, true, shot.message);
});

test('closing the page frees the scanner for another at once', async () => {
  const second = await openApp();
  try {
    assert.equal((await capture(second)).retValue, -112, 'held while the first page is open');
    await page.close(); // pagehide: the client's beacon frees the scanner
    page = null;
    await until('the scanner to be free for the second page', async () => (await capture(second)).ok, BOUND);
    // give it back, for the steps that follow
    await run(second, (app) => app.agent.sessionClear());
  } finally {
    await second.close();
  }
});

test('a cookie of another application on 127.0.0.1 changes nothing', async () => {
  // the agent's own page holds the scanner with its cookie ...
  const own = await context.newPage();
  own.on('pageerror', (error) => pageErrors.push(`own page: ${error.message}`));
  await own.goto(`${AGENT}/`);
  await own.waitForFunction(() => document.getElementById('connection').textContent === 'Connected', null, STEP);
  const ownCapture = () => own.evaluate(async (h) => {
    const r = await fetch(`/api/captureSingle?dummy=${Date.now()}&sHandle=${h}&id=ownpage`, { cache: 'no-store' });
    return JSON.parse(await r.text());
  }, handle);
  await place(1);
  assert.equal(Number((await ownCapture()).retValue), 0);

  // ... an application on another port of 127.0.0.1 sets a cookie (cookies know no ports) ...
  const app = await openApp();
  try {
    await app.evaluate(() => {
      document.cookie = 'theme=dark; path=/';
    });
    assert.match(await own.evaluate(() => document.cookie), /theme=dark/, 'the cookie reaches the agent\'s page too');
    // ... and the own page goes on as before
    const again = await ownCapture();
    assert.equal(Number(again.retValue), 0, JSON.stringify(again));

    // the application's own calls, sent with every cookie the browser has, are not disturbed
    await own.evaluate(() => fetch(`/api/sessionClear?dummy=${Date.now()}&id=ownpage`, { cache: 'no-store' }).catch(() => {}));
    const withCookies = await app.evaluate(async ([base, h]) => {
      const r = await fetch(`${base}/api/captureSingle?dummy=${Date.now()}&sHandle=${h}&id=${window.app.agent.pageId}`, {
        credentials: 'include', headers: { 'X-Session-Id': window.app.agent.sessionId }, cache: 'no-store',
      });
      return JSON.parse(await r.text());
    }, [AGENT, handle]);
    assert.equal(Number(withCookies.retValue), 0, JSON.stringify(withCookies));
    assert.equal((await capture(app)).ok, true);
    await run(app, (a) => a.agent.sessionClear()); // free for the next step, without a race
  } finally {
    await app.close();
    await own.close();
  }
});

test('the README\'s example works from another origin', async () => {
  await place(1);
  const example = await context.newPage();
  try {
    example.on('pageerror', (error) => pageErrors.push(`example: ${error.message}`));
    await example.goto(`${SITE}/example.html`);
    await example.waitForFunction(() => document.getElementById('out').textContent !== '', null, STEP);
    assert.match(await example.locator('#out').innerText(), /^The finger matches\. \(score \d+, needs \d+\)$/);
    await example.waitForFunction(() => document.getElementById('finger').naturalWidth === 320, null, STEP);
  } finally {
    await example.close();
  }
});

test('a site that is not listed is told so, and a stopped agent is told apart', async () => {
  const refused = await openApp(`${OTHER_SITE}/`);
  try {
    const failure = await refused.evaluate(() => window.app.failure);
    assert.equal(failure?.reason, 'refused', JSON.stringify(failure));
    assert.equal(await refused.locator('#status').innerText(),
      'This site is not allowed to use the agent: ask your administrator to add it.');
  } finally {
    await refused.close();
  }
  const nobody = await openApp(`${SITE}/?agent=http://127.0.0.1:8099`);
  try {
    const failure = await nobody.evaluate(() => window.app.failure);
    assert.equal(failure?.reason, 'unreachable', JSON.stringify(failure));
    assert.match(failure.message, /the agent cannot be reached at http:\/\/127\.0\.0\.1:8099\. Is the Web Agent running\?/);
  } finally {
    await nobody.close();
  }
  assert.deepEqual(pageErrors, [], 'no script errors on the pages');
});

test('the agent stops cleanly', async () => {
  await browser.close();
  browser = null;
  const exit = await stopAgent();
  assert.deepEqual(exit, { code: 0, signal: null }, `agent output:\n${state.agentOutput}`);
});
