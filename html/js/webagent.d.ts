// Type declarations of webagent.js, generated from its JSDoc comments with TypeScript:
//   tsc webagent.js --allowJs --declaration --emitDeclarationOnly --lib es2022,dom \
//     --target es2022 --module es2022 --outDir .
// Generate them again after changing the module's interface (the client tests check that
// every export is declared here).
/**
 * Parses a reply body. Bodies may be empty (e.g. initDevice with no scanner attached).
 * @param {string} raw
 * @returns {object}
 */
export function parseReplyText(raw: string): object;
/**
 * Turns "retValue" (text such as "0" or "-105", or a number) into a number.
 * @param {unknown} value
 * @returns {number|null} null when absent or not a number
 */
export function normaliseRetValue(value: unknown): number | null;
/**
 * A plain-language description of a status, for people.
 * @param {number|null} retValue
 * @param {string} retString
 * @param {boolean} [sessionRefusal=false] the reply is the session check's refusal
 * @param {string} [detail] the agent's own explanation ("detail"), shown in place of the
 *                          general advice when it is there
 * @returns {string}
 */
export function describeStatus(retValue: number | null, retString: string, sessionRefusal?: boolean, detail?: string): string;
/**
 * A reply's outcome for people, in two parts: `text`, plain words without status codes, and
 * `details`, the codes and the agent's own texts of a failure and the figures of the reply
 * ("quality", "score", "threshold"), for whoever needs to look closer.
 * @param {Reply} reply
 * @returns {{text: string, details: string}}
 */
export function describeReply(reply: Reply): {
    text: string;
    details: string;
};
/**
 * Escapes Base64 text for "tempData": "+" and "/" become %2B and %2F; the "=" padding is left
 * out (the agent reads a value only up to the next "=" and decodes unpadded text).
 * @param {string} base64
 * @returns {string}
 */
export function escapeTemplateData(base64: string): string;
/**
 * The number of bytes that Base64 text decodes to.
 * @param {string} base64
 * @returns {number}
 */
export function base64ByteLength(base64: string): number;
/**
 * Makes a data: URL from Base64 text, for download links.
 * @param {string} base64
 * @param {string} [mimeType='application/octet-stream']
 * @returns {string}
 */
export function dataUrl(base64: string, mimeType?: string): string;
/**
 * A new random page identifier (letters and digits only).
 * @returns {string}
 */
export function newPageId(): string;
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
export const FileType: Readonly<{
    /** The agent's own 8-bit grey BMP. */
    BMP: 1;
    /** The scanner library's raw image file (".dat"). */
    RAW: 2;
    /** WSQ-compressed image. */
    WSQ: 3;
}>;
/** Template type codes of "templateType" / "TemplateType". */
export const TemplateType: Readonly<{
    /** ISO/IEC 19794-2 finger minutiae record. */
    ISO_19794_2: 1;
    /** ANSI INCITS 378 finger minutiae record. */
    ANSI_378: 2;
}>;
/**
 * Advice for the status codes the agent and its libraries answer with: what a person can do
 * about it. The agent's own "retString" says what happened; this is shown after it.
 * @type {Readonly<Record<number, string>>}
 */
export const StatusHelp: Readonly<Record<number, string>>;
/** Error thrown for network failures and for values the agent could not carry. */
export class WebAgentError extends Error {
    /**
     * @param {string} message what went wrong, in plain words
     * @param {{cause?: unknown, url?: string, reason?: ErrorReason, status?: number}} [details]
     */
    constructor(message: string, details?: {
        cause?: unknown;
        url?: string;
        reason?: ErrorReason;
        status?: number;
    });
    /** @type {string|undefined} the URL that was requested */
    url: string | undefined;
    /**
     * Why: "refused" (the agent does not let this site use it), "unreachable" (nothing
     * answered), "timeout" (no answer within `timeoutMs`), "http" (another HTTP status),
     * "value" (a value that cannot be sent), "reply" (a reply that cannot be read).
     * @type {ErrorReason}
     */
    reason: ErrorReason;
    /** @type {number|undefined} the HTTP status, when the agent answered one */
    status: number | undefined;
}
/**
 * @typedef {'refused'|'unreachable'|'timeout'|'http'|'value'|'reply'} ErrorReason
 */
