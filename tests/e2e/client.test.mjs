// Tests of the JavaScript client (html/js/webagent.js) against a stub agent: the exact query
// text it sends, and how it reads the agent's replies. Needs no browser and no agent binary.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const client = await import(pathToFileURL(path.resolve(here, '..', '..', 'html', 'js', 'webagent.js')).href);
const { WebAgent, WebAgentError, escapeTemplateData, parseReplyText, normaliseRetValue, base64ByteLength, describeReply } = client;

const HANDLE = '4110358084330507526'; // above 2^53: must survive as text

let server;
let baseUrl;
const seen = []; // {path, query, cookie, sessionHeader}
const replies = new Map(); // path -> body text (or function)

before(async () => {
  server = http.createServer((req, res) => {
    const [p, q] = req.url.split(/\?(.*)/s);
    seen.push({ path: p, query: q ?? null, cookie: req.headers.cookie ?? null, sessionHeader: req.headers['x-session-id'] ?? null });
    const body = replies.get(p);
    if (typeof body === 'object' && body !== null) {
      body.handle(req, res, q); // a reply of its own: status, delay
      return;
    }
    res.writeHead(200, { 'Content-Type': 'Application/json' });
    res.end(typeof body === 'function' ? body(q) : body ?? '');
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  baseUrl = `http://127.0.0.1:${server.address().port}`;
});

after(() => new Promise((resolve) => server.close(resolve)));

function lastQuery() {
  return seen[seen.length - 1].query;
}

function agent() {
  return new WebAgent({ baseUrl, pageId: 'pageA1', setCookie: false });
}

test('every call starts with dummy, then sHandle and id', async () => {
  replies.set('/api/captureSingle', '{\n   "request" : "captureSingle",\n   "retString" : "Success",\n   "retValue" : "0"\n}\n');
  const reply = await agent().captureSingle(HANDLE, { resetTimer: 10000 });
  assert.equal(reply.ok, true);
  assert.equal(reply.retValue, 0);
  assert.match(lastQuery(), new RegExp(`^dummy=\\d+&sHandle=${HANDLE}&id=pageA1&resetTimer=10000$`));
});

test('initDevice keeps 64-bit handles exactly and an empty body means no scanner', async () => {
  replies.set('/api/initDevice', `{\n   "ScannerCount" : 1,\n   "ScannerInfos" : [\n      {\n         "DeviceHandle" : ${HANDLE},\n         "DeviceIndex" : 0,\n         "DeviceType" : "KQ20",\n         "ScannerName" : "VS-1"\n      }\n   ],\n   "retString" : "Success",\n   "retValue" : "0"\n}\n`);
  const reply = await agent().initDevice();
  assert.deepEqual(reply.scanners, [{ index: 0, name: 'VS-1', handle: HANDLE, type: 'KQ20' }]);
  assert.match(lastQuery(), /^dummy=\d+&id=pageA1$/);

  replies.set('/api/initDevice', '');
  const none = await agent().initDevice();
  assert.equal(none.ok, true);
  assert.deepEqual(none.scanners, []);
});

test('a repeated earlier reply (unknown handle) is not taken for a success', async () => {
  replies.set('/api/getParameters', '{\n   "request" : "getParameters",\n   "retString" : "Success",\n   "retValue" : "0",\n   "sessionId" : "0"\n}\n');
  const reply = await agent().getParameters(HANDLE);
  assert.equal(reply.ok, false);
  assert.equal(reply.stale, true);
  assert.match(reply.message, /does not know that scanner/);
});

test('integer and text retValue are both normalised; session refusals are explained', async () => {
  replies.set('/api/autoCapture', '{ "request": "autoCapture", "retValue": -112, "retString": "invalid session cookie" }');
  const reply = await agent().autoCapture(HANDLE);
  assert.equal(reply.retValue, -112);
  assert.equal(reply.ok, false);
  assert.match(reply.message, /invalid session cookie.*another page/);
  assert.equal(normaliseRetValue('-105'), -105);
  assert.equal(normaliseRetValue(undefined), null);
});

test('an expired session is retried once, a busy one is not', async () => {
  let calls = 0;
  replies.set('/api/startCapturing', () => (++calls === 1
    ? '{ "request": "startCapturing", "retValue": -112, "retString": "session timeout" }'
    : '{ "request": "startCapturing", "retValue": "0", "retString": "Success" }'));
  const reply = await agent().startCapturing(HANDLE);
  assert.equal(calls, 2);
  assert.equal(reply.ok, true);

  calls = 0;
  replies.set('/api/startCapturing', () => (++calls, '{ "request": "startCapturing", "retValue": -112, "retString": "invalid session cookie" }'));
  const busy = await agent().startCapturing(HANDLE);
  assert.equal(calls, 1);
  assert.equal(busy.ok, false);
});

test('setParameters sends the write names; timeout in seconds', async () => {
  replies.set('/api/setParameters', '{ "request": "setParameters", "retValue": "0", "retString": "Success", "unsupportedVariables": "brightness, sensitivity" }');
  const reply = await agent().setParameters(HANDLE, { timeout: 5, brightness: 40, sensitivity: 60, fastMode: true, securityLevel: 4, templateType: 1 });
  assert.deepEqual(reply.unsupported, ['brightness', 'sensitivity']);
  assert.match(lastQuery(), /&id=pageA1&timeout=5&brightness=40&sensitivity=60&securityLevel=4&templateType=1&fastMode=1$/);
});

test('template data is escaped with %2B and %2F, without padding', async () => {
  assert.equal(escapeTemplateData('a+b/c=='), 'a%2Bb%2Fc');
  assert.equal(base64ByteLength('QUJD'), 3);
  assert.equal(base64ByteLength('QUI='), 2);
  replies.set('/db/queryData', '{ "db": { "size": 1, "0": { "id": "alice", "template1": 180, "quality1": 90, "template2": 0, "quality2": 0 } }, "retValue": "0", "retString": "Success", "sessionId": "0" }');
  replies.set('/db/verifyTemplate', '{ "retVerify": "Success", "retValue": "0", "retString": "Success", "sessionId": "0" }');
  const reply = await agent().db.verifyTemplate(HANDLE, { templateBase64: 'Rk1S+/AA==', encrypt: 1, encryptKey: 'secret-key' });
  assert.equal(reply.matched, true);
  assert.match(lastQuery(), new RegExp(`^dummy=\\d+&sHandle=${HANDLE}&id=pageA1&tempData=Rk1S%2B%2FAA&tempLen=6&encrypt=1&extractEx=1&encryptKey=secret-key$`));
});

test('values the agent could not carry are refused before sending', async () => {
  const count = seen.length;
  await assert.rejects(agent().db.enroll(HANDLE, { userSerialNo: 0, userID: 'line\nbreak' }), WebAgentError);
  await assert.rejects(agent().db.enroll(HANDLE, { userSerialNo: 0, userID: 'broken \ud800' }), WebAgentError);
  await assert.rejects(agent().getTemplateData(HANDLE, { encrypt: 1, encryptKey: 'k=1' }), WebAgentError);
  await assert.rejects(agent().captureSingle('0'), WebAgentError);
  assert.equal(seen.length, count);
});

test('database replies: out-of-range users are caught, leftovers are ignored', async () => {
  // "verify" of user 3 in a one-user database: refused before the agent is asked
  const before = seen.length;
  const refused = await agent().db.verify(HANDLE, { userSerialNo: 3 });
  assert.equal(refused.ok, false);
  assert.match(refused.message, /no user 3/);
  assert.equal(seen.length, before + 1); // only queryData

  replies.set('/db/identify', '{ "matchedIndex": -1, "matchedID": "Not Registered", "retVerify": "Success", "retValue": "0", "retString": "Success", "sessionId": "0" }');
  const id = await agent().db.identify(HANDLE);
  assert.equal(id.found, false);
  assert.match(lastQuery(), /&id=pageA1&extractEx=1$/);

  replies.set('/db/users', '');
  const list = await agent().db.queryData(HANDLE);
  assert.deepEqual(list.users, [{ serialNo: 0, id: 'alice', template1: 180, quality1: 90, template2: 0, quality2: 0 }]);
});

test('the image URLs carry sHandle and id after dummy', () => {
  const a = agent();
  assert.match(a.imageUrl(HANDLE), new RegExp(`^${baseUrl}/img/CaptureImg\\.bmp\\?dummy=\\d+&sHandle=${HANDLE}&id=pageA1$`));
  assert.match(a.previewStreamUrl(HANDLE), /\/img\/PreviewStreaming\.bmp\?dummy=\d+&sHandle=/);
  assert.notEqual(a.imageUrl(HANDLE), a.imageUrl(HANDLE), 'a fresh URL each time');
});

test('the session identifier is fetched; network failures are errors, not silence', async () => {
  replies.set('/api/createSessionID', '{\n   "sessionId" : "2026117204936_2130706433"\n}\n');
  assert.equal(await agent().connect(), '2026117204936_2130706433');
  const gone = new WebAgent({ baseUrl: 'http://127.0.0.1:9', pageId: 'p', setCookie: false });
  await assert.rejects(gone.version(HANDLE), (e) => e instanceof WebAgentError && /cannot be reached/.test(e.message));
  assert.deepEqual(parseReplyText('  '), {});
});

// ----- pages on another origin, richer replies, aborts and events ---------------------------

const SESSION = '2026120807395_2130706433_0123456789abcdef0123456789abcdef';

/** A client that is connected with SESSION, as a page on another origin would be. */
async function connected(options = {}) {
  replies.set('/api/createSessionID', `{ "sessionId": "${SESSION}" }`);
  const a = new WebAgent({ baseUrl, pageId: 'pageB2', persistSession: false, ...options });
  await a.connect();
  return a;
}

test('on another origin the identifier goes in X-Session-Id and in image URLs, never as a cookie', async () => {
  const a = await connected();
  assert.equal(a.crossOrigin, true);
  assert.equal(seen[seen.length - 1].sessionHeader, null, 'createSessionID is a simple request: no header');
  replies.set('/api/captureSingle', '{ "request": "captureSingle", "retValue": "0", "retString": "Success" }');
  await a.captureSingle(HANDLE);
  assert.equal(seen[seen.length - 1].sessionHeader, SESSION);
  assert.equal(seen[seen.length - 1].cookie, null);
  assert.match(lastQuery(), new RegExp(`^dummy=\\d+&sHandle=${HANDLE}&id=pageB2$`), 'the operation\'s query is unchanged');
  assert.match(a.imageUrl(HANDLE), new RegExp(`&id=pageB2&sessionId=${SESSION}$`));
  assert.match(a.previewStreamUrl(HANDLE), new RegExp(`&sessionId=${SESSION}$`));
  const img = {};
  a.showImage(img, HANDLE);
  assert.equal(img.crossOrigin, 'anonymous', 'an <img> must send its Origin');

  const own = await connected({ sessionHeader: false });
  await own.captureSingle(HANDLE);
  assert.equal(seen[seen.length - 1].sessionHeader, null, 'the agent\'s own page keeps the cookie');
});

test('user IDs in any language are sent percent-encoded as UTF-8', async () => {
  replies.set('/db/enroll', '{ "retValue": "0", "retString": "Success", "quality": 87, "sessionId": "0" }');
  const reply = await agent().db.enroll(HANDLE, { userSerialNo: 0, userID: 'Zoë Smith & co+1' });
  assert.match(lastQuery(), /&userID=Zo%C3%AB%20Smith%20%26%20co%2B1&selectTemplate=0&extractEx=1$/);
  assert.equal(reply.quality, 87);
});

test('refusals carry the agent\'s detail; leftovers of earlier replies are not taken as this one\'s', async () => {
  replies.set('/api/captureSingle', JSON.stringify({
    request: 'captureSingle', retValue: -112, retString: 'invalid session cookie',
    detail: 'scanner 3 is held by another page until 08:12:40; it is freed when that page closes or after it has been idle for 5 minutes',
    heldUntil: '2026-12-08T08:12:40',
  }));
  const held = await agent().captureSingle(HANDLE);
  assert.equal(held.ok, false);
  assert.equal(held.heldUntil, '2026-12-08T08:12:40');
  assert.match(held.message, /^invalid session cookie \(code -112\): scanner 3 is held by another page until 08:12:40/);
  const words = describeReply(held);
  assert.match(words.text, /^Scanner 3 is held by another page/);
  assert.doesNotMatch(words.text, /-112/, 'plain words carry no status code');
  assert.match(words.details, /retValue -112 · retString "invalid session cookie" · held until 2026-12-08T08:12:40/);

  replies.set('/db/queryData', '{ "db": { "size": 0 }, "retValue": "0", "retString": "Success", "sessionId": "0" }');
  replies.set('/db/enroll', '{ "retValue": -112, "retString": "passed wrong parameter", "detail": "userSerialNo must be 0, the next free number", "quality": 70, "sessionId": "0" }');
  const wrong = await agent().db.enroll(HANDLE, { userSerialNo: 5 });
  assert.equal(wrong.detail, 'userSerialNo must be 0, the next free number');
  assert.equal(wrong.quality, undefined, 'a refused enrolment extracted nothing: its "quality" is an earlier one');
  assert.equal(describeReply(wrong).text, 'userSerialNo must be 0, the next free number.');

  // a success with a leftover "detail" and a failed comparison with a leftover "score"
  replies.set('/api/autoCapture', '{ "request": "autoCapture", "retValue": "0", "retString": "Success", "detail": "old" }');
  assert.equal((await agent().autoCapture(HANDLE)).detail, undefined);
  replies.set('/db/identify', '{ "retValue": "-105", "retString": "Capture timed out", "score": 80, "threshold": 40, "sessionId": "0" }');
  const late = await agent().db.identify(HANDLE);
  assert.equal(late.score, undefined);
  assert.equal(late.threshold, undefined);
});

test('verify and identify expose quality, score and threshold', async () => {
  replies.set('/db/queryData', '{ "db": { "size": 1, "0": { "id": "Zoë" } }, "retValue": "0", "retString": "Success", "sessionId": "0" }');
  replies.set('/db/verify', '{ "retVerify": "Fail", "retValue": "0", "retString": "Success", "quality": "64", "score": 12, "threshold": 45, "sessionId": "0" }');
  const v = await agent().db.verify(HANDLE, { userSerialNo: 0 });
  assert.deepEqual([v.matched, v.quality, v.score, v.threshold], [false, 64, 12, 45]);
  replies.set('/db/identify', '{ "matchedIndex": 0, "matchedID": "Zoë", "retVerify": "Success", "retValue": "0", "retString": "Success", "quality": 90, "score": 160, "threshold": 45, "sessionId": "0" }');
  const i = await agent().db.identify(HANDLE);
  assert.deepEqual([i.found, i.matchedID, i.quality, i.score, i.threshold], [true, 'Zoë', 90, 160, 45]);
  replies.set('/db/verifyTemplate', '{ "retVerify": "Success", "retValue": "0", "retString": "Success", "score": 99, "threshold": 45, "sessionId": "0" }');
  const t = await agent().db.verifyTemplate(HANDLE, { templateBase64: 'QUJD' });
  assert.deepEqual([t.matched, t.score, t.threshold], [true, 99, 45]);
});

test('a refused site and an agent that does not run are told apart', async () => {
  replies.set('/api/createSessionID', {
    handle: (req, res) => {
      res.writeHead(403, { 'Content-Type': 'text/plain' });
      res.end('this site is not allowed to use the agent: ask your administrator to add it');
    },
  });
  const refused = new WebAgent({ baseUrl, pageId: 'p', persistSession: false });
  await assert.rejects(refused.connect(), (e) => e instanceof WebAgentError && e.reason === 'refused' &&
    e.message === 'This site is not allowed to use the agent: ask your administrator to add it.' && e.status === 403);
  const gone = new WebAgent({ baseUrl: 'http://127.0.0.1:9', pageId: 'p', persistSession: false });
  await assert.rejects(gone.connect(), (e) => e.reason === 'unreachable' && /Is the Web Agent running\?/.test(e.message));
});

test('an aborted capture rejects with the signal\'s reason and stops the scanner\'s capture', async () => {
  const a = await connected();
  let hold = null; // the capture's reply, kept open until the test lets it go
  replies.set('/api/captureSingle', { handle: (req, res) => { hold = res; } });
  replies.set('/api/abortCapture', '{ "request": "abortCapture", "retValue": "0", "retString": "Success" }');
  const controller = new AbortController();
  const capture = a.captureSingle(HANDLE, { signal: controller.signal });
  while (!hold) {
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
  controller.abort();
  await assert.rejects(capture, (e) => e.name === 'AbortError');
  const deadline = Date.now() + 30_000;
  while (!seen.some((r) => r.path === '/api/abortCapture' && r.query.includes(`sHandle=${HANDLE}`))) {
    assert.ok(Date.now() < deadline, 'abortCapture was not sent');
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
  assert.equal(seen.findLast((r) => r.path === '/api/abortCapture').sessionHeader, SESSION);
  assert.equal(a.waitingOn.size, 0, 'nothing is left to stop when the page goes');
  hold.destroy();
  await assert.rejects(a.captureSingle(HANDLE, { signal: AbortSignal.abort() }), (e) => e.name === 'AbortError');
});

test('a wait begun while a stopped wait\'s abort is unanswered goes out after that abort', async () => {
  // Sent the other way round, the agent could take the new capture first and the abort would
  // stop it.
  const a = await connected();
  let holdCapture = null;
  let holdAbort = null;
  replies.set('/api/captureSingle', { handle: (req, res) => { holdCapture ??= res; } });
  replies.set('/api/abortCapture', { handle: (req, res) => { holdAbort ??= res; } });
  const controller = new AbortController();
  const first = a.captureSingle(HANDLE, { signal: controller.signal });
  while (!holdCapture) {
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
  controller.abort();
  await assert.rejects(first, (e) => e.name === 'AbortError');
  while (!holdAbort) {
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
  const captures = () => seen.filter((r) => r.path === '/api/captureSingle').length;
  const before = captures();
  replies.set('/api/captureSingle', '{ "request": "captureSingle", "retValue": "0", "retString": "Success" }');
  const second = a.captureSingle(HANDLE);
  await new Promise((resolve) => setTimeout(resolve, 300));
  assert.equal(captures(), before, 'the new capture went out before the abort was answered');
  holdAbort.writeHead(200, { 'Content-Type': 'Application/json' });
  holdAbort.end('{ "request": "abortCapture", "retValue": "0", "retString": "Success" }');
  assert.equal((await second).ok, true);
  assert.equal(captures(), before + 1);
  holdCapture.destroy();
});

test('a reload of the same tab goes on with the same identifier and page ID', async () => {
  const store = new Map();
  globalThis.sessionStorage = { getItem: (k) => store.get(k) ?? null, setItem: (k, v) => store.set(k, String(v)) };
  try {
    replies.set('/api/createSessionID', `{ "sessionId": "${SESSION}" }`);
    const first = new WebAgent({ baseUrl });
    await first.connect();
    replies.set('/api/createSessionID', '{ "sessionId": "1_1_ffffffffffffffffffffffffffffffff" }');
    const reloaded = new WebAgent({ baseUrl });
    assert.equal(await reloaded.connect(), SESSION);
    assert.equal(reloaded.pageId, first.pageId);
    const other = new WebAgent({ baseUrl: 'http://127.0.0.1:8084' });
    assert.notEqual(other.pageId, first.pageId, 'another agent, another entry');
  } finally {
    delete globalThis.sessionStorage;
  }
});

test('events arrive as DOM events and callbacks; the stream URL carries the session', async () => {
  class FakeSource extends EventTarget {
    static last = null;
    constructor(url) {
      super();
      this.url = url;
      this.readyState = 1;
      FakeSource.last = this;
    }
    close() {
      this.readyState = 2;
    }
    emit(type, data) {
      const e = new Event(type);
      e.data = data;
      this.dispatchEvent(e);
    }
  }
  const a = await connected();
  const samples = [];
  const controller = new AbortController();
  const events = a.events({ EventSource: FakeSource, signal: controller.signal, on: { enrolsample: (d) => samples.push(d) } });
  assert.match(FakeSource.last.url, new RegExp(`^${baseUrl}/api/events\\?dummy=\\d+&id=pageB2&sessionId=${SESSION}$`));
  const got = [];
  events.addEventListener('fingeron', (e) => got.push(e.detail));
  FakeSource.last.emit('fingeron', `{"sHandle": ${HANDLE}}`);
  FakeSource.last.emit('enrolsample', `{"sHandle": ${HANDLE}, "sample": 2, "samples": 4, "quality": 71}`);
  FakeSource.last.emit('somethingelse', '{}');
  assert.deepEqual(got, [{ sHandle: HANDLE }], 'a 64-bit handle stays exact');
  assert.deepEqual(samples, [{ sHandle: HANDLE, sample: 2, samples: 4, quality: 71 }]);
  const done = [];
  const stop = events.on('capturedone', (d) => done.push(d.retValue));
  FakeSource.last.emit('capturedone', `{"sHandle": ${HANDLE}, "retValue": -105}`);
  stop();
  FakeSource.last.emit('capturedone', `{"sHandle": ${HANDLE}, "retValue": 0}`);
  assert.deepEqual(done, [-105], 'on() delivers the data until stopped');
  assert.equal(events.connected, true);
  controller.abort();
  assert.equal(FakeSource.last.readyState, 2, 'aborting the signal closes the stream');
  assert.equal(events.connected, false);
});
