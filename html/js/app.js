// The agent's own page: scanner selection, capture, settings, export and the template database.
// Everything goes through the client in webagent.js.
import { WebAgent, WebAgentError, FileType, dataUrl, base64ByteLength, describeReply } from './webagent.js';

const $ = (id) => document.getElementById(id);

const agent = new WebAgent();

const state = {
  connected: false,
  scanners: [],
  handle: '',
  live: false,
  autoWaiting: false,
  autoPolls: 0,
  busy: null, // label of the operation that waits for the scanner, or null
  stopping: false, // the live preview's abort is on its way: its answer must not land on a later step
  identifying: false,
  users: [],
  timeoutMs: 0,
  pollTimer: 0,
  polling: false,
  pollFailing: false,
  lastSensor: undefined,
  waiting: null, // AbortController of the operation that waits for the scanner
  events: null, // the agent's event stream, when the agent offers one
  paramsRead: false, // the settings form shows values read from the scanner
};

// ----- small helpers ---------------------------------------------------------------------

function now() {
  return new Date().toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit' });
}

/** Adds a line to the activity log. kind: 'ok' | 'error' | 'info'. */
function log(operation, message, kind = 'info') {
  const li = document.createElement('li');
  li.className = kind;
  const time = document.createElement('time');
  time.textContent = now();
  const op = document.createElement('span');
  op.className = 'op';
  op.textContent = operation;
  const msg = document.createElement('span');
  msg.className = 'msg';
  msg.textContent = message;
  li.append(time, op, msg);
  const list = $('log');
  list.prepend(li);
  while (list.children.length > 200) {
    list.lastElementChild.remove();
  }
}

/** Puts the plain words in `el`, and the status codes and figures beneath them, smaller. */
function setWithDetails(el, words, details) {
  el.replaceChildren(words);
  if (details) {
    const small = document.createElement('small');
    small.className = 'details';
    small.textContent = details;
    el.append(small);
  }
}

/**
 * Shows a result line under a card: plain words, and below them, smaller, the status codes and
 * figures for whoever wants to look closer. kind: 'ok' | 'error' | 'wait' | ''
 */
function show(el, message, kind, details = '') {
  setWithDetails(el, message, details);
  el.className = `result ${kind || ''}`.trim();
}

/** Shows a reply's outcome in a card's result line and in the log. */
function report(el, reply, successText) {
  const { text, details } = describeReply(reply);
  const shown = reply.ok ? successText ?? text : text;
  show(el, shown, reply.ok ? 'ok' : 'error', details);
  log(reply.operation, details ? `${shown} (${details})` : shown, reply.ok ? 'ok' : 'error');
  return reply.ok;
}

function reportError(el, operation, error) {
  if (error?.name === 'AbortError') {
    show(el, 'Stopped: the scanner no longer waits for a finger.', '');
    log(operation, 'Stopped.', 'info');
    return;
  }
  const text = error instanceof WebAgentError ? error.message : `Unexpected error: ${error?.message ?? error}`;
  show(el, text, 'error');
  log(operation, text, 'error');
  if (error instanceof WebAgentError && (error.reason === 'unreachable' || error.reason === 'timeout')) {
    setConnection('error', 'Agent not reachable');
  } else if (error instanceof WebAgentError && error.reason === 'refused') {
    setConnection('error', 'Not allowed');
  }
}

function setConnection(kind, text) {
  const pill = $('connection');
  pill.className = `pill pill-${kind}`;
  pill.textContent = text;
}

function banner(text) {
  const el = $('banner');
  el.textContent = text ?? '';
  el.className = 'banner banner-error';
  el.hidden = !text;
}

function plural(n, one, many) {
  return `${n} ${n === 1 ? one : many}`;
}

function kb(bytes) {
  return bytes < 1024 ? `${bytes} bytes` : `${(bytes / 1024).toFixed(1)} KB`;
}

// ----- waiting overlay -------------------------------------------------------------------

let waitTimer = 0;

function showWait(text, withCountdown) {
  clearInterval(waitTimer);
  const started = Date.now();
  const render = () => {
    let left = '';
    if (withCountdown && state.timeoutMs > 0) {
      const s = Math.max(0, Math.ceil((state.timeoutMs - (Date.now() - started)) / 1000));
      left = s > 0 ? `${s} s left` : '';
    }
    $('viewer-wait-text').textContent = text;
    $('viewer-wait-left').textContent = left;
  };
  render();
  waitTimer = setInterval(render, 500);
  $('viewer-wait').hidden = false;
}

function hideWait() {
  clearInterval(waitTimer);
  $('viewer-wait').hidden = true;
}

/**
 * Runs an operation that may wait for a finger. Only one such operation runs at a time; the
 * controls are disabled meanwhile and the viewer shows what the scanner waits for. `action`
 * gets the signal that Stop aborts (the client then also stops the scanner's capture).
 */
async function runWaiting(label, resultEl, waitText, action, countdown = true) {
  if (state.busy) {
    show(resultEl, `Please wait: "${state.busy}" is still running.`, 'error');
    return null;
  }
  state.busy = label;
  state.waiting = new AbortController();
  updateControls();
  show(resultEl, waitText, 'wait');
  showWait(waitText, countdown);
  try {
    return await action(state.waiting.signal);
  } catch (error) {
    reportError(resultEl, label, error);
    return null;
  } finally {
    hideWait();
    state.busy = null;
    state.waiting = null;
    updateControls();
  }
}