/** What users read when the agent refuses the page's site. */
export const REFUSED_ORIGIN_MESSAGE: "this site is not allowed to use the agent: ask your administrator to add it";
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
    constructor(options?: {
        baseUrl?: string;
        pageId?: string;
        sessionHeader?: boolean;
        setCookie?: boolean;
        persistSession?: boolean;
        freeOnPageHide?: boolean;
        timeoutMs?: number;
        retryExpiredSession?: boolean;
    });
    /** @type {string} the agent's origin, without a trailing "/" */
    baseUrl: string;
    /** @type {boolean} the page is on another origin than the agent: header, not cookie */
    crossOrigin: boolean;
    persistSession: boolean;
    freeOnPageHide: boolean;
    /** @type {string} this page's identifier, sent as "id" */
    pageId: string;
    /** @type {string|null} the session identifier, once {@link WebAgent#connect} succeeded */
    sessionId: string | null;
    /** @private the identifier this tab had before a reload, taken up again by connect() */
    private savedSessionId;
    setCookie: boolean;
    timeoutMs: number;
    /** @type {boolean} repeat a call once when the agent answers that the session expired */
    retryExpiredSession: boolean;
    /** @private scanner handles with a call that waits for a finger, and how many */
    private waitingOn;
    /** @private */
    private pageHideHooked;
    /** Database operations: `agent.db.enroll(...)`, `agent.db.verify(...)`, ... */
    db: WebAgentDatabase;
    /** @private the key of this agent's entry in `sessionStorage` */
    private storageKey;
    /**
     * @private
     * @returns {{sessionId: string, pageId: string}|null}
     */
    private loadSaved;
    /** @private */
    private save;
    /**
     * Builds the query text: `dummy` first, then `sHandle` and `id`, then the given items in
     * order. Values are used as they are: the agent never percent-decodes them.
     * @param {string|number|null|undefined} sHandle
     * @param {Array<[string, string]>} [items]
     * @returns {string}
     */
    query(sHandle: string | number | null | undefined, items?: Array<[string, string]>): string;
    /**
     * Sends one GET request and returns the reply body as text.
     * @param {string} path  e.g. "/api/version"
     * @param {string} [query]
     * @param {{keepalive?: boolean, signal?: AbortSignal}} [init]  keepalive: let the request
     *   outlive the page; signal: give up waiting (the promise rejects with the signal's reason)
     * @returns {Promise<string>}
     */
    request(path: string, query?: string, init?: {
        keepalive?: boolean;
        signal?: AbortSignal;
    }): Promise<string>;
    /**
     * @private
     * @param {string} url
     * @param {string} body the agent's reply text, if the browser let the page read it
     * @returns {WebAgentError}
     */
    private refusedError;
    /**
     * Runs one operation and normalises its reply.
     * @param {'api'|'db'} area
     * @param {string} name   operation name, e.g. "captureSingle"
     * @param {string|number|null} sHandle
     * @param {Array<[string, string]>} [items]
     * @param {{signal?: AbortSignal}} [init]
     * @returns {Promise<Reply>}
     */
    call(area: 'api' | 'db', name: string, sHandle: string | number | null, items?: Array<[string, string]>, init?: {
        signal?: AbortSignal;
    }): Promise<Reply>;
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
    private waiting;
    /**
     * One request of {@link WebAgent#call}, without the retry.
     * @param {'api'|'db'} area
     * @param {string} name
     * @param {string|number|null} sHandle
     * @param {Array<[string, string]>} items
     * @param {{signal?: AbortSignal}} [init]
     * @returns {Promise<Reply>}
     */
    callOnce(area: 'api' | 'db', name: string, sHandle: string | number | null, items: Array<[string, string]>, init?: {
        signal?: AbortSignal;
    }): Promise<Reply>;
    /**
     * Asks the agent for a session identifier. On the agent's own page it becomes the page's
     * cookie; on another origin it is sent in a header. A reload of the same tab takes up the
     * identifier (and page ID) it had, so the scanners it held stay its own. Call once before
     * the other operations.
     * @returns {Promise<string>} the session identifier
     * @throws {WebAgentError} `reason` "refused" when the agent does not let this site use it,
     *   "unreachable" when nothing answers
     */
    connect(): Promise<string>;
    /** @private frees the scanners when the page goes away (closed, reloaded, navigated off) */
    private hookPageHide;
    /**
     * What the page does as it goes away: a capture it still waits for is stopped (else the agent
     * goes on waiting for the finger), then its scanners are freed with a beacon, which the
     * browser delivers even after the page is gone. Called on `pagehide` unless
     * `freeOnPageHide` is false.
     */
    releaseOnExit(): void;
    /**
     * The session identifier as a query item ("sessionId"), for requests that cannot carry a
     * header (`<img>`, EventSource, beacons); empty before {@link WebAgent#connect}.
     * @returns {Array<[string, string]>}
     */
    sessionItems(): Array<[string, string]>;
    /** @private */
    private sessionClearUrl;
    /**
     * Forgets this page's scanner sessions in the agent ("sessionClear"), so that another page
     * can use the scanners at once. Uses a keep-alive request, so it also works on page unload.
     * @returns {Promise<void>}
     */
    sessionClear(): Promise<void>;
    /**
     * Stops the agent process ("/api/close"). Nothing is answered.
     * @returns {Promise<void>}
     */
    closeAgent(): Promise<void>;
    /**
     * Opens the agent's event stream: finger on and off, scanners plugged and unplugged, captures
     * started and done, each enrolment sample. Only events of this session's scanners and of
     * scanners nobody holds arrive. Close it with `close()` or the `signal` option.
     * @param {{signal?: AbortSignal, on?: WebAgentEventCallbacks,
     *          EventSource?: typeof EventSource}} [options] `on`: callbacks by event name, beside
     *   `addEventListener`; `EventSource`: an implementation where the platform has none
     * @returns {WebAgentEvents}
     */
    events(options?: {
        signal?: AbortSignal;
        on?: WebAgentEventCallbacks;
        EventSource?: typeof EventSource;
    }): WebAgentEvents;
    /**
     * Shows the scanner's current image (or its live preview) in an `<img>`. On another origin
     * the element must fetch in CORS mode (`crossorigin="anonymous"`) so that the agent learns
     * which site asks; this sets it.
     * @param {HTMLImageElement} img
     * @param {string} sHandle
     * @param {{preview?: boolean}} [options] preview: the live stream instead of the last image
     */
    showImage(img: HTMLImageElement, sHandle: string, options?: {
        preview?: boolean;
    }): void;
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
    initDevice(): Promise<Reply & {
        scanners: {
            /**
             * "DeviceIndex"
             */
            index: number;
            /**
             * "ScannerName" (the device's identification)
             */
            name: string;
            /**
             * "DeviceHandle" as decimal text: pass it as `sHandle`
             */
            handle: string;
            /**
             * "DeviceType", the model name
             */
            type: string;
        }[];
        count: number;
    }>;
    /**
     * Releases the scanners and the matcher and empties the template database ("uninitDevice").
     * @returns {Promise<Reply>}
     */
    uninitDevice(): Promise<Reply>;
    /**
     * Sensor and capture state ("getScannerStatus"). `imageDelivered` is true when the scanner
     * delivered at least one image (live or auto capture) since the previous status call.
     * @param {string} sHandle
     * @returns {Promise<Reply & {sensorOn?: boolean, capturing?: boolean, imageDelivered?: boolean}>}
     */
    getScannerStatus(sHandle: string): Promise<Reply & {
        sensorOn?: boolean;
        capturing?: boolean;
        imageDelivered?: boolean;
    }>;
    /**
     * The agent's API version ("version"), e.g. "0.1".
     * @param {string} sHandle
     * @returns {Promise<Reply & {api?: string}>}
     */
    version(sHandle: string): Promise<Reply & {
        api?: string;
    }>;
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
    getParameters(sHandle: string): Promise<Reply & {
        parameters?: {
            /**
             * capture time-out; read back in milliseconds
             */
            timeout?: number;
            brightness?: number;
            sensitivity?: number;
            /**
             * matcher security level
             */
            securityLevel?: number;
            /**
             * matcher fast mode
             */
            fastMode?: boolean;
            /**
             * see {@link TemplateType }
             */
            templateType?: number;
        };
    }>;
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
    setParameters(sHandle: string, settings: {
        timeout?: number;
        brightness?: number;
        sensitivity?: number;
        fastMode?: boolean | number;
        securityLevel?: number;
        templateType?: number;
    }): Promise<Reply & {
        unsupported: string[];
    }>;
    /**
     * Stops a running live or automatic capture, or a single capture that waits
     * ("abortCapture"). The abort is answered at once, also while a capture of this scanner
     * waits for a finger; that capture then ends with the scanner's "aborted" status.
     * @param {string} sHandle
     * @param {{resetTimer?: number}} [options] image lifetime in ms (5000..600000)
     * @returns {Promise<Reply>}
     */
    abortCapture(sHandle: string, options?: {
        resetTimer?: number;
    }): Promise<Reply>;
    /**
     * "isFingerOn": checks the session; answers only its "request" member.
     * @param {string} sHandle
     * @returns {Promise<Reply>}
     */
    isFingerOn(sHandle: string): Promise<Reply>;
    /**
     * Captures one image and waits for it ("captureSingle"): the reply comes when a finger was
     * imaged, or when the scanner's time-out ran out. Then show {@link WebAgent#imageUrl}.
     * @param {string} sHandle
     * @param {{resetTimer?: number, signal?: AbortSignal}} [options] resetTimer: image lifetime
     *   in ms (5000..600000); signal: stop waiting and stop the capture (rejects with the
     *   signal's reason)
     * @returns {Promise<Reply>}
     */
    captureSingle(sHandle: string, options?: {
        resetTimer?: number;
        signal?: AbortSignal;
    }): Promise<Reply>;
    /**
     * Stops the capture of `sHandle` when `signal` aborts, for the operations that return at once
     * and go on capturing (live and automatic capture).
     * @private
     * @param {string} sHandle
     * @param {AbortSignal|undefined} signal
     */
    private stopOnAbort;
    /**
     * Starts continuous live capture ("startCapturing"); show {@link WebAgent#previewStreamUrl}
     * in an `<img>` and stop with {@link WebAgent#abortCapture}.
     * @param {string} sHandle
     * @param {{resetTimer?: number, signal?: AbortSignal}} [options] resetTimer: image lifetime
     *   in ms (5000..600000); signal: aborting it stops the live capture
     * @returns {Promise<Reply>}
     */
    startCapturing(sHandle: string, options?: {
        resetTimer?: number;
        signal?: AbortSignal;
    }): Promise<Reply>;
    /**
     * Starts automatic capture ("autoCapture"): returns at once; the scanner captures when a
     * finger is placed. Poll {@link WebAgent#getScannerStatus} and reload the image when
     * `imageDelivered` is true, or listen for "capturedone" on {@link WebAgent#events}.
     * @param {string} sHandle
     * @param {{signal?: AbortSignal}} [options] aborting the signal stops the automatic capture
     * @returns {Promise<Reply>}
     */
    autoCapture(sHandle: string, options?: {
        signal?: AbortSignal;
    }): Promise<Reply>;
    /**
     * Extracts the template of the current image as Base64 ("getTemplateData").
     * @param {string} sHandle
     * @param {{encrypt?: 0|1, encryptKey?: string, extractEx?: 0|1, qualityLevel?: number}} [options]
     *   `encrypt` 1 encrypts with `encryptKey` (its first 32 bytes); `qualityLevel` refuses
     *   templates of lower quality; `extractEx` 1 (default) uses the extraction with capacity.
     * @returns {Promise<Reply & {templateBase64?: string, quality?: number}>}
     */
    getTemplateData(sHandle: string, options?: {
        encrypt?: 0 | 1;
        encryptKey?: string;
        extractEx?: 0 | 1;
        qualityLevel?: number;
    }): Promise<Reply & {
        templateBase64?: string;
        quality?: number;
    }>;
    /**
     * Exports the current image as Base64 ("getImageData"). A conversion that could not be made
     * answers its error ("Cannot write file", the library's message, ...).
     * @param {string} sHandle
     * @param {{fileType?: 1|2|3, compressionRatio?: number}} [options]  see {@link FileType};
     *   `compressionRatio` applies to WSQ (default 0.7)
     * @returns {Promise<Reply & {imageBase64?: string}>}
     */
    getImageData(sHandle: string, options?: {
        fileType?: 1 | 2 | 3;
        compressionRatio?: number;
    }): Promise<Reply & {
        imageBase64?: string;
    }>;
    /**
     * Saves the current image as a file beside the agent's pages ("saveImageBuffer"):
     * html/img/convertedCaptureImage.bmp, .dat or .wsq.
     * @param {string} sHandle
     * @param {{fileType?: 1|2|3, compressionRatio?: number}} [options]
     * @returns {Promise<Reply & {path?: string}>}
     */
    saveImageBuffer(sHandle: string, options?: {
        fileType?: 1 | 2 | 3;
        compressionRatio?: number;
    }): Promise<Reply & {
        path?: string;
    }>;
    /**
     * The last Base64 text the scanner exported (the `/tmp/` endpoint), or null when there is
     * none or the session was refused.
     * @param {string} sHandle
     * @returns {Promise<string|null>}
     */
    getLastBase64(sHandle: string): Promise<string | null>;
    /**
     * @param {string} sHandle
     * @returns {string}
     */
    imageQuery(sHandle: string): string;
    /**
     * URL of the scanner's current image (a BMP, or a 1x1 GIF when there is none). A fresh URL
     * on every call, so that setting it as `img.src` always loads the latest image. On another
     * origin give the `<img>` `crossorigin="anonymous"` (or use {@link WebAgent#showImage}).
     * @param {string} sHandle
     * @returns {string}
     */
    imageUrl(sHandle: string): string;
    /**
     * URL of the live preview: a multipart stream of BMP frames for an `<img>`. Clear the
     * `<img>`'s src to close it.
     * @param {string} sHandle
     * @returns {string}
     */
    previewStreamUrl(sHandle: string): string;
}
/**
 * The database operations (`/db/`) of a {@link WebAgent}; reach them as `agent.db`.
 * Users are numbered 0, 1, 2, ... by position ("userSerialNo"); deleting a user renumbers the
 * later ones, so read {@link WebAgentDatabase#queryData} again after a deletion.
 */
