'use strict';
// The npm package carries what its README and docs link to, and its licence.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');

const root = path.resolve(__dirname, '..', '..');

test('every relative link in the packed README and docs points into the package', () => {
  const packed = JSON.parse(execFileSync('npm', ['pack', '--dry-run', '--json', '--loglevel=error'],
    { cwd: root, encoding: 'utf8' }));
  const files = packed[0].files.map((f) => f.path);
  assert.ok(files.includes('LICENSE') && files.includes('README.md'));
  const documents = files.filter((f) => f.endsWith('.md'));
  for (const doc of documents) {
    const text = fs.readFileSync(path.join(root, doc), 'utf8');
    for (const [, target] of text.matchAll(/\]\(([^)\s]+)\)/g)) {
      if (/^(https?:|mailto:|#)/.test(target)) continue;
      const resolved = path.posix.normalize(path.posix.join(path.posix.dirname(doc), target.split('#')[0]));
      const present = files.some((f) => f === resolved || f.startsWith(`${resolved.replace(/\/$/, '')}/`));
      assert.ok(present, `${doc} links to ${target}, which the package lacks`);
    }
  }
  assert.equal(JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8')).license, 'MIT');
});