/** Runs a quick operation, reporting network errors in the given result line. */
async function runQuick(label, resultEl, action) {
  try {
    return await action();
  } catch (error) {
    reportError(resultEl, label, error);
    return null;
  }
}

// ----- controls --------------------------------------------------------------------------

function updateControls() {
  const have = state.connected && state.handle !== '';
  const idle = have && !state.busy && !state.stopping;
  const free = idle && !state.autoWaiting;
  $('btn-init').disabled = !state.connected || !!state.busy;
  $('btn-uninit').disabled = !state.connected || state.scanners.length === 0 || !!state.busy;
  $('scanner-select').disabled = state.scanners.length === 0 || !!state.busy;
  $('btn-capture').disabled = !free;
  $('btn-preview').disabled = !(idle && !state.autoWaiting);
  $('btn-auto').disabled = !free || state.live;
  // Stop also ends an operation that waits for a finger: the agent answers the abort at once.
  $('btn-abort').disabled = !have || !(state.live || state.autoWaiting || state.busy);
  $('btn-params-read').disabled = !idle;
  $('btn-params-apply').disabled = !idle || !state.paramsRead;
  $('btn-template').disabled = !idle;
  $('btn-image-export').disabled = !idle;
  $('btn-image-save').disabled = !idle;
  const haveUsers = state.users.length > 0;
  const userChosen = haveUsers && $('match-user').value !== '';
  $('btn-db-refresh').disabled = !idle;
  $('btn-db-clear').disabled = !idle || !haveUsers;
  $('btn-enroll').disabled = !free;
  $('match-user').disabled = !haveUsers || !!state.busy;
  $('btn-verify').disabled = !free || !userChosen;
  $('btn-update').disabled = !free || !userChosen;
  $('btn-user-template').disabled = !idle || !userChosen;
  $('btn-delete').disabled = !idle || !userChosen;
  $('btn-identify').disabled = !free;
  $('btn-abort-identify').disabled = !state.identifying;
  $('btn-vt').disabled = !free;
  for (const b of document.querySelectorAll('#db-rows button')) {
    b.disabled = b.dataset.action === 'delete' ? !idle : !free;
  }
  const preview = $('btn-preview');
  preview.textContent = state.live ? 'Stop preview' : 'Live preview';
  preview.setAttribute('aria-pressed', String(state.live));
}

// ----- connection and scanners -------------------------------------------------------------

async function connect() {
  setConnection('wait', 'Connecting…');
  try {
    const id = await agent.connect();
    state.connected = true;
    setConnection('ok', 'Connected');
    $('session-info').textContent = `Session ${id} · page ${agent.pageId}`;
    banner('');
    log('createSessionID', `Connected to the agent at ${agent.baseUrl}.`, 'ok');
    show($('scanner-result'), 'Connected. Choose "Find scanners" to list the attached scanners.', 'ok');
    openEvents();
  } catch (error) {
    state.connected = false;
    setConnection('error', error?.reason === 'refused' ? 'Not allowed' : 'Agent not reachable');
    banner(`${error.message} Retrying every 3 seconds…`);
    setTimeout(connect, 3000);
  }
  updateControls();
}

// ----- the agent's events ------------------------------------------------------------------

/** Shows whether a finger lies on the chosen scanner, from the events or the status poll. */
function showFinger(on) {
  flag($('st-sensor'), on, 'Yes', 'No');
  const pill = $('finger-indicator');
  pill.hidden = on === undefined;
  pill.className = `pill ${on ? 'pill-ok' : 'pill-neutral'} finger-indicator`;
  pill.textContent = on ? 'Finger on the scanner' : 'No finger';
}

/**
 * Follows the agent's events: finger on and off, plugged scanners, enrolment samples. The
 * status poll goes on beside them, so an agent without events (or a lost stream) loses nothing.
 */
function openEvents() {
  if (state.events) {
    return;
  }
  let stream;
  try {
    stream = agent.events();
  } catch (error) {
    log('events', error.message, 'info');
    return;
  }
  state.events = stream;
  const mine = (e) => e.detail.sHandle === state.handle;
  stream.addEventListener('fingeron', (e) => mine(e) && showFinger(true));
  stream.addEventListener('fingeroff', (e) => mine(e) && showFinger(false));
  stream.addEventListener('enrolsample', (e) => {
    if (!mine(e) || state.busy !== 'enroll') {
      return;
    }
    const { sample, samples, quality } = e.detail;
    const q = Number.isInteger(quality) ? ` (quality ${quality})` : '';
    const next = sample < samples ? ' Lift the finger and place it again…' : ' Saving…';
    const text = `Sample ${sample} of ${samples} taken${q}.${next}`;
    $('viewer-wait-text').textContent = text;
    show($('db-result'), text, 'wait');
  });
  for (const name of ['plug', 'unplug']) {
    stream.addEventListener(name, (e) => {
      const n = Number(e.detail.scanners);
      const what = name === 'plug' ? 'A scanner was plugged in' : 'A scanner was unplugged';
      const text = `${what} (${plural(Number.isInteger(n) ? n : 0, 'scanner', 'scanners')} now): choose "Find scanners".`;
      show($('scanner-result'), text, '');
      log(name, text, 'info');
    });
  }
  stream.addEventListener('capturedone', (e) => {
    // an automatic capture is over: show its image at once instead of at the next poll
    if (mine(e) && state.autoWaiting && e.detail.retValue === 0) {
      schedulePoll(0);
    }
  });
  stream.addEventListener('overflow', () => log('events', 'Some events were missed; the status poll catches up.', 'info'));
  stream.addEventListener('error', (e) => {
    if (e.detail.closed) {
      log('events', 'The agent\'s events are not available; the page watches the status instead.', 'info');
      state.events = null;
    }
  });
}