export class WebAgentDatabase {
    /** @param {WebAgent} agent */
    constructor(agent: WebAgent);
    /** @private */
    private agent;
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
    enroll(sHandle: string, options: {
        userSerialNo: number;
        userID?: string;
        selectTemplate?: 0 | 1;
        extractEx?: 0 | 1;
        qualityLevel?: number;
        signal?: AbortSignal;
    }): Promise<Reply & {
        quality?: number;
    }>;
    /**
     * Replaces a user's first template from one capture ("update").
     * @param {string} sHandle
     * @param {{userSerialNo: number, extractEx?: 0|1, qualityLevel?: number,
     *          signal?: AbortSignal}} options
     * @returns {Promise<Reply & {quality?: number}>}
     */
    update(sHandle: string, options: {
        userSerialNo: number;
        extractEx?: 0 | 1;
        qualityLevel?: number;
        signal?: AbortSignal;
    }): Promise<Reply & {
        quality?: number;
    }>;
    /**
     * Captures a finger and compares it with user `userSerialNo` ("verify"). `matched` is true
     * or false when the comparison ran, undefined otherwise; `score` and `threshold` say how
     * near it came.
     * @param {string} sHandle
     * @param {{userSerialNo: number, extractEx?: 0|1, qualityLevel?: number,
     *          signal?: AbortSignal}} options
     * @returns {Promise<Reply & {matched?: boolean, quality?: number, score?: number, threshold?: number}>}
     */
    verify(sHandle: string, options: {
        userSerialNo: number;
        extractEx?: 0 | 1;
        qualityLevel?: number;
        signal?: AbortSignal;
    }): Promise<Reply & {
        matched?: boolean;
        quality?: number;
        score?: number;
        threshold?: number;
    }>;
    /**
     * Captures a finger and compares it with a template given by the page ("verifyTemplate").
     * @param {string} sHandle
     * @param {{templateBase64: string, encrypt?: 0|1, encryptKey?: string, extractEx?: 0|1,
     *          qualityLevel?: number, signal?: AbortSignal}} options  `encrypt` 1 when the
     *          template was exported encrypted (then `encryptKey` is the key it was encrypted with)
     * @returns {Promise<Reply & {matched?: boolean, score?: number, threshold?: number}>}
     */
    verifyTemplate(sHandle: string, options: {
        templateBase64: string;
        encrypt?: 0 | 1;
        encryptKey?: string;
        extractEx?: 0 | 1;
        qualityLevel?: number;
        signal?: AbortSignal;
    }): Promise<Reply & {
        matched?: boolean;
        score?: number;
        threshold?: number;
    }>;
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
    identify(sHandle: string, options?: {
        extractEx?: 0 | 1;
        qualityLevel?: number;
        signal?: AbortSignal;
    }): Promise<Reply & {
        matchedIndex?: number;
        matchedID?: string;
        found?: boolean;
        quality?: number;
        score?: number;
        threshold?: number;
    }>;
    /**
     * Stops an identification that is running ("abortIdentify"); answered at once.
     * @returns {Promise<Reply>}
     */
    abortIdentify(): Promise<Reply>;
    /**
     * Removes one user ("delete"); later users move down by one.
     * @param {string} sHandle
     * @param {number} userSerialNo
     * @returns {Promise<Reply>}
     */
    delete(sHandle: string, userSerialNo: number): Promise<Reply>;
    /**
     * Removes every user ("deleteAll").
     * @returns {Promise<Reply>}
     */
    deleteAll(): Promise<Reply>;
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
    queryData(sHandle: string): Promise<Reply & {
        users?: {
            /**
             * position in the database ("userSerialNo")
             */
            serialNo: number;
            /**
             * the user ID given at enrolment
             */
            id: string;
            /**
             * size in bytes of the first template
             */
            template1: number;
            quality1: number;
            /**
             * size of the second template (0 for single enrolment)
             */
            template2: number;
            quality2: number;
        }[];
    }>;
    /**
     * The number of enrolled users (from "queryData").
     * @param {string} sHandle
     * @returns {Promise<number>}
     */
    count(sHandle: string): Promise<number>;
    /**
     * A user's first template as Base64 ("getTemplateData" under /db/), plain or encrypted.
     * @param {string} sHandle
     * @param {{userSerialNo: number, encrypt?: 0|1, encryptKey?: string}} options
     * @returns {Promise<Reply & {templateBase64?: string}>}
     */
    getTemplateData(sHandle: string, options: {
        userSerialNo: number;
        encrypt?: 0 | 1;
        encryptKey?: string;
    }): Promise<Reply & {
        templateBase64?: string;
    }>;
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
    private checkUser;
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
export const EVENT_NAMES: ReadonlyArray<WebAgentEventName>;
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
    constructor(source: EventSource, options?: {
        signal?: AbortSignal;
        on?: WebAgentEventCallbacks;
    });
    /** @private */
    private source;
    /** @type {boolean} true once closed by close() or the signal */
    closed: boolean;
    /**
     * Calls `callback` with the data of each event `name`; returns a function that stops it.
     * @template {WebAgentEventName} K
     * @param {K} name
     * @param {(data: WebAgentEventMap[K]) => void} callback
     * @returns {() => void}
     */
    on<K extends WebAgentEventName>(name: K, callback: (data: WebAgentEventMap[K]) => void): () => void;
    /** @type {boolean} the stream is open now */
    get connected(): boolean;
    /** Closes the stream; the agent frees its slot. */
    close(): void;
}
export type ErrorReason = 'refused' | 'unreachable' | 'timeout' | 'http' | 'value' | 'reply';
/**
 * The normalised reply of one operation.
 */
