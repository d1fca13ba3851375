#!/usr/bin/env node
'use strict';
// Builds the native addon with the project's CMake when the package is installed. Needs
// cmake and a C++20 compiler; uses Ninja when it is on the PATH.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const buildDir = path.join(root, 'build-npm');

function onPath(program) {
  return spawnSync(program, ['--version'], { stdio: 'ignore' }).status === 0;
}

function run(program, args) {
  const result = spawnSync(program, args, { cwd: root, stdio: 'inherit' });
  if (result.error) {
    console.error(`tolm: cannot run ${program}: ${result.error.message}`);
    process.exit(1);
  }
  if (result.status !== 0) process.exit(result.status ?? 1);
}

if (!onPath('cmake')) {
  console.error('tolm: building the addon needs cmake (3.20 or later) and a C++20 compiler');
  process.exit(1);
}

// Prefer the headers of the very Node.js that runs the install.
const nodeHeaders = path.resolve(process.execPath, '..', '..', 'include', 'node');
const headerHint = fs.existsSync(path.join(nodeHeaders, 'node_api.h'))
  ? [`-DTOLM_NODE_API_INCLUDE_DIR=${nodeHeaders}`]
  : [];

run('cmake', [
  '-S', root,
  '-B', buildDir,
  ...(onPath('ninja') ? ['-G', 'Ninja'] : []),
  '-DCMAKE_BUILD_TYPE=Release',
  '-DTOLM_BUILD_TESTS=OFF',
  // A Node install needs only the Node-API headers; the Python entry is added when the
  // CPython headers happen to be there.
  '-DTOLM_HOSTS_OPTIONAL=ON',
  ...headerHint,
]);
run('cmake', ['--build', buildDir, '--target', 'tolm_native']);

if (!fs.existsSync(path.join(buildDir, 'tolm_native.node'))) {
  console.error('tolm: the build finished without producing tolm_native.node');
  process.exit(1);
}
