// Runs the installed quendal program for a launcher: progress arrives through the program's
// progress channel on an extra pipe (QUENDAL_PROGRESS=3), the report on standard output, the
// failure message in the channel's end event and on standard error.
import { spawn } from 'node:child_process';

/** The phases of a scan, in the order they run. */
export const PHASES = Object.freeze([
  'reading_manifest', 'loading_cache', 'checking_files', 'storing_cache', 'encoding',
]);

/** A scan that failed: `message` is the program's one-line message, `exitStatus` its exit
 *  status (1 for a failed run, 2 for a command line it refused), `stderr` all it wrote there. */
export class QuendalError extends Error {
  constructor(message, exitStatus, stderr) {
    super(message);
    this.name = 'QuendalError';
    this.exitStatus = exitStatus;
    this.stderr = stderr;
  }
}

function abortError(signal) {
  return signal.reason ?? new DOMException('This operation was aborted', 'AbortError');
}

// The last line of `text` that is not empty, without its line feed.
function lastLine(text) {
  const lines = text.split('\n').filter((line) => line !== '');
  return lines.length > 0 ? lines[lines.length - 1] : undefined;
}

/**
 * Scans `clientDir` against `manifest` with the quendal program and resolves to
 * `{ report, reportBytes, summary, warnings }`: the parsed report, its bytes exactly as the
 * program wrote them (without the final line feed), the report's summary and the warning lines
 * of standard error ("Ignoring ..."). Rejects with a QuendalError carrying the program's message
 * and exit status, with the spawn error when the program cannot be started, with the abort
 * reason (an AbortError) when `signal` aborts, and with what `onProgress` throws.
 *
 * `onProgress(event)` gets every progress event, `{ event: 'progress', phase, filesDone,
 * filesTotal, bytesHashed, bytesToHash }`: at most about 20 a second while files are checked and
 * once with the final counters at the end of each phase. Aborting ends the process, which
 * leaves the cache file as it was: the program replaces it only by a rename.
 *
 * @param {object} options
 * @param {string} options.clientDir
 * @param {string} options.manifest
 * @param {string} [options.cache] the hash cache file, read and replaced
 * @param {string} [options.program] the quendal executable (default: "quendal" on the PATH)
 * @param {AbortSignal} [options.signal]
 * @param {(event: object) => void} [options.onProgress]
 * @param {object} [options.env] the environment (default: process.env)
 */
export function scan({ clientDir, manifest, cache, program = 'quendal', signal, onProgress,
  env = process.env } = {}) {
  return new Promise((resolve, reject) => {
    if (typeof clientDir !== 'string' || typeof manifest !== 'string') {
      throw new TypeError('scan: clientDir and manifest must be strings');
    }
    if (signal?.aborted) {
      reject(abortError(signal));
      return;
    }
    const args = ['--client-dir', clientDir, '--manifest', manifest];
    if (cache !== undefined) args.push('--cache', cache);
    const child = spawn(program, args, {
      stdio: ['ignore', 'pipe', 'pipe', 'pipe'],
      env: { ...env, QUENDAL_PROGRESS: '3' },
      windowsHide: true,
    });
    const out = [];
    const err = [];
    let held = Buffer.alloc(0); // the channel's unfinished line
    let end;
    let stopped; // why the process was ended: the abort or the callback's error
    let settled = false;

    const settle = (action, value) => {
      if (settled) return;
      settled = true;
      signal?.removeEventListener('abort', onAbort);
      action(value);
    };
    const stop = (reason) => {
      if (stopped === undefined) stopped = { reason };
      child.kill();
    };
    const onAbort = () => stop(abortError(signal));
    signal?.addEventListener('abort', onAbort, { once: true });

    child.stdout.on('data', (chunk) => out.push(chunk));
    child.stderr.on('data', (chunk) => err.push(chunk));
    child.stdio[3].on('data', (chunk) => {
      held = Buffer.concat([held, chunk]);
      for (let at = held.indexOf(10); at >= 0; at = held.indexOf(10)) {
        const line = held.subarray(0, at).toString('utf8');
        held = held.subarray(at + 1);
        let event;
        try {
          event = JSON.parse(line);
        } catch {
          continue; // not an event of this version; the program's outcome still comes
        }
        if (event.event === 'end') {
          end = event;
        } else if (event.event === 'progress' && onProgress && stopped === undefined) {
          try {
            onProgress(event);
          } catch (error) {
            stop(error);
          }
        }
      }
    });
    child.on('error', (error) => settle(reject, error));
    child.on('close', (code, killedBy) => {
      if (stopped !== undefined) {
        settle(reject, stopped.reason);
        return;
      }
      const stderr = Buffer.concat(err).toString('utf8');
      if (code === 0) {
        const bytes = Buffer.concat(out);
        const reportBytes = bytes.subarray(0, bytes.length - 1); // the line feed after it
        let report;
        try {
          report = JSON.parse(reportBytes.toString('utf8'));
        } catch (error) {
          settle(reject, new QuendalError(`quendal wrote no report: ${error.message}`, code, stderr));
          return;
        }
        const warnings = stderr.split('\n').filter((line) => line.startsWith('Ignoring'));
        settle(resolve, { report, reportBytes, summary: report.summary, warnings });
        return;
      }
      const message = end?.failure ?? lastLine(stderr) ??
        `quendal ended ${killedBy ? `by ${killedBy}` : `with exit status ${code}`}`;
      settle(reject, new QuendalError(message, code, stderr));
    });
  });
}
