/**
 * @file A small JavaScript client for the fingerprint Web Agent.
 *
 * The agent listens on https://127.0.0.1:8083 and http://127.0.0.1:8084 and answers JSON
 * operations under `/api/` (scanners) and `/db/` (the in-memory template database). This module
 * hides the details of that protocol:
 *
 * - the session identifier from `/api/createSessionID`: sent back as the page's cookie on the
 *   agent's own page, in the `X-Session-Id` header (and a "sessionId" URL item where a header
 *   cannot go) on a page of another site; kept for a reload of the same tab and given back
 *   when the page goes away;
 * - the query text of every call: a leading `dummy` item, then `sHandle` and `id`, then the
 *   operation's own items, none of them percent-decoded by the agent;
 * - `%2B` / `%2F` escaping of Base64 template data;
 * - replies whose "retValue" is sometimes text and sometimes a number, and members that an
 *   earlier reply may have left behind;
 * - the URLs of the current image, the live preview stream and the last Base64 text;
 * - the agent's events (finger on and off, plug and unplug, capture progress) and `AbortSignal`s
 *   that also stop the scanner.
 *
 * It is a plain ES module with no dependencies. Example:
 *
 * ```js
 * import { WebAgent } from './js/webagent.js';
 * const agent = new WebAgent();                  // same origin as the page by default
 * await agent.connect();                         // session identifier -> cookie
 * const { scanners } = await agent.initDevice();
 * const h = scanners[0].handle;                  // "DeviceHandle" as decimal text
 * const shot = await agent.captureSingle(h);     // waits for a finger
 * if (shot.ok) img.src = agent.imageUrl(h);
 * const t = await agent.getTemplateData(h, { encrypt: 0 });
 * console.log(t.ok ? t.templateBase64 : t.message);
 * ```
 *
 * @module webagent
 */

/** Image formats of `getImageData` and `saveImageBuffer` ("fileType"). */
export const FileType = Object.freeze({
  /** The agent's own 8-bit grey BMP. */
  BMP: 1,
  /** The scanner library's raw image file (".dat"). */
  RAW: 2,
  /** WSQ-compressed image. */
  WSQ: 3,
});

/** Template type codes of "templateType" / "TemplateType". */
export const TemplateType = Object.freeze({
  /** ISO/IEC 19794-2 finger minutiae record. */
  ISO_19794_2: 1,
  /** ANSI INCITS 378 finger minutiae record. */
  ANSI_378: 2,
});

/**
 * Advice for the status codes the agent and its libraries answer with: what a person can do
 * about it. The agent's own "retString" says what happened; this is shown after it.
 * @type {Readonly<Record<number, string>>}
 */
export const StatusHelp = Object.freeze({
  [-1]: 'Try again.',
  [-101]: 'Choose "Find scanners" first.',
  [-102]: 'Choose "Find scanners" again.',
  [-103]: 'Check the values given.',
  [-104]: 'Capture a finger first.',
  [-105]: 'Place the finger first, or allow more time in the settings.',
  [-107]: 'Stop the live preview or the auto capture first.',
  [-108]: 'Plug the scanner in again and choose "Find scanners".',
  [-111]: 'This scanner or this agent does not offer it.',
  [-112]: 'Check the request\'s values.',
  [-113]: 'Check the key the template was encrypted with.',
  [-301]: 'Place the finger flat and centred, then try again.',
  [-302]: 'Place the finger again, flat and centred, or lower the minimum quality.',
  [-303]: 'Enrol again with the same finger, placed the same way each time.',
  [-402]: 'Try again.',
  [-403]: 'Choose "Find scanners" again.',
  [-501]: 'Delete a user first, or enrol this person again in place of one.',
});

/** Error thrown for network failures and for values the agent could not carry. */
export class WebAgentError extends Error {
  /**
   * @param {string} message what went wrong, in plain words
   * @param {{cause?: unknown, url?: string, reason?: ErrorReason, status?: number}} [details]
   */
  constructor(message, details = {}) {
    super(message, details.cause !== undefined ? { cause: details.cause } : undefined);
    this.name = 'WebAgentError';
    /** @type {string|undefined} the URL that was requested */
    this.url = details.url;
    /**
     * Why: "refused" (the agent does not let this site use it), "unreachable" (nothing
     * answered), "timeout" (no answer within `timeoutMs`), "http" (another HTTP status),
     * "value" (a value that cannot be sent), "reply" (a reply that cannot be read).
     * @type {ErrorReason}
     */
    this.reason = details.reason ?? 'value';
    /** @type {number|undefined} the HTTP status, when the agent answered one */
    this.status = details.status;
  }
}

/**
 * @typedef {'refused'|'unreachable'|'timeout'|'http'|'value'|'reply'} ErrorReason
 */

/** What users read when the agent refuses the page's site. */
export const REFUSED_ORIGIN_MESSAGE =
  'this site is not allowed to use the agent: ask your administrator to add it';

/**
 * The normalised reply of one operation.
 * @typedef {object} Reply
 * @property {string} operation  the operation name, e.g. "captureSingle" or "db/verify"
 * @property {boolean} ok        true when the operation ran and "retValue" is 0
 * @property {number|null} retValue  "retValue" as a number (null when the reply had none)
 * @property {string} retString  "retString" as the agent sent it ('' when absent)
 * @property {string} message    a plain-language sentence for people: retString plus advice
 * @property {boolean} stale     true when the agent did not run the operation and answered with
 *                               members left from an earlier reply (unknown scanner handle)
 * @property {boolean} sessionRefusal true when the agent's session check refused the call
 *                               (the scanner is held by another page, or no session was sent)
 * @property {string} [detail]   the agent's explanation of a refusal, in words a developer can
 *                               act on ("userSerialNo must be 2, the next free number")
 * @property {string} [heldUntil] when the scanner is held by another page: until when, as the
 *                               agent's local time "2026-12-08T08:12:40"
 * @property {number} [quality]  0-100, the quality of the finger just extracted
 * @property {number} [score]    the matcher's score (identify: the best one found)
 * @property {number} [threshold] the score a match needs at the current security level
 * @property {object} data       the parsed reply, 64-bit "DeviceHandle" values kept as text
 * @property {string} raw        the reply body exactly as received
 */

const SAFE_TEXT = /^[A-Za-z0-9._~!$()*,;:@/?+\-[\]{}|^]*$/;

/** Keys whose values are 64-bit integers: kept as decimal text so that no digit is lost. */
const BIG_INT_KEYS = /("DeviceHandle"\s*:\s*)(-?\d+)/g;

/**
 * Parses a reply body. Bodies may be empty (e.g. initDevice with no scanner attached).
 * @param {string} raw
 * @returns {object}
 */
export function parseReplyText(raw) {
  const text = raw.trim();
  if (text === '') {
    return {};
  }
  return JSON.parse(text.replace(BIG_INT_KEYS, '$1"$2"'));
}

/**
 * Turns "retValue" (text such as "0" or "-105", or a number) into a number.
 * @param {unknown} value
 * @returns {number|null} null when absent or not a number
 */
export function normaliseRetValue(value) {
  if (value === undefined || value === null || value === '') {
    return null;
  }
  const n = typeof value === 'number' ? value : Number.parseInt(String(value), 10);
  return Number.isFinite(n) ? n : null;
}

/**
 * A plain-language description of a status, for people.
 * @param {number|null} retValue
 * @param {string} retString
 * @param {boolean} [sessionRefusal=false] the reply is the session check's refusal
 * @param {string} [detail] the agent's own explanation ("detail"), shown in place of the
 *                          general advice when it is there
 * @returns {string}
 */
export function describeStatus(retValue, retString, sessionRefusal = false, detail = '') {
  if (retValue === 0) {
    return retString && retString !== 'Success' ? retString : 'Success.';
  }
  if (retValue === null) {
    return retString || 'The agent sent no result.';
  }
  const said = retString || `Error ${retValue}`;
  if (detail) {
    return `${said} (code ${retValue}): ${detail}`;
  }
  if (sessionRefusal) {
    return `${said} (code ${retValue}): the scanner is in use by another page, or this page's session has expired. Close the other page, or wait until the scanner is free.`;
  }
  const help = StatusHelp[retValue];
  return help ? `${said} (code ${retValue}). ${help}` : `${said} (code ${retValue}).`;
}

