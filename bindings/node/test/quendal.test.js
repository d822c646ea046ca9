// Tests of the Node package against the real quendal program (QUENDAL_BINARY, or "quendal" on
// the PATH):  QUENDAL_BINARY=build/quendal node --test bindings/node/test/quendal.test.js
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { mkdtempSync, readdirSync, readFileSync, rmSync, truncateSync, writeFileSync, mkdirSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { after, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { QuendalError, scan } from '../index.js';

const here = dirname(fileURLToPath(import.meta.url));
const packageDir = resolve(here, '..');
const repo = resolve(packageDir, '..', '..');
const program = process.env.QUENDAL_BINARY ? resolve(process.env.QUENDAL_BINARY) : 'quendal';
const client = join(repo, 'examples', 'client');
const manifest = join(repo, 'examples', 'manifest.json');
const temp = mkdtempSync(join(tmpdir(), 'quendal-node-'));
after(() => rmSync(temp, { recursive: true, force: true }));

// The report without the one value that differs between runs.
function withoutScannedAt(bytes) {
  const text = bytes.toString('utf8');
  assert.equal(text.match(/"scannedAt":"[^"]*"/g)?.length, 1, text.slice(0, 200));
  return text.replace(/"scannedAt":"[^"]*"/, '"scannedAt":""');
}

test('the report is the program\'s bytes and progress ends at the totals', async () => {
  const programOut = execFileSync(program, ['--client-dir', client, '--manifest', manifest]);
  const events = [];
  const result = await scan({ clientDir: client, manifest, program, onProgress: (e) => events.push(e) });
  assert.equal(withoutScannedAt(result.reportBytes) + '\n', withoutScannedAt(programOut));
  assert.deepEqual(result.summary, {
    expectedFiles: 8, healthyFiles: 5, missingFiles: 1, modifiedFiles: 2, criticalMismatches: 1,
    bytesToDownload: 262,
  });
  assert.deepEqual(result.warnings, []);
  assert.deepEqual(events.filter((e) => e.phase === 'checking_files').at(-1), {
    event: 'progress', phase: 'checking_files', filesDone: 8, filesTotal: 8, bytesHashed: 291,
    bytesToHash: 291,
  });
  assert.equal(events.at(-1).phase, 'encoding');
});

test('an abort while files are hashed ends the program and leaves the cache as it was', async () => {
  // Two sparse files of 1 GiB: seconds of hashing, nothing on the disk.
  const dir = mkdtempSync(join(temp, 'abort-'));
  const big = join(dir, 'big');
  mkdirSync(big);
  const files = ['a.bin', 'b.bin'].map((name) => {
    writeFileSync(join(big, name), '');
    truncateSync(join(big, name), 2 ** 30);
    return { path: name, size: 2 ** 30, sha256: '00'.repeat(32), blobPath: `b/${name}`, policy: 'required' };
  });
  const bigManifest = join(dir, 'big.json');
  writeFileSync(bigManifest, JSON.stringify({ ...JSON.parse(readFileSync(manifest, 'utf8')), files }));
  const cache = join(dir, 'cache.json');
  writeFileSync(cache, '{\n  "schemaVersion": "velor-tirn-client-hash-cache.v2",\n  "clientRoot": "",\n' +
    '  "manifestSignature": "x",\n  "generatedAt": "2026-01-31T00:00:00Z",\n  "entries": {}\n}');
  const before = readFileSync(cache);

  const controller = new AbortController();
  const seen = [];
  const running = scan({
    clientDir: big, manifest: bigManifest, cache, program, signal: controller.signal,
    onProgress: (e) => {
      seen.push(e.phase);
      if (e.phase === 'checking_files') controller.abort();
    },
  });
  await assert.rejects(running, { name: 'AbortError' });
  assert.equal(seen.filter((phase) => phase === 'checking_files').length, 1, seen.join(' '));
  assert.deepEqual(readFileSync(cache), before);
  assert.deepEqual(readdirSync(dir).sort(), ['big', 'big.json', 'cache.json']);

  // Aborted before it starts: no process at all.
  await assert.rejects(scan({ clientDir: big, manifest: bigManifest, program, signal: AbortSignal.abort() }),
    { name: 'AbortError' });
});

test('failures reject with the program\'s message and exit status', async () => {
  const absent = join(temp, 'absent.json');
  const programRun = spawnSync(program, ['--client-dir', client, '--manifest', absent]);
  const message = `Failed to read manifest '${absent}': No such file or directory`;
  assert.deepEqual([programRun.status, programRun.stderr.toString()], [1, message + '\n']);
  await assert.rejects(scan({ clientDir: client, manifest: absent, program }), (error) => {
    assert.ok(error instanceof QuendalError);
    assert.deepEqual([error.message, error.exitStatus], [message, 1]);
    return true;
  });
  // A program that is not there, and a progress callback that throws.
  await assert.rejects(scan({ clientDir: client, manifest, program: join(temp, 'no-such-program') }),
    { code: 'ENOENT' });
  await assert.rejects(scan({ clientDir: client, manifest, program, onProgress: () => { throw new RangeError('bar'); } }),
    { name: 'RangeError', message: 'bar' });
});

test('npm pack makes a package that installs offline and imports', () => {
  const packed = join(temp, 'packed');
  const app = join(temp, 'app');
  mkdirSync(packed);
  mkdirSync(app);
  const npm = (args, cwd) => execFileSync('npm', args, { cwd, encoding: 'utf8', env: { ...process.env, npm_config_update_notifier: 'false' } });
  const tarball = npm(['pack', '--silent', '--pack-destination', packed], packageDir).trim().split('\n').at(-1);
  writeFileSync(join(app, 'package.json'), JSON.stringify({ name: 'app', private: true, type: 'module' }));
  npm(['install', '--offline', '--no-audit', '--no-fund', join(packed, tarball)], app);
  assert.deepEqual(readdirSync(join(app, 'node_modules', 'quendal')).sort(),
    ['README.md', 'index.d.ts', 'index.js', 'package.json']);
  const out = execFileSync(process.execPath, ['--input-type=module', '-e',
    'import { scan } from "quendal"; const r = await scan({ clientDir: process.argv[1], ' +
    'manifest: process.argv[2], program: process.argv[3] }); console.log(r.summary.expectedFiles);',
    client, manifest, program], { cwd: app, encoding: 'utf8' });
  assert.equal(out, '8\n');
});