async function findScanners() {
  const el = $('scanner-result');
  show(el, 'Looking for scanners…', 'wait');
  const reply = await runQuick('initDevice', el, () => agent.initDevice());
  if (!reply) {
    return;
  }
  if (!reply.ok) {
    report(el, reply);
    return;
  }
  state.scanners = reply.scanners;
  const select = $('scanner-select');
  select.replaceChildren();
  if (reply.scanners.length === 0) {
    select.append(new Option('No scanner is attached', ''));
    selectScanner('');
    report(el, reply, 'No scanner is attached. Plug one in and try again.');
    return;
  }
  for (const s of reply.scanners) {
    select.append(new Option(`${s.type} · ${s.name}`, s.handle));
  }
  report(el, reply, `Found ${plural(reply.scanners.length, 'scanner', 'scanners')}.`);
  const keep = reply.scanners.some((s) => s.handle === state.handle) ? state.handle : reply.scanners[0].handle;
  select.value = keep;
  await selectScanner(keep);
}

async function releaseScanners() {
  const el = $('scanner-result');
  if (state.live) {
    await stopLive(true);
  }
  const reply = await runQuick('uninitDevice', el, () => agent.uninitDevice());
  if (!reply) {
    return;
  }
  report(el, reply, 'Scanners released; the database was emptied.');
  if (reply.ok) {
    state.scanners = [];
    $('scanner-select').replaceChildren(new Option('No scanner yet: choose "Find scanners"', ''));
    await selectScanner('');
  }
}

async function selectScanner(handle) {
  state.handle = handle;
  state.live = false;
  state.autoWaiting = false;
  $('preview-image').removeAttribute('src');
  $('preview-image').hidden = true;
  $('viewer-badge').hidden = true;
  const s = state.scanners.find((x) => x.handle === handle);
  $('st-model').textContent = s ? s.type : '–';
  $('st-handle').textContent = s ? s.handle : '–';
  showFinger(undefined);
  showSettings(false);
  $('st-capturing').textContent = '–';
  $('st-version').textContent = '–';
  updateControls();
  if (!handle) {
    state.users = [];
    renderUsers();
    return;
  }
  const v = await runQuick('version', $('scanner-result'), () => agent.version(handle));
  if (v?.ok) {
    $('st-version').textContent = v.api;
  }
  await readParameters();
  await refreshDb();
  showCaptureImage(false);
  schedulePoll(0);
}

// ----- status polling ----------------------------------------------------------------------

function schedulePoll(delay = 1000) {
  clearTimeout(state.pollTimer);
  state.pollTimer = setTimeout(poll, delay);
}

function flag(el, value, onText, offText) {
  if (value === undefined) {
    el.textContent = '–';
    el.className = '';
    return;
  }
  el.textContent = value ? onText : offText;
  el.className = value ? 'flag-on' : 'flag-off';
}

async function poll() {
  const handle = state.handle;
  if (state.polling || !handle || !state.connected || (!$('chk-poll').checked && !state.autoWaiting)) {
    return; // a poll in flight schedules the next one itself
  }
  state.polling = true;
  try {
    const st = await agent.getScannerStatus(handle);
    if (handle !== state.handle) {
      schedulePoll(0); // another scanner was chosen meanwhile
      return;
    }
    if (state.pollFailing) {
      state.pollFailing = false;
      setConnection('ok', 'Connected');
      banner('');
      log('getScannerStatus', 'The agent answers again.', 'ok');
    }
    if (st.ok) {
      showFinger(st.sensorOn);
      flag($('st-capturing'), st.capturing, 'Yes', 'No');
      if (state.autoWaiting) {
        state.autoPolls += 1;
        if (st.imageDelivered) {
          state.autoWaiting = false;
          hideWait();
          showCaptureImage(true);
          show($('capture-result'), 'The scanner captured the finger automatically.', 'ok');
          log('autoCapture', 'Image captured automatically.', 'ok');
          updateControls();
        } else if (st.capturing === false && state.autoPolls > 2) {
          state.autoWaiting = false;
          hideWait();
          show($('capture-result'), 'Auto capture ended without an image.', 'error');
          clearCaptureImage('No image: the automatic capture ended without one.');
          log('autoCapture', 'Auto capture ended without an image.', 'error');
          updateControls();
        }
      } else if (st.imageDelivered && !state.live && !state.busy) {
        showCaptureImage(true);
      }
    } else {
      showFinger(undefined);
      $('st-capturing').textContent = '–';
      if (st.message !== state.lastSensor) {
        log('getScannerStatus', st.message, 'error');
      }
    }
    state.lastSensor = st.ok ? undefined : st.message;
  } catch (error) {
    if (!state.pollFailing) {
      state.pollFailing = true;
      setConnection('error', 'Agent not reachable');
      banner(`${error.message}`);
      log('getScannerStatus', error.message, 'error');
    }
  } finally {
    state.polling = false;
  }
  schedulePoll(1000);
}