export type Reply = {
    /**
     * the operation name, e.g. "captureSingle" or "db/verify"
     */
    operation: string;
    /**
     * true when the operation ran and "retValue" is 0
     */
    ok: boolean;
    /**
     * "retValue" as a number (null when the reply had none)
     */
    retValue: number | null;
    /**
     * "retString" as the agent sent it ('' when absent)
     */
    retString: string;
    /**
     * a plain-language sentence for people: retString plus advice
     */
    message: string;
    /**
     * true when the agent did not run the operation and answered with
     * members left from an earlier reply (unknown scanner handle)
     */
    stale: boolean;
    /**
     * true when the agent's session check refused the call
     * (the scanner is held by another page, or no session was sent)
     */
    sessionRefusal: boolean;
    /**
     * the agent's explanation of a refusal, in words a developer can
     *    act on ("userSerialNo must be 2, the next free number")
     */
    detail?: string;
    /**
     * when the scanner is held by another page: until when, as the
     * agent's local time "2026-12-08T08:12:40"
     */
    heldUntil?: string;
    /**
     * 0-100, the quality of the finger just extracted
     */
    quality?: number;
    /**
     * the matcher's score (identify: the best one found)
     */
    score?: number;
    /**
     * the score a match needs at the current security level
     */
    threshold?: number;
    /**
     * the parsed reply, 64-bit "DeviceHandle" values kept as text
     */
    data: object;
    /**
     * the reply body exactly as received
     */
    raw: string;
};
export type WebAgentEventName = 'fingeron' | 'fingeroff' | 'plug' | 'unplug' | 'capturestarted' | 'capturedone' | 'enrolsample' | 'overflow';
/**
 * The data of each event.
 */
