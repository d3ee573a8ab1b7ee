// What the browser suites share: where the agent, its control command and the browser are, and
// condition-based waits. Each suite keeps its own agent process; it hands its working folder
// and output to these helpers through `state`.
//
// Environment:
//   WEBAGENT_BIN               the agent (default: build/bin/webagent of this repository)
//   WEBAGENT_VIRTUAL_SCANNER   the control command (default: virtual-scanner beside the agent)
//   CHROMIUM_BIN               the browser (default: /usr/bin/chromium)
import { execFile } from 'node:child_process';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const repo = path.resolve(here, '..', '..');
export const agentBin = path.resolve(process.env.WEBAGENT_BIN ?? path.join(repo, 'build', 'bin', 'webagent'));
export const controlBin = path.resolve(
  process.env.WEBAGENT_VIRTUAL_SCANNER ?? path.join(path.dirname(agentBin), 'virtual-scanner'),
);
export const chromiumBin = process.env.CHROMIUM_BIN ?? '/usr/bin/chromium';

// Generous: a slow or busy machine must still pass.
export const WAIT = 120_000;
export const STEP = { timeout: WAIT, polling: 200 };

/** The running suite's agent: its working folder and everything it printed so far. */
export const state = { workDir: '', agentOutput: '' };

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

/** Polls `check` until it returns a truthy value, or fails after `timeoutMs`. */
export async function until(what, check, timeoutMs = WAIT) {
  const deadline = Date.now() + timeoutMs;
  let last;
  for (;;) {
    try {
      const value = await check();
      if (value) {
        return value;
      }
    } catch (error) {
      last = error;
    }
    if (Date.now() > deadline) {
      throw new Error(`timed out waiting for ${what}${last ? `: ${last.message}` : ''}\n--- agent output ---\n${state.agentOutput}`);
    }
    await sleep(200);
  }
}

/** True when something answers at `url`. */
export async function answers(url) {
  try {
    const response = await fetch(url, { signal: AbortSignal.timeout(5000) });
    await response.arrayBuffer();
    return true;
  } catch {
    return false;
  }
}

/** Runs the virtual-scanner command against the suite's agent. */
export function control(...args) {
  return new Promise((resolve, reject) => {
    execFile(controlBin, args, { env: { ...process.env, XDG_RUNTIME_DIR: path.join(state.workDir, 'xdg') }, timeout: 60_000 },
      (error, stdout, stderr) => {
        if (error) {
          reject(new Error(`virtual-scanner ${args.join(' ')} failed: ${stderr || error.message}`));
        } else {
          resolve(stdout);
        }
      });
  });
}

export const place = (finger) => control('place', '0', String(finger));
export const lift = () => control('lift', '0');