// ----- images ------------------------------------------------------------------------------

/** Loads the scanner's current image into the viewer. */
function showCaptureImage(quietIfEmpty) {
  const img = $('capture-image');
  if (!state.handle) {
    img.hidden = true;
    $('viewer-empty').hidden = false;
    $('image-meta').textContent = '';
    return;
  }
  img.onload = () => {
    const real = img.naturalWidth > 1;
    img.hidden = !real || state.live;
    $('viewer-empty').hidden = real || state.live;
    $('image-meta').textContent = real
      ? `${img.naturalWidth} × ${img.naturalHeight} px · ${now()}`
      : quietIfEmpty ? '' : 'The scanner holds no image (captured images are released after a while).';
  };
  img.onerror = () => {
    img.hidden = true;
    $('viewer-empty').hidden = state.live;
    const text = 'The image could not be loaded from the agent.';
    $('image-meta').textContent = text;
    log('CaptureImg.bmp', text, 'error');
  };
  agent.showImage(img, state.handle);
}

/** Empties the viewer: after a failed capture the old image would pass for the new one. */
function clearCaptureImage(text) {
  const img = $('capture-image');
  img.onload = null;
  img.onerror = null;
  img.removeAttribute('src');
  img.hidden = true;
  $('viewer-empty').hidden = state.live;
  $('image-meta').textContent = text;
}

async function capture() {
  const el = $('capture-result');
  await stopLiveForCapture();
  const reply = await runWaiting('captureSingle', el, 'Place a finger on the scanner…', (signal) =>
    agent.captureSingle(state.handle, { signal }),
  );
  if (reply && report(el, reply, 'Captured.')) {
    showCaptureImage(false);
  } else {
    clearCaptureImage('No image: the capture did not succeed.');
  }
}

async function toggleLive() {
  if (state.live) {
    await stopLive(false);
    return;
  }
  const el = $('capture-result');
  const reply = await runQuick('startCapturing', el, () => agent.startCapturing(state.handle));
  if (!reply || !report(el, reply, 'Live preview running.')) {
    return;
  }
  state.live = true;
  const img = $('preview-image');
  img.onerror = () => {
    if (state.live) {
      show(el, 'The live preview stream was interrupted.', 'error');
      log('PreviewStreaming.bmp', 'The live preview stream was interrupted.', 'error');
    }
  };
  agent.showImage(img, state.handle, { preview: true });
  img.hidden = false;
  $('capture-image').hidden = true;
  $('viewer-empty').hidden = true;
  $('viewer-badge').hidden = false;
  $('image-meta').textContent = 'Live preview';
  updateControls();
}

/** Stops the live preview: closes the stream and aborts the capture. */
async function stopLive(quiet) {
  const el = $('capture-result');
  state.live = false;
  const img = $('preview-image');
  img.onerror = null;
  img.removeAttribute('src');
  img.hidden = true;
  $('viewer-badge').hidden = true;
  // Until the agent has answered the abort, nothing else may start: a capture sent meanwhile
  // could reach the scanner before the abort does and be ended by it, and the abort's answer
  // would then overwrite that capture's result.
  state.stopping = true;
  updateControls();
  try {
    const reply = await runQuick('abortCapture', el, () => agent.abortCapture(state.handle));
    if (reply && !quiet) {
      report(el, reply, 'Live preview stopped.');
    }
  } finally {
    state.stopping = false;
    updateControls();
  }
  showCaptureImage(true);
}

async function stopLiveForCapture() {
  if (state.live) {
    await stopLive(true);
    log('startCapturing', 'Live preview stopped for the capture.', 'info');
  }
}

async function autoCapture() {
  const el = $('capture-result');
  const reply = await runQuick('autoCapture', el, () => agent.autoCapture(state.handle));
  if (!reply || !report(el, reply, 'Auto capture armed: place a finger on the scanner.')) {
    clearCaptureImage('No image: the automatic capture did not start.');
    return;
  }
  state.autoWaiting = true;
  state.autoPolls = 0;
  showWait('Place a finger: the scanner captures by itself…', false);
  updateControls();
  schedulePoll(300);
}

async function abortCapture() {
  const el = $('capture-result');
  if (state.live) {
    await stopLive(false);
    return;
  }
  if (state.waiting) {
    // the client stops the scanner's capture too; the waiting operation reports its end
    state.waiting.abort();
    return;
  }
  const reply = await runQuick('abortCapture', el, () => agent.abortCapture(state.handle));
  if (reply) {
    report(el, reply, 'Capture stopped.');
  }
  state.autoWaiting = false;
  hideWait();
  updateControls();
}

// ----- parameters --------------------------------------------------------------------------

/** The settings' fields show only values read from the scanner, never the form's defaults. */
function showSettings(read) {
  state.paramsRead = read;
  $('params-fields').hidden = !read;
  $('params-empty').hidden = read;
}

