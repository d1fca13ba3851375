#!/usr/bin/env node
'use strict';
// The install step. When the prebuilt library shipped for this platform loads, there is
// nothing to do. Otherwise (another platform or architecture, a damaged file, a glibc older
// than the one the prebuilt needs, or a build from source asked for with
// TOLM_BUILD_FROM_SOURCE=1 or npm's --build-from-source), it says so in one line and
// builds the addon with the project's CMake into build-npm/. That needs cmake and a C++20
// compiler; it uses Ninja when it is on the PATH.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const {
  PLATFORM, SOURCE_NEEDS, prebuiltPath, shippedPlatforms, libraryProblem,
} = require('../lib/prebuilt');

const root = path.resolve(__dirname, '..');
const buildDir = path.join(root, 'build-npm');

// Why the prebuilt file cannot serve this machine, or null when it can.
function prebuiltProblem() {
  const prebuilt = prebuiltPath(root);
  const shown = path.relative(root, prebuilt);
  if (!fs.existsSync(prebuilt)) {
    const shipped = shippedPlatforms(root);
    return `no prebuilt library for ${PLATFORM}` + (shipped.length ? ` (only for ${shipped.join(', ')})` : '');
  }
  const problem = libraryProblem(prebuilt);
  if (problem) return `the prebuilt ${shown} ${problem}`;
  // Loading it in a child process also catches what only the system loader sees (a glibc
  // older than the file needs), without risking this process.
  const probe = spawnSync(process.execPath, ['-e', 'require(process.argv[1])', prebuilt],
    { encoding: 'utf8', timeout: 60000 });
  if (probe.status === 0) return null;
  const reason = (probe.stderr.match(/^Error: (.*)$/m) || [])[1] || `exit ${probe.status ?? probe.signal}`;
  return `the prebuilt ${shown} does not load (${reason})`;
}

const asked = process.env.TOLM_BUILD_FROM_SOURCE === '1' ||
  process.env.npm_config_build_from_source === 'true' || process.argv.includes('--build-from-source');
const reason = asked ? 'a build from source was asked for' : prebuiltProblem();
if (reason === null) process.exit(0);
console.error(`tolm: ${reason}; building the addon from source (needs ${SOURCE_NEEDS})`);

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

// What a machine without the tools installs, in its own words.
const TOOLS_HINT = {
  darwin: ' (on macOS: xcode-select --install for Apple clang, and brew install cmake)',
  linux: ' (Debian/Ubuntu: apt-get install cmake g++; Alpine: apk add cmake g++ make linux-headers)',
};

if (!onPath('cmake')) {
  console.error('tolm: building the addon needs cmake (3.20 or later) and a C++20 compiler' +
    (TOOLS_HINT[process.platform] ?? ''));
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
