// Tests of the JavaScript client (html/js/webagent.js) against a stub agent: the exact query
// text it sends, and how it reads the agent's replies. Needs no browser and no agent binary.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const client = await import(pathToFileURL(path.resolve(here, '..', '..', 'html', 'js', 'webagent.js')).href);
const { WebAgent, WebAgentError, escapeTemplateData, parseReplyText, normaliseRetValue, base64ByteLength } = client;

const HANDLE = '4110358084330507526'; // above 2^53: must survive as text

let server;
let baseUrl;
const seen = []; // {path, query, cookie}
const replies = new Map(); // path -> body text (or function)

before(async () => {
  server = http.createServer((req, res) => {
    const [p, q] = req.url.split(/\?(.*)/s);
    seen.push({ path: p, query: q ?? null, cookie: req.headers.cookie ?? null });
    const body = replies.get(p);
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
  await assert.rejects(agent().db.enroll(HANDLE, { userSerialNo: 0, userID: 'a b' }), WebAgentError);
  await assert.rejects(agent().db.enroll(HANDLE, { userSerialNo: 0, userID: 'a&b' }), WebAgentError);
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