async function readParameters() {
  const el = $('params-result');
  const reply = await runQuick('getParameters', el, () => agent.getParameters(state.handle));
  if (!reply) {
    return;
  }
  if (!reply.ok) {
    report(el, reply);
    return;
  }
  const p = reply.parameters;
  state.timeoutMs = Number(p.timeout) || 0;
  $('p-timeout').value = p.timeout ? Math.round(p.timeout / 1000) : '';
  $('p-brightness').value = p.brightness;
  $('p-sensitivity').value = p.sensitivity;
  $('p-brightness-out').textContent = p.brightness;
  $('p-sensitivity-out').textContent = p.sensitivity;
  setSelect($('p-security'), p.securityLevel);
  setSelect($('p-template-type'), p.templateType);
  $('p-fastmode').checked = p.fastMode;
  showSettings(true);
  show(el, 'Settings read from the scanner.', 'ok');
  updateControls();
}

function setSelect(select, value) {
  const text = String(value);
  if (![...select.options].some((o) => o.value === text)) {
    select.append(new Option(`${text} (set by another page)`, text));
  }
  select.value = text;
}

async function applyParameters(event) {
  event.preventDefault();
  const el = $('params-result');
  const timeout = Number($('p-timeout').value);
  if (!Number.isInteger(timeout) || timeout < 1 || timeout > 600) {
    show(el, 'The capture time-out must be a whole number of seconds from 1 to 600.', 'error');
    return;
  }
  const settings = {
    timeout,
    brightness: Number($('p-brightness').value),
    sensitivity: Number($('p-sensitivity').value),
    securityLevel: Number($('p-security').value),
    templateType: Number($('p-template-type').value),
    fastMode: $('p-fastmode').checked,
  };
  const reply = await runQuick('setParameters', el, () => agent.setParameters(state.handle, settings));
  if (!reply) {
    return;
  }
  const note = reply.unsupported?.length ? ` This scanner has no ${reply.unsupported.join(' or ')} control.` : '';
  report(el, reply, `Settings applied.${note}`);
  if (reply.ok) {
    const check = await runQuick('getParameters', el, () => agent.getParameters(state.handle));
    if (check?.ok) {
      state.timeoutMs = Number(check.parameters.timeout) || state.timeoutMs;
    }
  }
}

// ----- export ------------------------------------------------------------------------------

function templateMode() {
  return Number(document.querySelector('input[name="tpl-mode"]:checked').value);
}

async function exportTemplate() {
  const el = $('template-result');
  const encrypt = templateMode();
  const key = $('tpl-key').value;
  if (encrypt === 1 && key === '') {
    show(el, 'Enter an encryption key, or choose "Plain".', 'error');
    return;
  }
  const qualityLevel = Number($('tpl-quality').value || 0);
  const reply = await runQuick('getTemplateData', el, () =>
    agent.getTemplateData(state.handle, { encrypt, encryptKey: key, qualityLevel }),
  );
  if (!reply) {
    return;
  }
  const out = $('tpl-output');
  const link = $('tpl-download');
  if (!reply.ok) {
    report(el, reply);
    return;
  }
  const b64 = reply.templateBase64;
  out.value = b64;
  out.hidden = false;
  link.href = dataUrl(b64);
  link.download = encrypt ? 'fingerprint-template-encrypted.bin' : 'fingerprint-template.bin';
  link.hidden = false;
  $('btn-tpl-copy').hidden = false;
  $('btn-tpl-use').hidden = false;
  report(el, reply, `${encrypt ? 'Encrypted template' : 'Template'} ready: ${kb(base64ByteLength(b64))}.`);
}

async function copyTemplate() {
  const el = $('template-result');
  try {
    await navigator.clipboard.writeText($('tpl-output').value);
    show(el, 'Template copied to the clipboard.', 'ok');
  } catch {
    $('tpl-output').select();
    show(el, 'The browser refused the clipboard: the text is selected, press Ctrl+C.', 'error');
  }
}

function useTemplateForVerification() {
  $('vt-data').value = $('tpl-output').value;
  const encrypted = templateMode() === 1;
  $('vt-encrypted').checked = encrypted;
  $('vt-key').value = encrypted ? $('tpl-key').value : '';
  $('vt-key-field').hidden = !encrypted;
  $('vt-data').scrollIntoView({ behavior: 'smooth', block: 'center' });
  show($('template-result'), 'Template put into "Verify against a template".', 'ok');
}

const IMAGE_FORMATS = {
  [FileType.BMP]: { mime: 'image/bmp', ext: 'bmp', name: 'BMP' },
  [FileType.RAW]: { mime: 'application/octet-stream', ext: 'dat', name: 'Raw' },
  [FileType.WSQ]: { mime: 'image/x-wsq', ext: 'wsq', name: 'WSQ' },
};

function imageOptions() {
  const fileType = Number($('img-format').value);
  const options = { fileType };
  if (fileType === FileType.WSQ) {
    options.compressionRatio = Number($('img-ratio').value || 0.7);
  }
  return options;
}