/**
 * A reply's outcome for people, in two parts: `text`, plain words without status codes, and
 * `details`, the codes and the agent's own texts of a failure and the figures of the reply
 * ("quality", "score", "threshold"), for whoever needs to look closer.
 * @param {Reply} reply
 * @returns {{text: string, details: string}}
 */
export function describeReply(reply) {
  const facts = [];
  // a success needs no status codes, only its figures
  if (!reply.ok && reply.retValue !== null && reply.retValue !== undefined) {
    facts.push(`retValue ${reply.retValue}`);
  }
  if (!reply.ok && reply.retString) {
    facts.push(`retString "${reply.retString}"`);
  }
  for (const key of ['quality', 'score', 'threshold']) {
    if (typeof reply[key] === 'number') {
      facts.push(`${key} ${reply[key]}`);
    }
  }
  if (reply.heldUntil) {
    facts.push(`held until ${reply.heldUntil}`);
  }
  let text;
  if (reply.ok || reply.stale || reply.retValue === null || reply.retValue === undefined) {
    text = reply.message;
  } else if (reply.detail) {
    text = sentence(reply.detail);
  } else {
    const said = sentence(reply.retString || 'The operation failed');
    const help = reply.sessionRefusal
      ? 'The scanner is in use by another page, or this page\'s session has expired.'
      : StatusHelp[reply.retValue] ?? '';
    text = help ? `${said} ${help}` : said;
  }
  return { text, details: facts.join(' · ') };
}

/** "capture timed out" -> "Capture timed out." */
function sentence(text) {
  const t = String(text).trim();
  if (t === '') {
    return '';
  }
  // a leading name from the protocol ("userSerialNo ...") keeps its spelling
  const first = /^[a-z]+[A-Z0-9_]/.test(t) ? t : t[0].toUpperCase() + t.slice(1);
  return /[.!?]$/.test(first) ? first : `${first}.`;
}

/**
 * Reads an integer member of a reply (the agent may send numbers as text).
 * @param {unknown} value
 * @returns {number|undefined}
 */
function intMember(value) {
  if (value === undefined || value === null || value === '') {
    return undefined;
  }
  const n = typeof value === 'number' ? value : Number(value);
  return Number.isInteger(n) ? n : undefined;
}

/**
 * Escapes Base64 text for "tempData": "+" and "/" become %2B and %2F; the "=" padding is left
 * out (the agent reads a value only up to the next "=" and decodes unpadded text).
 * @param {string} base64
 * @returns {string}
 */
