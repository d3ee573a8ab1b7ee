// The JavaScript client as an npm package (html/js): what `npm pack` puts in it, that its
// "exports" lead to the very module the other client tests exercise, and that its TypeScript
// declarations cover every export. Needs no network, browser or agent.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const folder = path.resolve(here, '..', '..', 'html', 'js');
const manifest = JSON.parse(fs.readFileSync(path.join(folder, 'package.json'), 'utf8'));

test('npm pack, offline, packs the module, its declarations, README and manifest only', () => {
  const cache = fs.mkdtempSync(path.join(os.tmpdir(), 'webagent-npm-cache-'));
  try {
    const out = execFileSync('npm', ['pack', '--dry-run', '--json', '--offline', '--cache', cache], {
      cwd: folder,
      encoding: 'utf8',
      env: { ...process.env, npm_config_update_notifier: 'false' },
    });
    const [packed] = JSON.parse(out);
    assert.equal(packed.name, manifest.name);
    assert.equal(packed.version, manifest.version);
    assert.deepEqual(packed.files.map((f) => f.path).sort(),
      ['README.md', 'package.json', 'webagent.d.ts', 'webagent.js']);
  } finally {
    fs.rmSync(cache, { recursive: true, force: true });
  }
});

test('the version is semantic and "exports" names files that exist', () => {
  assert.match(manifest.version, /^\d+\.\d+\.\d+(-[0-9A-Za-z.-]+)?$/);
  assert.equal(manifest.type, 'module');
  const root = manifest.exports['.'];
  for (const file of [root.types, root.default, manifest.main, manifest.types]) {
    assert.ok(fs.existsSync(path.join(folder, file)), file);
  }
  assert.ok(Object.keys(root).indexOf('types') < Object.keys(root).indexOf('default'),
    'TypeScript reads the first matching condition: "types" must come before "default"');
});

test('importing the package by name gives the module the client tests exercise', async () => {
  const project = fs.mkdtempSync(path.join(os.tmpdir(), 'webagent-npm-user-'));
  try {
    fs.mkdirSync(path.join(project, 'node_modules'));
    fs.symlinkSync(folder, path.join(project, 'node_modules', manifest.name), 'dir');
    fs.writeFileSync(path.join(project, 'probe.mjs'),
      `export * as byName from '${manifest.name}';\n`);
    const { byName } = await import(pathToFileURL(path.join(project, 'probe.mjs')).href);
    const byPath = await import(pathToFileURL(path.join(folder, 'webagent.js')).href);
    assert.deepEqual(Object.keys(byName).sort(), Object.keys(byPath).sort());
    assert.equal(byName.WebAgent, byPath.WebAgent, 'one module, not a copy');
  } finally {
    fs.rmSync(project, { recursive: true, force: true });
  }
});

test('the declarations declare every export of the module', async () => {
  const declarations = fs.readFileSync(path.join(folder, 'webagent.d.ts'), 'utf8');
  const declared = new Set(
    [...declarations.matchAll(/^export (?:declare )?(?:function|const|class|type|interface) (\w+)/gm)]
      .map((m) => m[1]));
  const module = await import(pathToFileURL(path.join(folder, 'webagent.js')).href);
  const missing = Object.keys(module).filter((name) => !declared.has(name));
  assert.deepEqual(missing, [], `not in webagent.d.ts: ${missing.join(', ')}`);
});

test('the README carries the ten-line example with the package name', () => {
  const readme = fs.readFileSync(path.join(folder, 'README.md'), 'utf8');
  const example = readme.match(/```js\n([\s\S]*?)```/)[1].trim().split('\n');
  assert.equal(example.length, 10);
  assert.equal(example[0], `import { WebAgent } from '${manifest.name}';`);
});