async function exportImage() {
  const el = $('image-result');
  const options = imageOptions();
  const format = IMAGE_FORMATS[options.fileType];
  const reply = await runQuick('getImageData', el, () => agent.getImageData(state.handle, options));
  if (!reply) {
    return;
  }
  const link = $('img-download');
  if (!reply.ok) {
    link.hidden = true;
    report(el, reply);
    return;
  }
  link.href = dataUrl(reply.imageBase64, format.mime);
  link.download = `fingerprint.${format.ext}`;
  link.textContent = `Download fingerprint.${format.ext}`;
  link.hidden = false;
  report(el, reply, `${format.name} image ready: ${kb(base64ByteLength(reply.imageBase64))}.`);
  if (!state.live) {
    showCaptureImage(true); // the export fetched the scanner's last capture
  }
}

async function saveImage() {
  const el = $('image-result');
  const options = imageOptions();
  const reply = await runQuick('saveImageBuffer', el, () => agent.saveImageBuffer(state.handle, options));
  if (!reply) {
    return;
  }
  const link = $('img-saved-link');
  if (report(el, reply, `Saved on the agent as html${reply.path}.`) && reply.path) {
    link.href = `${reply.path}?v=${Date.now()}`;
    link.textContent = `Open ${reply.path.split('/').pop()}`;
    link.hidden = false;
  } else {
    link.hidden = true;
  }
}

// ----- database ----------------------------------------------------------------------------

function chosenUser() {
  const v = $('match-user').value;
  return v === '' ? null : Number(v);
}

function userLabel(n) {
  const u = state.users[n];
  return u ? `no. ${n} “${u.id || 'no ID'}”` : `no. ${n}`;
}

/** The database's one result: match, no match, or what happened; figures below it. */
function outcome(kind, text, details = '') {
  const el = $('db-outcome');
  el.className = `outcome ${kind}`;
  setWithDetails(el, text, details);
  el.hidden = !text;
}

/** Shows a comparison's result once: in the outcome box, the result line left empty. */
function matchOutcome(el, reply, kind, text) {
  const { details } = describeReply(reply);
  outcome(kind, text, details);
  show(el, '', 'ok');
  log(reply.operation, details ? `${text} (${details})` : text, 'ok');
}

async function refreshDb(quiet = true) {
  if (!state.handle) {
    return;
  }
  const el = $('db-result');
  const reply = await runQuick('queryData', el, () => agent.db.queryData(state.handle));
  if (!reply) {
    return;
  }
  if (!reply.ok) {
    report(el, reply);
    return;
  }
  state.users = reply.users;
  renderUsers();
  if (!quiet) {
    report(el, reply, `The database holds ${plural(state.users.length, 'user', 'users')}.`);
  }
}

function qualityCell(q, size) {
  const td = document.createElement('td');
  if (!size) {
    td.textContent = '–';
    td.className = 'muted';
    return td;
  }
  const wrap = document.createElement('span');
  wrap.className = 'quality';
  const bar = document.createElement('span');
  bar.className = 'quality-bar';
  const fill = document.createElement('span');
  fill.style.width = `${Math.max(0, Math.min(100, q))}%`;
  bar.append(fill);
  wrap.append(bar, document.createTextNode(String(q)));
  td.append(wrap);
  return td;
}

function renderUsers() {
  const users = state.users;
  $('db-count').textContent = plural(users.length, 'user', 'users');
  const body = $('db-rows');
  body.replaceChildren();
  if (users.length === 0) {
    const tr = document.createElement('tr');
    tr.className = 'empty';
    const td = document.createElement('td');
    td.colSpan = 7;
    td.textContent = 'Nobody is enrolled yet.';
    tr.append(td);
    body.append(tr);
  }
  const previous = chosenUser();
  for (const u of users) {
    const tr = document.createElement('tr');
    tr.dataset.serial = String(u.serialNo);
    const cells = [
      [String(u.serialNo), 'num'],
      [u.id || '(no ID)', u.id ? '' : 'muted'],
      [u.template1 ? `${u.template1} bytes` : 'none', u.template1 ? 'num' : 'muted'],
    ];
    for (const [text, cls] of cells) {
      const td = document.createElement('td');
      td.textContent = text;
      td.className = cls;
      tr.append(td);
    }
    tr.append(qualityCell(u.quality1, u.template1));
    const t2 = document.createElement('td');
    t2.textContent = u.template2 ? `${u.template2} bytes` : '–';
    t2.className = u.template2 ? 'num' : 'muted';
    tr.append(t2, qualityCell(u.quality2, u.template2));
    const actions = document.createElement('td');
    actions.className = 'actions';
    for (const [action, text] of [['verify', 'Verify'], ['delete', 'Delete']]) {
      const b = document.createElement('button');
      b.type = 'button';
      b.dataset.action = action;
      b.dataset.serial = String(u.serialNo);
      b.textContent = text;
      b.setAttribute('aria-label', `${text} user ${u.serialNo}`);
      if (action === 'delete') {
        b.className = 'danger-outline';
      }
      actions.append(b);
    }
    tr.append(actions);
    body.append(tr);
  }

  const match = $('match-user');
  match.replaceChildren();
  if (users.length === 0) {
    match.append(new Option('No users yet', ''));
  }
  for (const u of users) {
    match.append(new Option(`${u.serialNo} – ${u.id || '(no ID)'}`, String(u.serialNo)));
  }
  if (previous !== null && previous < users.length) {
    match.value = String(previous);
  }

  // keep a chosen existing user; otherwise (and after a new user was added) offer "new user"
  const slot = $('enroll-slot');
  const keep = slot.value !== slot.dataset.newUser ? slot.value : '';
  slot.replaceChildren(new Option(`New user (no. ${users.length})`, String(users.length)));
  for (const u of users) {
    slot.append(new Option(`Replace no. ${u.serialNo} – ${u.id || '(no ID)'}`, String(u.serialNo)));
  }
  slot.dataset.newUser = String(users.length);
  slot.value = keep !== '' && Number(keep) < users.length ? keep : String(users.length);
  highlightRow();
  updateControls();
}