export type WebAgentEventMap = {
    fingeron: {
        sHandle: string;
    };
    fingeroff: {
        sHandle: string;
    };
    plug: {
        scanners: number;
        sHandle?: string;
    };
    unplug: {
        scanners: number;
        sHandle?: string;
    };
    capturestarted: {
        sHandle: string;
        mode: string;
    };
    capturedone: {
        sHandle: string;
        retValue: number;
    };
    enrolsample: {
        sHandle: string;
        sample: number;
        samples: number;
        quality: number;
    };
    overflow: Record<string, never>;
};
/**
 * Callbacks by event name.
 */
export type WebAgentEventCallbacks = {
    overflow?: (data: Record<string, never>) => void;
    fingeron?: (data: {
        sHandle: string;
    }) => void;
    fingeroff?: (data: {
        sHandle: string;
    }) => void;
    plug?: (data: {
        scanners: number;
        sHandle?: string;
    }) => void;
    unplug?: (data: {
        scanners: number;
        sHandle?: string;
    }) => void;
    capturestarted?: (data: {
        sHandle: string;
        mode: string;
    }) => void;
    capturedone?: (data: {
        sHandle: string;
        retValue: number;
    }) => void;
    enrolsample?: (data: {
        sHandle: string;
        sample: number;
        samples: number;
        quality: number;
    }) => void;
};