export function escapeTemplateData(base64) {
  const clean = String(base64).replace(/\s+/g, '').replace(/=+$/, '');
  if (!/^[A-Za-z0-9+/]*$/.test(clean)) {
    throw new WebAgentError('The template is not Base64 text (only A-Z, a-z, 0-9, "+", "/" and "=" padding).');
  }
  return clean.replace(/\+/g, '%2B').replace(/\//g, '%2F');
}

/**
 * The number of bytes that Base64 text decodes to.
 * @param {string} base64
 * @returns {number}
 */
export function base64ByteLength(base64) {
  const clean = String(base64).replace(/\s+/g, '').replace(/=+$/, '');
  return Math.floor((clean.length * 3) / 4);
}

/**
 * Makes a data: URL from Base64 text, for download links.
 * @param {string} base64
 * @param {string} [mimeType='application/octet-stream']
 * @returns {string}
 */
export function dataUrl(base64, mimeType = 'application/octet-stream') {
  return `data:${mimeType};base64,${String(base64).replace(/\s+/g, '')}`;
}

/**
 * A new random page identifier (letters and digits only).
 * @returns {string}
 */
export function newPageId() {
  const bytes = new Uint8Array(8);
  globalThis.crypto.getRandomValues(bytes);
  return 'page' + Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
}

let dummyCounter = 0;
function nextDummy() {
  dummyCounter = (dummyCounter + 1) % 1000;
  return `${Date.now()}${String(dummyCounter).padStart(3, '0')}`;
}

/**
 * Checks that a text value can travel in the agent's raw query text unchanged.
 * @param {string} name
 * @param {unknown} value
 * @returns {string}
 */
function safeText(name, value) {
  const text = String(value ?? '');
  if (!SAFE_TEXT.test(text)) {
    throw new WebAgentError(
      `"${name}" may hold only letters, digits and . _ ~ ! $ ( ) * , ; : @ / ? + - [ ] { } | ^ ` +
        '(no blanks, "&", "=", "%", "#", quotes or accents): the agent reads it exactly as sent.',
    );
  }
  return text;
}

/**
 * @param {string} name
 * @param {unknown} value
 * @returns {string}
 */
function integerText(name, value) {
  const n = Number(value);
  if (!Number.isInteger(n) || n < -2147483648 || n > 2147483647) {
    throw new WebAgentError(`"${name}" must be a whole number, not "${value}".`);
  }
  return String(n);
}

/**
 * @param {string} name
 * @param {unknown} value
 * @returns {string}
 */
function handleText(name, value) {
  const text = String(value ?? '');
  if (!/^-?\d+$/.test(text) || /^-?0+$/.test(text)) {
    throw new WebAgentError(`"${name}" must be a scanner's DeviceHandle (a non-zero whole number).`);
  }
  return text;
}

/** The agent's session identifier: "<digits>_<optional minus><digits>_<32 lowercase hex>". */
const SESSION_ID = /^\d+_-?\d+_[0-9a-f]{32}$/;

/** How long a wait holds back for the answer to an earlier wait's abortCapture (ms). */
const ABORT_ANSWER_MS = 2000;

/**
 * The page's own origin, or null outside a page (Node, a worker without location) and for
 * opaque origins (file:, sandboxed frames).
 * @returns {string|null}
 */
function pageOrigin() {
  const origin = globalThis.location?.origin;
  return origin && origin !== 'null' ? origin : null;
}

/**
 * @param {string} url
 * @returns {string|null}
 */
function originOf(url) {
  try {
    return new URL(url).origin;
  } catch {
    return null;
  }
}

/**
 * Whether the agent answers at all, even with a reply the page may not read (an opaque
 * response): tells "this site is refused" from "nothing listens there".
 * @param {string} baseUrl
 * @returns {Promise<boolean>}
 */
async function answersOpaquely(baseUrl) {
  try {
    await fetch(`${baseUrl}/api/createSessionID?dummy=${nextDummy()}`, {
      mode: 'no-cors', cache: 'no-store', credentials: 'omit', signal: AbortSignal.timeout(10_000),
    });
    return true;
  } catch {
    return false;
  }
}

/**
 * A client of one agent, for one page. All operations return a {@link Reply} (extended with
 * operation-specific members) and reject only on network failures or on values that cannot be
 * sent; a status other than 0 comes back as `ok: false` with a plain `message`.
 */
export class WebAgent {
  /**
   * @param {object} [options]
   * @param {string} [options.baseUrl]  the agent's origin, e.g. "http://127.0.0.1:8084";
   *                                    defaults to the page's own origin
   * @param {string} [options.pageId]   this page's identifier ("id"); by default the one this
   *                                    tab used before a reload, or a new random one
   * @param {boolean} [options.sessionHeader] send the session identifier in the
   *                                    `X-Session-Id` header (and "sessionId" in URLs) instead
   *                                    of the cookie; by default when the page is not on the
   *                                    agent's origin, since a page can only set cookies for
   *                                    its own origin
   * @param {boolean} [options.setCookie] set `document.cookie` to the session identifier;
   *                                    by default only on the agent's own origin
   * @param {boolean} [options.persistSession=true] keep the session identifier and page ID in
   *                                    `sessionStorage`, so that a reload of the same tab goes
   *                                    on with the scanners it held
   * @param {boolean} [options.freeOnPageHide=true] when the page goes away (`pagehide`), stop
   *                                    its waiting captures and free its scanners at once
   *                                    instead of leaving them held for five minutes
   * @param {number} [options.timeoutMs=0] abort a request after this long (0: never; captures
   *                                    and identification legitimately wait)
   * @param {boolean} [options.retryExpiredSession=true] repeat a call once after "session
   *                                    timeout" / "invalid session(timeout-ed)" (the agent
   *                                    binds the scanner afresh on the next request)
   */
  constructor(options = {}) {
    const origin = pageOrigin();
    /** @type {string} the agent's origin, without a trailing "/" */
    this.baseUrl = String(options.baseUrl ?? (origin ?? 'http://127.0.0.1:8084')).replace(/\/+$/, '');
    /** @type {boolean} the page is on another origin than the agent: header, not cookie */
    this.crossOrigin = options.sessionHeader ?? (origin === null || origin !== originOf(this.baseUrl));
    this.persistSession = options.persistSession ?? true;
    this.freeOnPageHide = options.freeOnPageHide ?? true;
    const saved = options.pageId === undefined && this.persistSession ? this.loadSaved() : null;
    /** @type {string} this page's identifier, sent as "id" */
    this.pageId = safeText('id', options.pageId ?? saved?.pageId ?? newPageId());
    /** @type {string|null} the session identifier, once {@link WebAgent#connect} succeeded */
    this.sessionId = null;
    /** @private the identifier this tab had before a reload, taken up again by connect() */
    this.savedSessionId = saved?.sessionId ?? null;
    this.setCookie = options.setCookie ?? !this.crossOrigin;
    this.timeoutMs = options.timeoutMs ?? 0;
    /** @type {boolean} repeat a call once when the agent answers that the session expired */
    this.retryExpiredSession = options.retryExpiredSession ?? true;
    /** @private scanner handles with a call that waits for a finger, and how many */
    this.waitingOn = new Map();
    /** @private scanner handles with an abortCapture of a stopped wait not yet answered */
    this.aborting = new Map();
    /** @private */
    this.pageHideHooked = false;
    /** Database operations: `agent.db.enroll(...)`, `agent.db.verify(...)`, ... */
    this.db = new WebAgentDatabase(this);
  }

  /** @private the key of this agent's entry in `sessionStorage` */
  storageKey() {
    return `webagent-session ${this.baseUrl}`;
  }

  /**
   * @private
   * @returns {{sessionId: string, pageId: string}|null}
   */
  loadSaved() {
    try {
      const text = globalThis.sessionStorage?.getItem(this.storageKey());
      const saved = text ? JSON.parse(text) : null;
      if (saved && SESSION_ID.test(saved.sessionId) && SAFE_TEXT.test(saved.pageId) && saved.pageId) {
        return saved;
      }
    } catch {
      // storage disabled (sandboxed frame, privacy settings): start afresh
    }
    return null;
  }

  /** @private */
  save() {
    try {
      globalThis.sessionStorage?.setItem(this.storageKey(), JSON.stringify({ sessionId: this.sessionId, pageId: this.pageId }));
    } catch {
      // see loadSaved
    }
  }

  /**
   * Builds the query text: `dummy` first, then `sHandle` and `id`, then the given items in
   * order. Values are used as they are: the agent never percent-decodes them.
   * @param {string|number|null|undefined} sHandle
   * @param {Array<[string, string]>} [items]
   * @returns {string}
   */
  query(sHandle, items = []) {
    const parts = [`dummy=${nextDummy()}`];
    if (sHandle !== undefined && sHandle !== null) {
      parts.push(`sHandle=${handleText('sHandle', sHandle)}`);
    }
    parts.push(`id=${this.pageId}`);
    for (const [key, value] of items) {
      parts.push(`${key}=${value}`);
    }
    return parts.join('&');
  }

  /**
   * Sends one GET request and returns the reply body as text.
   * @param {string} path  e.g. "/api/version"
   * @param {string} [query]
   * @param {{keepalive?: boolean, signal?: AbortSignal}} [init]  keepalive: let the request
   *   outlive the page; signal: give up waiting (the promise rejects with the signal's reason)
   * @returns {Promise<string>}
   */
  async request(path, query, init = {}) {
    const url = `${this.baseUrl}${path}${query !== undefined ? `?${query}` : ''}`;
    const caller = init.signal;
    caller?.throwIfAborted();
    const controller = new AbortController();
    let timedOut = false;
    const timer = this.timeoutMs > 0 ? setTimeout(() => { timedOut = true; controller.abort(); }, this.timeoutMs) : null;
    const forward = () => controller.abort(caller.reason);
    caller?.addEventListener('abort', forward, { once: true });
    // On another origin the identifier travels in a header: no cookie is needed (or sent), so
    // the agent's answer is readable whatever cookies the browser holds for 127.0.0.1.
    const headers = this.crossOrigin && this.sessionId ? { 'X-Session-Id': this.sessionId } : undefined;
    try {
      const response = await fetch(url, {
        cache: 'no-store',
        credentials: this.crossOrigin ? 'omit' : 'include',
        headers,
        keepalive: init.keepalive === true,
        signal: controller.signal,
      });
      if (response.status === 403) {
        const body = await response.text().catch(() => '');
        if (this.crossOrigin || /not allowed/i.test(body)) {
          throw this.refusedError(url, body);
        }
      }
      if (!response.ok) {
        throw new WebAgentError(`The agent answered HTTP ${response.status} for ${path}.`, { url, reason: 'http', status: response.status });
      }
      return await response.text();
    } catch (error) {
      if (caller?.aborted) {
        throw caller.reason;
      }
      if (error instanceof WebAgentError) {
        throw error;
      }
      if (timedOut) {
        throw new WebAgentError(`${path}: no answer in time from ${this.baseUrl}. Is the Web Agent running?`, { cause: error, url, reason: 'timeout' });
      }
      // A browser hides why a request to another origin failed. If the agent answers a request
      // the page may not read, it runs but does not let this site in.
      if (this.crossOrigin && (await answersOpaquely(this.baseUrl))) {
        if (headers) {
          // connect() was let in, so the site was allowed: the header is what the agent refused
          throw new WebAgentError(
            `${path}: the agent at ${this.baseUrl} answers but does not accept this page's session ` +
              'header: it may be older than this client, or this site was removed from its allowed sites.',
            { cause: error, url, reason: 'refused' });
        }
        throw this.refusedError(url, '');
      }
      throw new WebAgentError(
        `${path}: the agent cannot be reached at ${this.baseUrl}. Is the Web Agent running?`,
        { cause: error, url, reason: 'unreachable' },
      );
    } finally {
      if (timer) {
        clearTimeout(timer);
      }
      caller?.removeEventListener('abort', forward);
    }
  }

  /**
   * @private
   * @param {string} url
   * @param {string} body the agent's reply text, if the browser let the page read it
   * @returns {WebAgentError}
   */
  refusedError(url, body) {
    const said = body.trim().replace(/^Forbidden:\s*/i, '');
    const error = new WebAgentError(sentence(REFUSED_ORIGIN_MESSAGE), { url, reason: 'refused', status: 403 });
    /** @type {string} the agent's own words, when the browser let the page read them */
    error.agentText = said;
    return error;
  }

  /**
   * Runs one operation and normalises its reply.
   * @param {'api'|'db'} area
   * @param {string} name   operation name, e.g. "captureSingle"
   * @param {string|number|null} sHandle
   * @param {Array<[string, string]>} [items]
   * @param {{signal?: AbortSignal}} [init]
   * @returns {Promise<Reply>}
   */
  async call(area, name, sHandle, items = [], init = {}) {
    const reply = await this.callOnce(area, name, sHandle, items, init);
    // An expired session is refused once and then forgotten by the agent: the next request
    // binds the scanner afresh, so it is repeated once.
    if (this.retryExpiredSession && reply.data.retValue === -112 &&
        (reply.retString === 'session timeout' || reply.retString === 'invalid session(timeout-ed)')) {
      return this.callOnce(area, name, sHandle, items, init);
    }
    return reply;
  }

  /**
   * Runs an operation that waits for a finger. When `signal` aborts, the call rejects with the
   * signal's reason and the scanner's capture is stopped too (the agent would otherwise go on
   * waiting for the finger and hold the scanner).
   * @private
   * @param {string} sHandle
   * @param {AbortSignal|undefined} signal
   * @param {() => Promise<T>} run
   * @param {() => Promise<unknown>} [alsoOnAbort] a further stop (identification)
   * @returns {Promise<T>}
   * @template T
   */
  async waiting(sHandle, signal, run, alsoOnAbort) {
    signal?.throwIfAborted();
    const handle = handleText('sHandle', sHandle);
    const stop = () => {
      this.stopCapture(handle);
      alsoOnAbort?.().catch(() => {});
      // The abort can overtake the request it stops: sent before the agent has begun that
      // capture, it finds nothing to stop. So it is said again a little later, unless this
      // page has started another wait on the scanner meanwhile.
      for (const delay of [500, 1500, 3000]) {
        setTimeout(() => {
          if (!this.waitingOn.has(handle)) {
            this.stopCapture(handle);
          }
        }, delay);
      }
    };
    signal?.addEventListener('abort', stop, { once: true });
    this.waitingOn.set(handle, (this.waitingOn.get(handle) ?? 0) + 1);
    try {
      // Likewise a later capture can overtake such an abort (another connection, a handshake):
      // the agent would then stop the new capture. So a wait goes out only once the abort has
      // been answered (or has had time to be).
      const aborting = this.aborting.get(handle);
      if (aborting) {
        await Promise.race([aborting, new Promise((resolve) => setTimeout(resolve, ABORT_ANSWER_MS))]);
      }
      signal?.throwIfAborted();
      return await run();
    } finally {
      signal?.removeEventListener('abort', stop);
      const left = (this.waitingOn.get(handle) ?? 1) - 1;
      if (left > 0) {
        this.waitingOn.set(handle, left);
      } else {
        this.waitingOn.delete(handle);
      }
    }
  }

  /**
   * Sends the abortCapture of a stopped wait, and keeps it until the agent answers, so that the
   * next wait on the scanner can go out after it (see {@link WebAgent#waiting}).
   * @private
   * @param {string} handle
   */
  stopCapture(handle) {
    const sent = this.abortCapture(handle).catch(() => {});
    this.aborting.set(handle, sent);
    sent.finally(() => {
      if (this.aborting.get(handle) === sent) {
        this.aborting.delete(handle);
      }
    });
  }

  /**
   * One request of {@link WebAgent#call}, without the retry.
   * @param {'api'|'db'} area
   * @param {string} name
   * @param {string|number|null} sHandle
   * @param {Array<[string, string]>} items
   * @param {{signal?: AbortSignal}} [init]
   * @returns {Promise<Reply>}
   */
  async callOnce(area, name, sHandle, items, init = {}) {
    const raw = await this.request(`/${area}/${name}`, this.query(sHandle, items), { signal: init.signal });
    let data;
    try {
      data = parseReplyText(raw);
    } catch (error) {
      throw new WebAgentError(`${area}/${name}: the agent's reply is not JSON.`, { cause: error, reason: 'reply' });
    }
    const retValue = normaliseRetValue(data.retValue);
    const retString = typeof data.retString === 'string' ? data.retString : '';
    // A scanner operation that ran always answers with its own "request" member and without
    // "sessionId"; anything else is the agent's earlier reply repeated (unknown handle).
    const stale =
      area === 'api' && name !== 'initDevice' && name !== 'uninitDevice' && retValue !== -111 &&
      (data.request !== name || Object.prototype.hasOwnProperty.call(data, 'sessionId'));
    // the session check answers -112 as a number, with its own message
    const sessionRefusal =
      retValue === -112 && typeof data.retValue === 'number' && retString !== 'passed wrong parameter';
    // "detail" explains a refusal; on a success it could only be left from an earlier reply
    const detail = !stale && retValue !== 0 && typeof data.detail === 'string' && data.detail !== '' ? data.detail : undefined;
    const heldUntil = sessionRefusal && typeof data.heldUntil === 'string' ? data.heldUntil : undefined;
    const reply = {
      operation: area === 'api' ? name : `${area}/${name}`,
      ok: !stale && retValue === 0,
      retValue: stale ? null : retValue,
      retString: stale ? '' : retString,
      message: stale
        ? 'The agent did not run this: it does not know that scanner (find the scanners again).'
        : describeStatus(retValue, retString, sessionRefusal, detail),
      stale,
      sessionRefusal: !stale && sessionRefusal,
      data,
      raw,
    };
    if (detail !== undefined) {
      reply.detail = detail;
    }
    if (heldUntil !== undefined) {
      reply.heldUntil = heldUntil;
    }
    return reply;
  }

  /**
   * Asks the agent for a session identifier. On the agent's own page it becomes the page's
   * cookie; on another origin it is sent in a header. A reload of the same tab takes up the
   * identifier (and page ID) it had, so the scanners it held stay its own. Call once before
   * the other operations.
   * @returns {Promise<string>} the session identifier
   * @throws {WebAgentError} `reason` "refused" when the agent does not let this site use it,
   *   "unreachable" when nothing answers
   */
  async connect() {
    const raw = await this.request('/api/createSessionID', `dummy=${nextDummy()}`);
    let data;
    try {
      data = parseReplyText(raw);
    } catch (error) {
      throw new WebAgentError('The agent did not send a session identifier.', { cause: error, reason: 'reply' });
    }
    if (typeof data.sessionId !== 'string' || data.sessionId === '') {
      throw new WebAgentError('The agent did not send a session identifier.', { reason: 'reply' });
    }
    this.sessionId = this.savedSessionId ?? data.sessionId;
    this.savedSessionId = null;
    if (this.persistSession) {
      this.save();
    }
    if (this.setCookie && typeof document !== 'undefined') {
      document.cookie = `${this.sessionId}; path=/; SameSite=Strict`;
    }
    this.hookPageHide();
    return this.sessionId;
  }

  /** @private frees the scanners when the page goes away (closed, reloaded, navigated off) */
  hookPageHide() {
    if (!this.freeOnPageHide || this.pageHideHooked || typeof globalThis.addEventListener !== 'function' ||
        typeof document === 'undefined') {
      return;
    }
    this.pageHideHooked = true;
    globalThis.addEventListener('pagehide', () => this.releaseOnExit());
  }

  /**
   * What the page does as it goes away: a capture it still waits for is stopped (else the agent
   * goes on waiting for the finger), then its scanners are freed with a beacon, which the
   * browser delivers even after the page is gone. Called on `pagehide` unless
   * `freeOnPageHide` is false.
   */
  releaseOnExit() {
    for (const handle of this.waitingOn.keys()) {
      // a plain GET with the identifier in the URL: no preflight, so it leaves with the page
      fetch(`${this.baseUrl}/api/abortCapture?${this.query(handle, this.sessionItems())}`, {
        cache: 'no-store', credentials: this.crossOrigin ? 'omit' : 'include', keepalive: true,
      }).catch(() => {});
    }
    const url = this.sessionClearUrl();
    const sent = typeof navigator !== 'undefined' && typeof navigator.sendBeacon === 'function' && navigator.sendBeacon(url);
    if (!sent) {
      this.sessionClear();
    }
  }

  /**
   * The session identifier as a query item ("sessionId"), for requests that cannot carry a
   * header (`<img>`, EventSource, beacons); empty before {@link WebAgent#connect}.
   * @returns {Array<[string, string]>}
   */
  sessionItems() {
    return this.sessionId ? [['sessionId', encodeURIComponent(this.sessionId)]] : [];
  }

  /** @private */
  sessionClearUrl() {
    const items = [`dummy=${nextDummy()}`, `id=${this.pageId}`, ...this.sessionItems().map(([k, v]) => `${k}=${v}`)];
    return `${this.baseUrl}/api/sessionClear?${items.join('&')}`;
  }

  /**
   * Forgets this page's scanner sessions in the agent ("sessionClear"), so that another page
   * can use the scanners at once. Uses a keep-alive request, so it also works on page unload.
   * @returns {Promise<void>}
   */
  async sessionClear() {
    try {
      await fetch(this.sessionClearUrl(), { cache: 'no-store', credentials: this.crossOrigin ? 'omit' : 'include', keepalive: true });
    } catch {
      // the agent closes the connection without a reply; nothing to report
    }
  }

  /**
   * Stops the agent process ("/api/close"). Nothing is answered.
   * @returns {Promise<void>}
   */
  async closeAgent() {
    try {
      await fetch(`${this.baseUrl}/api/close?dummy=${nextDummy()}`, { cache: 'no-store' });
    } catch {
      // the agent stops without a reply
    }
  }

  /**
   * Opens the agent's event stream: finger on and off, scanners plugged and unplugged, captures
   * started and done, each enrolment sample. Only events of this session's scanners and of
   * scanners nobody holds arrive. Close it with `close()` or the `signal` option.
   * @param {{signal?: AbortSignal, on?: WebAgentEventCallbacks,
   *          EventSource?: typeof EventSource}} [options] `on`: callbacks by event name, beside
   *   `addEventListener`; `EventSource`: an implementation where the platform has none
   * @returns {WebAgentEvents}
   */
  events(options = {}) {
    const Source = options.EventSource ?? globalThis.EventSource;
    if (typeof Source !== 'function') {
      throw new WebAgentError('This browser cannot receive the agent\'s events (no EventSource).');
    }
    const items = [`dummy=${nextDummy()}`, `id=${this.pageId}`, ...this.sessionItems().map(([k, v]) => `${k}=${v}`)];
    return new WebAgentEvents(new Source(`${this.baseUrl}/api/events?${items.join('&')}`), options);
  }

  /**
   * Shows the scanner's current image (or its live preview) in an `<img>`. On another origin
   * the element must fetch in CORS mode (`crossorigin="anonymous"`) so that the agent learns
   * which site asks; this sets it.
   * @param {HTMLImageElement} img
   * @param {string} sHandle
   * @param {{preview?: boolean}} [options] preview: the live stream instead of the last image
   */
  showImage(img, sHandle, options = {}) {
    if (this.crossOrigin) {
      img.crossOrigin = 'anonymous';
    }
    img.src = options.preview ? this.previewStreamUrl(sHandle) : this.imageUrl(sHandle);
  }

  // ----- scanners -------------------------------------------------------------------------

  /**
   * @typedef {object} ScannerInfo
   * @property {number} index   "DeviceIndex"
   * @property {string} name    "ScannerName" (the device's identification)
   * @property {string} handle  "DeviceHandle" as decimal text: pass it as `sHandle`
   * @property {string} type    "DeviceType", the model name
   */

  /**
   * Initialises the scanner library and lists the attached scanners ("initDevice").
   * @returns {Promise<Reply & {scanners: ScannerInfo[], count: number}>}
   */
  async initDevice() {
    const reply = await this.call('api', 'initDevice', null);
    const infos = Array.isArray(reply.data.ScannerInfos) ? reply.data.ScannerInfos : [];
    const scanners = reply.ok
      ? infos.map((s) => ({
          index: Number(s.DeviceIndex),
          name: String(s.ScannerName ?? ''),
          handle: String(s.DeviceHandle),
          type: String(s.DeviceType ?? ''),
        }))
      : [];
    if (reply.raw.trim() === '') {
      // an empty body is the agent's answer when no scanner is attached
      return { ...reply, ok: true, retValue: 0, retString: '', message: 'No scanner is attached.', scanners: [], count: 0 };
    }
    return { ...reply, scanners, count: reply.ok ? Number(reply.data.ScannerCount ?? scanners.length) : 0 };
  }

  /**
   * Releases the scanners and the matcher and empties the template database ("uninitDevice").
   * @returns {Promise<Reply>}
   */
  uninitDevice() {
    return this.call('api', 'uninitDevice', null);
  }

  /**
   * Sensor and capture state ("getScannerStatus"). `imageDelivered` is true when the scanner
   * delivered at least one image (live or auto capture) since the previous status call.
   * @param {string} sHandle
   * @returns {Promise<Reply & {sensorOn?: boolean, capturing?: boolean, imageDelivered?: boolean}>}
   */
  async getScannerStatus(sHandle) {
    const reply = await this.call('api', 'getScannerStatus', sHandle);
    const flag = (v) => (v === undefined ? undefined : v === 'true' || v === true);
    return {
      ...reply,
      sensorOn: flag(reply.data.SensorOn),
      capturing: flag(reply.data.IsCapturing),
      imageDelivered: flag(reply.data.IsFingerOn),
    };
  }

  /**
   * The agent's API version ("version"), e.g. "0.1".
   * @param {string} sHandle
   * @returns {Promise<Reply & {api?: string}>}
   */
  async version(sHandle) {
    const reply = await this.call('api', 'version', sHandle);
    const api = reply.stale ? undefined : reply.data.API;
    // "version" answers without retValue: having "API" is its success
    return { ...reply, ok: api !== undefined, message: api !== undefined ? `API ${api}` : reply.message, api };
  }

  /**
   * @typedef {object} ScannerParameters
   * @property {number} [timeout]        capture time-out; read back in milliseconds
   * @property {number} [brightness]
   * @property {number} [sensitivity]
   * @property {number} [securityLevel]  matcher security level
   * @property {boolean} [fastMode]      matcher fast mode
   * @property {number} [templateType]   see {@link TemplateType}
   */

  /**
   * Reads the capture and matching settings ("getParameters").
   * @param {string} sHandle
   * @returns {Promise<Reply & {parameters?: ScannerParameters}>}
   */
  async getParameters(sHandle) {
    const reply = await this.call('api', 'getParameters', sHandle);
    if (!reply.ok) {
      return reply;
    }
    const d = reply.data;
    return {
      ...reply,
      parameters: {
        timeout: d.timeout,
        brightness: d.brightness,
        sensitivity: d.sensitivity,
        securityLevel: d.securitylevel,
        fastMode: d.fastmode === true || d.fastmode === 'true' || Number(d.fastmode) > 0,
        templateType: d.TemplateType,
      },
    };
  }

  /**
   * Changes settings ("setParameters"). Only the members given are sent. Note that `timeout`
   * is given in **seconds** here (the agent multiplies it by 1000) while
   * {@link WebAgent#getParameters} reports milliseconds. `unsupported` lists the settings the
   * scanner does not have.
   * @param {string} sHandle
   * @param {{timeout?: number, brightness?: number, sensitivity?: number,
   *          fastMode?: boolean|number, securityLevel?: number, templateType?: number}} settings
   * @returns {Promise<Reply & {unsupported: string[]}>}
   */
  async setParameters(sHandle, settings) {
    const items = [];
    for (const key of ['timeout', 'brightness', 'sensitivity', 'securityLevel', 'templateType']) {
      if (settings[key] !== undefined && settings[key] !== null && settings[key] !== '') {
        items.push([key, integerText(key, settings[key])]);
      }
    }
    if (settings.fastMode !== undefined && settings.fastMode !== null) {
      items.push(['fastMode', settings.fastMode === true || Number(settings.fastMode) > 0 ? '1' : '0']);
    }
    if (items.length === 0) {
      throw new WebAgentError('setParameters needs at least one setting.');
    }
    const reply = await this.call('api', 'setParameters', sHandle, items);
    const list = typeof reply.data.unsupportedVariables === 'string' ? reply.data.unsupportedVariables : '';
    return { ...reply, unsupported: reply.ok && list ? list.split(', ') : [] };
  }

  /**
   * Stops a running live or automatic capture, or a single capture that waits
   * ("abortCapture"). The abort is answered at once, also while a capture of this scanner
   * waits for a finger; that capture then ends with the scanner's "aborted" status.
   * @param {string} sHandle
   * @param {{resetTimer?: number}} [options] image lifetime in ms (5000..600000)
   * @returns {Promise<Reply>}
   */
  abortCapture(sHandle, options = {}) {
    return this.call('api', 'abortCapture', sHandle, resetTimerItems(options));
  }

  /**
   * "isFingerOn": checks the session; answers only its "request" member.
   * @param {string} sHandle
   * @returns {Promise<Reply>}
   */
  async isFingerOn(sHandle) {
    const reply = await this.call('api', 'isFingerOn', sHandle);
    const passed = !reply.stale && reply.retValue === null;
    return { ...reply, ok: passed, message: passed ? 'Session accepted.' : reply.message };
  }

  /**
   * Captures one image and waits for it ("captureSingle"): the reply comes when a finger was
   * imaged, or when the scanner's time-out ran out. Then show {@link WebAgent#imageUrl}.
   * @param {string} sHandle
   * @param {{resetTimer?: number, signal?: AbortSignal}} [options] resetTimer: image lifetime
   *   in ms (5000..600000); signal: stop waiting and stop the capture (rejects with the
   *   signal's reason)
   * @returns {Promise<Reply>}
   */
  captureSingle(sHandle, options = {}) {
    return this.waiting(sHandle, options.signal,
      () => this.call('api', 'captureSingle', sHandle, resetTimerItems(options), { signal: options.signal }));
  }

  /**
   * Stops the capture of `sHandle` when `signal` aborts, for the operations that return at once
   * and go on capturing (live and automatic capture).
   * @private
   * @param {string} sHandle
   * @param {AbortSignal|undefined} signal
   */
  stopOnAbort(sHandle, signal) {
    if (!signal) {
      return;
    }
    const handle = handleText('sHandle', sHandle);
    signal.throwIfAborted();
    signal.addEventListener('abort', () => this.abortCapture(handle).catch(() => {}), { once: true });
  }

  /**
   * Starts continuous live capture ("startCapturing"); show {@link WebAgent#previewStreamUrl}
   * in an `<img>` and stop with {@link WebAgent#abortCapture}.
   * @param {string} sHandle
   * @param {{resetTimer?: number, signal?: AbortSignal}} [options] resetTimer: image lifetime
   *   in ms (5000..600000); signal: aborting it stops the live capture
   * @returns {Promise<Reply>}
   */
  async startCapturing(sHandle, options = {}) {
    this.stopOnAbort(sHandle, options.signal);
    return this.call('api', 'startCapturing', sHandle, resetTimerItems(options));
  }

  /**
   * Starts automatic capture ("autoCapture"): returns at once; the scanner captures when a
   * finger is placed. Poll {@link WebAgent#getScannerStatus} and reload the image when
   * `imageDelivered` is true, or listen for "capturedone" on {@link WebAgent#events}.
   * @param {string} sHandle
   * @param {{signal?: AbortSignal}} [options] aborting the signal stops the automatic capture
   * @returns {Promise<Reply>}
   */
  async autoCapture(sHandle, options = {}) {
    this.stopOnAbort(sHandle, options.signal);
    return this.call('api', 'autoCapture', sHandle);
  }

  /**
   * Extracts the template of the current image as Base64 ("getTemplateData").
   * @param {string} sHandle
   * @param {{encrypt?: 0|1, encryptKey?: string, extractEx?: 0|1, qualityLevel?: number}} [options]
   *   `encrypt` 1 encrypts with `encryptKey` (its first 32 bytes); `qualityLevel` refuses
   *   templates of lower quality; `extractEx` 1 (default) uses the extraction with capacity.
   * @returns {Promise<Reply & {templateBase64?: string, quality?: number}>}
   */
  async getTemplateData(sHandle, options = {}) {
    const items = [
      ['encrypt', integerText('encrypt', options.encrypt ?? 0)],
      ['extractEx', integerText('extractEx', options.extractEx ?? 1)],
    ];
    if (options.encryptKey) {
      items.push(['encryptKey', safeText('encryptKey', options.encryptKey)]);
    }
    if (options.qualityLevel !== undefined) {
      items.push(['qualityLevel', integerText('qualityLevel', options.qualityLevel)]);
    }
    const reply = withQuality(await this.call('api', 'getTemplateData', sHandle, items));
    return { ...reply, templateBase64: reply.ok ? String(reply.data.templateBase64 ?? '') : undefined };
  }

  /**
   * Exports the current image as Base64 ("getImageData"). A conversion that could not be made
   * answers its error ("Cannot write file", the library's message, ...).
   * @param {string} sHandle
   * @param {{fileType?: 1|2|3, compressionRatio?: number}} [options]  see {@link FileType};
   *   `compressionRatio` applies to WSQ (default 0.7)
   * @returns {Promise<Reply & {imageBase64?: string}>}
   */
  async getImageData(sHandle, options = {}) {
    const reply = await this.call('api', 'getImageData', sHandle, imageItems(options));
    const imageBase64 = reply.ok ? String(reply.data.imageBase64 ?? '') : undefined;
    if (reply.ok && !imageBase64) {
      return { ...reply, ok: false, imageBase64, message: 'The agent could not convert the image (nothing captured, or the conversion failed).' };
    }
    return { ...reply, imageBase64 };
  }

  /**
   * Saves the current image as a file beside the agent's pages ("saveImageBuffer"):
   * html/img/convertedCaptureImage.bmp, .dat or .wsq.
   * @param {string} sHandle
   * @param {{fileType?: 1|2|3, compressionRatio?: number}} [options]
   * @returns {Promise<Reply & {path?: string}>}
   */
  async saveImageBuffer(sHandle, options = {}) {
    const reply = await this.call('api', 'saveImageBuffer', sHandle, imageItems(options));
    const ext = { 1: 'bmp', 2: 'dat', 3: 'wsq' }[Number(options.fileType ?? 1)];
    return { ...reply, path: reply.ok && ext ? `/img/convertedCaptureImage.${ext}` : undefined };
  }

  /**
   * The last Base64 text the scanner exported (the `/tmp/` endpoint), or null when there is
   * none or the session was refused.
   * @param {string} sHandle
   * @returns {Promise<string|null>}
   */
  async getLastBase64(sHandle) {
    const raw = await this.request('/tmp/last.json', this.imageQuery(sHandle));
    try {
      const data = JSON.parse(raw);
      return typeof data.dataBase64 === 'string' ? data.dataBase64 : null;
    } catch {
      return null; // a blank image or nothing: no text
    }
  }

  /**
   * @param {string} sHandle
   * @returns {string}
   */
  imageQuery(sHandle) {
    // An <img> cannot send a header, so the session identifier rides in the URL as well.
    const session = this.sessionItems().map(([k, v]) => `&${k}=${v}`).join('');
    return `dummy=${nextDummy()}&sHandle=${handleText('sHandle', sHandle)}&id=${this.pageId}${session}`;
  }

  /**
   * URL of the scanner's current image (a BMP, or a 1x1 GIF when there is none). A fresh URL
   * on every call, so that setting it as `img.src` always loads the latest image. On another
   * origin give the `<img>` `crossorigin="anonymous"` (or use {@link WebAgent#showImage}).
   * @param {string} sHandle
   * @returns {string}
   */
  imageUrl(sHandle) {
    return `${this.baseUrl}/img/CaptureImg.bmp?${this.imageQuery(sHandle)}`;
  }

  /**
   * URL of the live preview: a multipart stream of BMP frames for an `<img>`. Clear the
   * `<img>`'s src to close it.
   * @param {string} sHandle
   * @returns {string}
   */
  previewStreamUrl(sHandle) {
    return `${this.baseUrl}/img/PreviewStreaming.bmp?${this.imageQuery(sHandle)}`;
  }
}

/**
 * The database operations (`/db/`) of a {@link WebAgent}; reach them as `agent.db`.
 * Users are numbered 0, 1, 2, ... by position ("userSerialNo"); deleting a user renumbers the
 * later ones, so read {@link WebAgentDatabase#queryData} again after a deletion.
 */
export class WebAgentDatabase {
  /** @param {WebAgent} agent */
  constructor(agent) {
    /** @private */
    this.agent = agent;
  }

  /**
   * Enrols a finger ("enroll"): creates user `userSerialNo` when it equals the user count, or
   * replaces that user's templates. Captures once, or four times with `selectTemplate` 1 (the
   * scanner library keeps the best two). Waits for the finger(s); "enrolsample" events tell
   * each sample taken. `userID` may hold any text (it is sent percent-encoded as UTF-8).
   * @param {string} sHandle
   * @param {{userSerialNo: number, userID?: string, selectTemplate?: 0|1, extractEx?: 0|1,
   *          qualityLevel?: number, signal?: AbortSignal}} options
   * @returns {Promise<Reply & {quality?: number}>}
   */
  async enroll(sHandle, options) {
    const items = [
      ['userSerialNo', integerText('userSerialNo', options.userSerialNo)],
      ['userID', userIdText(options.userID)],
      ['selectTemplate', integerText('selectTemplate', options.selectTemplate ?? 0)],
      ['extractEx', integerText('extractEx', options.extractEx ?? 1)],
    ];
    if (options.qualityLevel !== undefined) {
      items.push(['qualityLevel', integerText('qualityLevel', options.qualityLevel)]);
    }
    return withQuality(await this.agent.waiting(sHandle, options.signal,
      () => this.agent.call('db', 'enroll', sHandle, items, { signal: options.signal })));
  }

  /**
   * Replaces a user's first template from one capture ("update").
   * @param {string} sHandle
   * @param {{userSerialNo: number, extractEx?: 0|1, qualityLevel?: number,
   *          signal?: AbortSignal}} options
   * @returns {Promise<Reply & {quality?: number}>}
   */
  async update(sHandle, options) {
    const refused = await this.checkUser(sHandle, 'update', options.userSerialNo, options.signal);
    return refused ?? withQuality(await this.agent.waiting(sHandle, options.signal,
      () => this.agent.call('db', 'update', sHandle, matchItems(options, true), { signal: options.signal })));
  }

  /**
   * Captures a finger and compares it with user `userSerialNo` ("verify"). `matched` is true
   * or false when the comparison ran, undefined otherwise; `score` and `threshold` say how
   * near it came.
   * @param {string} sHandle
   * @param {{userSerialNo: number, extractEx?: 0|1, qualityLevel?: number,
   *          signal?: AbortSignal}} options
   * @returns {Promise<Reply & {matched?: boolean, quality?: number, score?: number, threshold?: number}>}
   */
  async verify(sHandle, options) {
    const refused = await this.checkUser(sHandle, 'verify', options.userSerialNo, options.signal);
    if (refused) {
      return refused;
    }
    const reply = await this.agent.waiting(sHandle, options.signal,
      () => this.agent.call('db', 'verify', sHandle, matchItems(options, true), { signal: options.signal }));
    return withVerifyResult(withScore(withQuality(reply)));
  }

  /**
   * Captures a finger and compares it with a template given by the page ("verifyTemplate").
   * @param {string} sHandle
   * @param {{templateBase64: string, encrypt?: 0|1, encryptKey?: string, extractEx?: 0|1,
   *          qualityLevel?: number, signal?: AbortSignal}} options  `encrypt` 1 when the
   *          template was exported encrypted (then `encryptKey` is the key it was encrypted with)
   * @returns {Promise<Reply & {matched?: boolean, score?: number, threshold?: number}>}
   */
  async verifyTemplate(sHandle, options) {
    const clean = String(options.templateBase64 ?? '').replace(/\s+/g, '');
    const escaped = escapeTemplateData(clean);
    if (clean.replace(/=+$/, '').length > 1023) {
      throw new WebAgentError('The template is too long: at most 1023 Base64 characters.');
    }
    const items = [
      ['tempData', escaped],
      ['tempLen', String(base64ByteLength(clean))],
      ['encrypt', integerText('encrypt', options.encrypt ?? 0)],
      ['extractEx', integerText('extractEx', options.extractEx ?? 1)],
    ];
    if (options.encryptKey) {
      items.push(['encryptKey', safeText('encryptKey', options.encryptKey)]);
    }
    if (options.qualityLevel !== undefined) {
      items.push(['qualityLevel', integerText('qualityLevel', options.qualityLevel)]);
    }
    const reply = await this.agent.waiting(sHandle, options.signal,
      () => this.agent.call('db', 'verifyTemplate', sHandle, items, { signal: options.signal }));
    return withVerifyResult(withScore(reply));
  }

  /**
   * Captures a finger and searches all users ("identify"). `matchedIndex` is the user's serial
   * number, or -1 (with `matchedID` "Not Registered") when nobody matched; `score` is the best
   * score found. Stop a running identification with {@link WebAgentDatabase#abortIdentify} or
   * the `signal` option (which also stops a capture that waits for the finger).
   * @param {string} sHandle
   * @param {{extractEx?: 0|1, qualityLevel?: number, signal?: AbortSignal}} [options]
   * @returns {Promise<Reply & {matchedIndex?: number, matchedID?: string, found?: boolean,
   *          quality?: number, score?: number, threshold?: number}>}
   */
  async identify(sHandle, options = {}) {
    const reply = withScore(withQuality(await this.agent.waiting(sHandle, options.signal,
      () => this.agent.call('db', 'identify', sHandle, matchItems(options, false), { signal: options.signal }),
      () => this.abortIdentify())));
    if (!reply.ok) {
      return reply;
    }
    const matchedIndex = Number(reply.data.matchedIndex);
    const matchedID = String(reply.data.matchedID ?? '');
    return { ...reply, matchedIndex, matchedID, found: matchedIndex >= 0 && matchedID !== 'Not Registered' };
  }

  /**
   * Stops an identification that is running ("abortIdentify"); answered at once.
   * @returns {Promise<Reply>}
   */
  abortIdentify() {
    return this.agent.call('db', 'abortIdentify', null);
  }

  /**
   * Removes one user ("delete"); later users move down by one.
   * @param {string} sHandle
   * @param {number} userSerialNo
   * @returns {Promise<Reply>}
   */
  async delete(sHandle, userSerialNo) {
    const refused = await this.checkUser(sHandle, 'delete', userSerialNo);
    return refused ?? this.agent.call('db', 'delete', sHandle, [['userSerialNo', integerText('userSerialNo', userSerialNo)]]);
  }

  /**
   * Removes every user ("deleteAll").
   * @returns {Promise<Reply>}
   */
  deleteAll() {
    return this.agent.call('db', 'deleteAll', null);
  }

  /**
   * @typedef {object} UserRecord
   * @property {number} serialNo   position in the database ("userSerialNo")
   * @property {string} id         the user ID given at enrolment
   * @property {number} template1  size in bytes of the first template
   * @property {number} quality1
   * @property {number} template2  size of the second template (0 for single enrolment)
   * @property {number} quality2
   */

  /**
   * Lists the users ("queryData").
   * @param {string} sHandle  any scanner's handle (required by the agent, not used)
   * @returns {Promise<Reply & {users?: UserRecord[]}>}
   */
  async queryData(sHandle) {
    const reply = await this.agent.call('db', 'queryData', sHandle);
    if (!reply.ok || typeof reply.data.db !== 'object' || reply.data.db === null) {
      return reply;
    }
    const db = reply.data.db;
    const size = Number(db.size ?? 0);
    const users = [];
    for (let i = 0; i < size; i += 1) {
      const u = db[String(i)] ?? {};
      users.push({
        serialNo: i,
        id: String(u.id ?? ''),
        template1: Number(u.template1 ?? 0),
        quality1: Number(u.quality1 ?? 0),
        template2: Number(u.template2 ?? 0),
        quality2: Number(u.quality2 ?? 0),
      });
    }
    return { ...reply, users };
  }

  /**
   * The number of enrolled users (from "queryData").
   * @param {string} sHandle
   * @returns {Promise<number>}
   */
  async count(sHandle) {
    const reply = await this.queryData(sHandle);
    if (!reply.ok) {
      throw new WebAgentError(reply.message);
    }
    return reply.users.length;
  }

  /**
   * A user's first template as Base64 ("getTemplateData" under /db/), plain or encrypted.
   * @param {string} sHandle
   * @param {{userSerialNo: number, encrypt?: 0|1, encryptKey?: string}} options
   * @returns {Promise<Reply & {templateBase64?: string}>}
   */
  async getTemplateData(sHandle, options) {
    const refused = await this.checkUser(sHandle, 'getTemplateData', options.userSerialNo);
    if (refused) {
      return refused;
    }
    const items = [
      ['userSerialNo', integerText('userSerialNo', options.userSerialNo)],
      ['encrypt', integerText('encrypt', options.encrypt ?? 0)],
    ];
    if (options.encryptKey) {
      items.push(['encryptKey', safeText('encryptKey', options.encryptKey)]);
    }
    const reply = await this.agent.call('db', 'getTemplateData', sHandle, items);
    const ok = reply.ok && typeof reply.data.templateBase64 === 'string';
    return { ...reply, ok, templateBase64: ok ? reply.data.templateBase64 : undefined };
  }

  /**
   * The agent answers "0" with the text of status 0 for a user number outside the database,
   * which reads like a success; so the number is checked against "queryData" first.
   * @private
   * @param {string} sHandle
   * @param {string} name
   * @param {number} userSerialNo
   * @param {AbortSignal} [signal]
   * @returns {Promise<Reply|null>} a refusal, or null when the user exists
   */
  async checkUser(sHandle, name, userSerialNo, signal) {
    const n = Number(integerText('userSerialNo', userSerialNo));
    signal?.throwIfAborted();
    const list = await this.queryData(sHandle);
    signal?.throwIfAborted();
    if (!list.ok) {
      return list;
    }
    if (n >= 0 && n < list.users.length) {
      return null;
    }
    return {
      operation: `db/${name}`,
      ok: false,
      retValue: null,
      retString: '',
      message: list.users.length === 0
        ? 'The database is empty: enrol a finger first.'
        : `There is no user ${n}: the users are numbered 0 to ${list.users.length - 1}.`,
      stale: false,
      sessionRefusal: false,
      data: {},
      raw: '',
    };
  }
}

function resetTimerItems(options) {
  return options.resetTimer !== undefined ? [['resetTimer', integerText('resetTimer', options.resetTimer)]] : [];
}

function imageItems(options) {
  const items = [];
  if (options.compressionRatio !== undefined) {
    const ratio = Number(options.compressionRatio);
    if (!Number.isFinite(ratio) || ratio <= 0) {
      throw new WebAgentError('"compressionRatio" must be a positive number.');
    }
    items.push(['compressionRatio', String(ratio)]);
  }
  items.push(['fileType', integerText('fileType', options.fileType ?? FileType.BMP)]);
  return items;
}

function matchItems(options, withUser) {
  const items = [];
  if (withUser) {
    items.push(['userSerialNo', integerText('userSerialNo', options.userSerialNo)]);
  }
  items.push(['extractEx', integerText('extractEx', options.extractEx ?? 1)]);
  if (options.qualityLevel !== undefined) {
    items.push(['qualityLevel', integerText('qualityLevel', options.qualityLevel)]);
  }
  return items;
}

/**
 * "userID" as sent: any text, percent-encoded as UTF-8 (the agent decodes it).
 * @param {unknown} value
 * @returns {string}
 */
function userIdText(value) {
  const text = String(value ?? '');
  if (/[\u0000-\u001f\u007f]/.test(text)) {
    throw new WebAgentError('"userID" may not hold control characters (line breaks, tabs).');
  }
  try {
    return encodeURIComponent(text);
  } catch (error) {
    // a lone surrogate cannot be written as UTF-8
    throw new WebAgentError('"userID" is not valid text (a broken character).', { cause: error });
  }
}

/** Adds "quality" (0-100) of a reply that extracted a template. */
function withQuality(reply) {
  const quality = intMember(reply.data.quality);
  // the agent's database reply keeps members of earlier replies: only a reply that ran (or
  // refused the finger for its quality) speaks of this finger
  if (quality === undefined || !(reply.ok || reply.retValue === -302)) {
    return reply;
  }
  return { ...reply, quality };
}

/** Adds the matcher's "score" and "threshold" of a comparison that ran. */
function withScore(reply) {
  if (!reply.ok) {
    return reply;
  }
  const out = { ...reply };
  const score = intMember(reply.data.score);
  const threshold = intMember(reply.data.threshold);
  if (score !== undefined) {
    out.score = score;
  }
  if (threshold !== undefined) {
    out.threshold = threshold;
  }
  return out;
}

function withVerifyResult(reply) {
  if (!reply.ok) {
    return reply;
  }
  const r = reply.data.retVerify;
  const matched = r === 'Success' ? true : r === 'Fail' ? false : undefined;
  return {
    ...reply,
    matched,
    message: matched === true ? 'The finger matches.' : matched === false ? 'The finger does not match.' : reply.message,
  };
}

/**
 * The names of the agent's events.
 * - "fingeron", "fingeroff": {sHandle}, a finger was placed on or lifted off the scanner
 * - "plug", "unplug": {scanners, sHandle?}, the number of scanners after the change
 * - "capturestarted": {sHandle, mode}, mode "capture", "live", "enroll", "verify", "identify", ...
 * - "capturedone": {sHandle, retValue}, a capture ended with this status
 * - "enrolsample": {sHandle, sample, samples, quality}, sample n (1-based) of the samples needed
 * - "overflow": {}, the page read too slowly and events were lost: read the state afresh
 * @type {ReadonlyArray<WebAgentEventName>}
 */
export const EVENT_NAMES = Object.freeze([
  'fingeron', 'fingeroff', 'plug', 'unplug', 'capturestarted', 'capturedone', 'enrolsample', 'overflow',
]);

/**
 * @typedef {'fingeron'|'fingeroff'|'plug'|'unplug'|'capturestarted'|'capturedone'|'enrolsample'|'overflow'} WebAgentEventName
 */

/**
 * The data of each event.
 * @typedef {object} WebAgentEventMap
 * @property {{sHandle: string}} fingeron
 * @property {{sHandle: string}} fingeroff
 * @property {{scanners: number, sHandle?: string}} plug
 * @property {{scanners: number, sHandle?: string}} unplug
 * @property {{sHandle: string, mode: string}} capturestarted
 * @property {{sHandle: string, retValue: number}} capturedone
 * @property {{sHandle: string, sample: number, samples: number, quality: number}} enrolsample
 * @property {Record<string, never>} overflow
 */

/**
 * Callbacks by event name.
 * @typedef {{[K in WebAgentEventName]?: (data: WebAgentEventMap[K]) => void}} WebAgentEventCallbacks
 */

/**
 * The agent's event stream ({@link WebAgent#events}). Each event arrives as a `CustomEvent`
 * whose `detail` is the event's data (an object; "sHandle" as text). Besides the names of
 * {@link EVENT_NAMES} it dispatches "open" when the stream is (re)connected and "error" when it
 * broke (`detail.closed` true when it will not come back, e.g. the agent's stream limit was
 * reached; otherwise the browser reconnects by itself).
 */
export class WebAgentEvents extends EventTarget {
  /**
   * @param {EventSource} source
   * @param {{signal?: AbortSignal, on?: WebAgentEventCallbacks}} [options]
   */
  constructor(source, options = {}) {
    super();
    /** @private */
    this.source = source;
    /** @type {boolean} true once closed by close() or the signal */
    this.closed = false;
    const callbacks = options.on ?? {};
    for (const name of EVENT_NAMES) {
      source.addEventListener(name, (message) => {
        let data;
        try {
          data = parseReplyText(String(message.data ?? '').replace(/("sHandle"\s*:\s*)(-?\d+)/g, '$1"$2"'));
        } catch {
          data = { text: String(message.data ?? '') };
        }
        this.dispatchEvent(new CustomEvent(name, { detail: data }));
        callbacks[name]?.(data);
      });
    }
    source.addEventListener('open', () => this.dispatchEvent(new CustomEvent('open', { detail: {} })));
    source.addEventListener('error', () => {
      const closed = source.readyState === 2; // EventSource.CLOSED
      this.dispatchEvent(new CustomEvent('error', { detail: { closed } }));
    });
    if (options.signal) {
      if (options.signal.aborted) {
        this.close();
      } else {
        options.signal.addEventListener('abort', () => this.close(), { once: true });
      }
    }
  }

  /**
   * Calls `callback` with the data of each event `name`; returns a function that stops it.
   * @template {WebAgentEventName} K
   * @param {K} name
   * @param {(data: WebAgentEventMap[K]) => void} callback
   * @returns {() => void}
   */
  on(name, callback) {
    const listener = (event) => callback(/** @type {CustomEvent} */ (event).detail);
    this.addEventListener(name, listener);
    return () => this.removeEventListener(name, listener);
  }

  /** @type {boolean} the stream is open now */
  get connected() {
    return !this.closed && this.source.readyState === 1; // EventSource.OPEN
  }

  /** Closes the stream; the agent frees its slot. */
  close() {
    if (!this.closed) {
      this.closed = true;
      this.source.close();
    }
  }
}