function highlightRow() {
  const n = chosenUser();
  for (const tr of document.querySelectorAll('#db-rows tr[data-serial]')) {
    tr.classList.toggle('selected', Number(tr.dataset.serial) === n);
  }
}

async function enroll(event) {
  event.preventDefault();
  const el = $('db-result');
  const userID = $('enroll-id').value.trim();
  const userSerialNo = Number($('enroll-slot').value);
  const isNew = userSerialNo === state.users.length;
  if (isNew && userID === '') {
    show(el, 'Enter a user ID for the new user.', 'error');
    $('enroll-id').focus();
    return;
  }
  const four = $('enroll-four').checked;
  const qualityLevel = Number($('enroll-quality').value || 0);
  await stopLiveForCapture();
  outcome('', '');
  const wait = four
    ? 'Place the same finger four times, lifting it in between…'
    : 'Place the finger to enrol on the scanner…';
  const reply = await runWaiting('enroll', el, wait, (signal) =>
    agent.db.enroll(state.handle, { userSerialNo, userID, selectTemplate: four ? 1 : 0, qualityLevel, signal }),
    !four,
  );
  if (reply) {
    const who = isNew ? `“${userID}” as user no. ${userSerialNo}` : `user ${userLabel(userSerialNo)} again`;
    if (reply.ok) {
      if (isNew) {
        $('enroll-id').value = '';
      }
      matchOutcome(el, reply, 'match', `Enrolled ${who}.`);
    } else {
      report(el, reply);
    }
  }
  await refreshDb();
}

async function verify(n = chosenUser()) {
  if (n === null) {
    return;
  }
  const el = $('db-result');
  await stopLiveForCapture();
  outcome('', '');
  const reply = await runWaiting('verify', el, `Place the finger of user ${userLabel(n)} on the scanner…`, (signal) =>
    agent.db.verify(state.handle, { userSerialNo: n, signal }),
  );
  if (!reply) {
    return;
  }
  if (reply.ok) {
    matchOutcome(el, reply, reply.matched ? 'match' : 'nomatch', reply.matched ? `Match: user ${userLabel(n)}` : `No match with user ${userLabel(n)}`);
  } else {
    report(el, reply);
  }
}

async function update() {
  const n = chosenUser();
  if (n === null) {
    return;
  }
  const el = $('db-result');
  await stopLiveForCapture();
  outcome('', '');
  const reply = await runWaiting('update', el, `Place the finger of user ${userLabel(n)} on the scanner…`, (signal) =>
    agent.db.update(state.handle, { userSerialNo: n, signal }),
  );
  if (reply) {
    report(el, reply, `The template of user ${userLabel(n)} was replaced.`);
  }
  await refreshDb();
}

async function userTemplate() {
  const n = chosenUser();
  if (n === null) {
    return;
  }
  const el = $('db-result');
  const encrypt = templateMode();
  const encryptKey = $('tpl-key').value;
  if (encrypt === 1 && encryptKey === '') {
    show(el, 'Encrypted export is chosen in the Export section: enter its key there, or choose "Plain".', 'error');
    return;
  }
  const reply = await runQuick('db/getTemplateData', el, () =>
    agent.db.getTemplateData(state.handle, { userSerialNo: n, encrypt, encryptKey }),
  );
  if (!reply) {
    return;
  }
  if (report(el, reply, `Stored template of user ${userLabel(n)} (${kb(base64ByteLength(reply.templateBase64 ?? ''))}${encrypt ? ', encrypted' : ''}) put into "Verify against a template".`)) {
    $('vt-data').value = reply.templateBase64;
    $('vt-encrypted').checked = encrypt === 1;
    $('vt-key').value = encrypt === 1 ? encryptKey : '';
    $('vt-key-field').hidden = encrypt !== 1;
  }
}

async function deleteUser(n = chosenUser()) {
  if (n === null) {
    return;
  }
  if (!window.confirm(`Delete user ${userLabel(n)}? Later users move down by one number.`)) {
    return;
  }
  const el = $('db-result');
  const label = userLabel(n);
  const reply = await runQuick('db/delete', el, () => agent.db.delete(state.handle, n));
  if (reply) {
    report(el, reply, `Deleted user ${label}.`);
  }
  outcome('', '');
  await refreshDb();
}

async function deleteAll() {
  if (!window.confirm('Delete every enrolled user?')) {
    return;
  }
  const el = $('db-result');
  const reply = await runQuick('db/deleteAll', el, () => agent.db.deleteAll());
  if (reply) {
    report(el, reply, 'All users deleted.');
  }
  outcome('', '');
  await refreshDb();
}

async function identify() {
  const el = $('db-result');
  await stopLiveForCapture();
  outcome('', '');
  state.identifying = true;
  const n = state.users.length;
  const reply = await runWaiting('identify', el, `Place a finger: searching ${plural(n, 'user', 'users')}…`, (signal) =>
    agent.db.identify(state.handle, { signal }),
  );
  state.identifying = false;
  updateControls();
  if (!reply) {
    return;
  }
  if (!reply.ok) {
    report(el, reply);
    return;
  }
  matchOutcome(el, reply, reply.found ? 'match' : 'nomatch', reply.found ? `Identified: user ${userLabel(reply.matchedIndex)}` : 'Not registered: the finger matches nobody in the database');
  if (reply.found) {
    $('match-user').value = String(reply.matchedIndex);
    highlightRow();
  }
}

async function abortIdentify() {
  const el = $('db-result');
  if (state.identifying && state.waiting) {
    state.waiting.abort(); // stops the search and a capture that waits for the finger
    return;
  }
  const reply = await runQuick('db/abortIdentify', el, () => agent.db.abortIdentify());
  if (reply) {
    log(reply.operation, reply.ok ? 'Abort sent.' : reply.message, reply.ok ? 'ok' : 'error');
  }
}

async function verifyTemplate(event) {
  event.preventDefault();
  const el = $('db-result');
  const templateBase64 = $('vt-data').value.trim();
  if (templateBase64 === '') {
    show(el, 'Paste a template (Base64) first.', 'error');
    return;
  }
  const encrypt = $('vt-encrypted').checked ? 1 : 0;
  const encryptKey = encrypt ? $('vt-key').value : '';
  await stopLiveForCapture();
  outcome('', '');
  const reply = await runWaiting('verifyTemplate', el, 'Place a finger to compare with the template…', (signal) =>
    agent.db.verifyTemplate(state.handle, { templateBase64, encrypt, encryptKey, signal }),
  );
  if (reply?.ok) {
    matchOutcome(el, reply, reply.matched ? 'match' : 'nomatch', reply.matched ? 'Match with the pasted template' : 'No match with the pasted template');
  } else if (reply) {
    report(el, reply);
  }
}

// ----- wiring ------------------------------------------------------------------------------

function on(id, event, handler) {
  $(id).addEventListener(event, (e) => {
    Promise.resolve(handler(e)).catch((error) => {
      log(id, `Unexpected error: ${error?.message ?? error}`, 'error');
    });
  });
}

on('btn-init', 'click', findScanners);
on('btn-uninit', 'click', releaseScanners);
on('scanner-select', 'change', (e) => selectScanner(e.target.value));
on('chk-poll', 'change', () => schedulePoll(0));
on('btn-capture', 'click', capture);
on('btn-preview', 'click', toggleLive);
on('btn-auto', 'click', autoCapture);
on('btn-abort', 'click', abortCapture);
on('btn-params-read', 'click', readParameters);
on('params-form', 'submit', applyParameters);
on('p-brightness', 'input', (e) => ($('p-brightness-out').textContent = e.target.value));
on('p-sensitivity', 'input', (e) => ($('p-sensitivity-out').textContent = e.target.value));
for (const radio of document.querySelectorAll('input[name="tpl-mode"]')) {
  radio.addEventListener('change', () => ($('tpl-key-field').hidden = templateMode() !== 1));
}
on('btn-template', 'click', exportTemplate);
on('btn-tpl-copy', 'click', copyTemplate);
on('btn-tpl-use', 'click', useTemplateForVerification);
on('img-format', 'change', () => ($('img-ratio-field').hidden = Number($('img-format').value) !== FileType.WSQ));
on('btn-image-export', 'click', exportImage);
on('btn-image-save', 'click', saveImage);
on('btn-db-refresh', 'click', () => refreshDb(false));
on('btn-db-clear', 'click', deleteAll);
on('enroll-form', 'submit', enroll);
on('match-user', 'change', () => {
  highlightRow();
  updateControls();
});
on('btn-verify', 'click', () => verify());
on('btn-update', 'click', update);
on('btn-user-template', 'click', userTemplate);
on('btn-delete', 'click', () => deleteUser());
on('btn-identify', 'click', identify);
on('btn-abort-identify', 'click', abortIdentify);
on('vt-encrypted', 'change', () => ($('vt-key-field').hidden = !$('vt-encrypted').checked));
on('vt-form', 'submit', verifyTemplate);
on('btn-log-clear', 'click', () => $('log').replaceChildren());
on('db-rows', 'click', (e) => {
  const button = e.target.closest('button[data-action]');
  const row = e.target.closest('tr[data-serial]');
  if (row) {
    $('match-user').value = row.dataset.serial;
    highlightRow();
    updateControls();
  }
  if (!button) {
    return undefined;
  }
  const n = Number(button.dataset.serial);
  return button.dataset.action === 'verify' ? verify(n) : deleteUser(n);
});

// Registered before the client's own pagehide handler (which frees the scanners with a beacon
// and stops captures that a call still waits for), so that a live preview is stopped first.
window.addEventListener('pagehide', () => {
  if (state.live && state.handle) {
    agent.request('/api/abortCapture', agent.query(state.handle, agent.sessionItems()), { keepalive: true }).catch(() => {});
  }
  state.events?.close();
});

window.addEventListener('unhandledrejection', (e) => {
  log('page', `Unexpected error: ${e.reason?.message ?? e.reason}`, 'error');
});

updateControls();
connect();
