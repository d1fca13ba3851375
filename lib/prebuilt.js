'use strict';
// Finds the native addon of an installed package: the library built from source into
// build-npm/ when the install step made one (it does only when no shipped file fits or when
// asked to), else the prebuilt library shipped for this platform under prebuilds/. A file is
// read and checked before it is handed to the system loader, so that a foreign or cut-short
// file gives an error that names it, the platform and the way out, never a loader crash.
const fs = require('node:fs');
const path = require('node:path');

const PLATFORM = `${process.platform}-${process.arch}`;
const ADDON = 'tolm_native.node';
const SOURCE_BUILD = 'npm rebuild tolm';
const SOURCE_NEEDS = 'cmake 3.20+, a C++20 compiler and the Node-API headers';

const ELF_MACHINES = { 3: 'ia32', 40: 'arm', 62: 'x64', 183: 'arm64', 243: 'riscv64' };
const PE_MACHINES = { 0x14c: 'ia32', 0x8664: 'x64', 0xaa64: 'arm64' };

function prebuiltPath(root) {
  return path.join(root, 'prebuilds', PLATFORM, ADDON);
}

function sourceBuildPath(root) {
  return path.join(root, 'build-npm', ADDON);
}

function shippedPlatforms(root) {
  try {
    return fs.readdirSync(path.join(root, 'prebuilds')).sort();
  } catch {
    return [];
  }
}

// An ELF shared object for this architecture whose loadable segments and section table lie
// inside the file; null when it is, else what is wrong, as the end of a sentence.
function elfProblem(data) {
  if (data.length < 64) return `is ${data.length} bytes long, too short for a library`;
  if (data.readUInt32BE(0) !== 0x7f454c46) return 'is not an ELF library';
  const is64 = data[4] === 2;
  if (data[5] !== 1) return 'is a big-endian ELF file';
  const machine = data.readUInt16LE(18);
  const arch = ELF_MACHINES[machine] ?? `ELF machine ${machine}`;
  if (arch !== process.arch) return `is built for ${arch}, not ${process.arch}`;
  if (data.readUInt16LE(16) !== 3) return 'is an ELF file but not a shared library';
  const word = (offset) => (is64 ? Number(data.readBigUInt64LE(offset)) : data.readUInt32LE(offset));
  const phoff = word(is64 ? 32 : 28);
  const shoff = word(is64 ? 40 : 32);
  const [phentsize, phnum, shentsize, shnum] = [0, 2, 4, 6].map(
    (delta) => data.readUInt16LE((is64 ? 54 : 42) + delta));
  const cut = `is cut short (${data.length} bytes)`;
  if (phoff + phnum * phentsize > data.length || shoff + shnum * shentsize > data.length) return cut;
  for (let i = 0; i < phnum; i += 1) {
    const entry = phoff + i * phentsize;
    if (data.readUInt32LE(entry) !== 1) continue; // PT_LOAD
    const offset = is64 ? Number(data.readBigUInt64LE(entry + 8)) : data.readUInt32LE(entry + 4);
    const size = is64 ? Number(data.readBigUInt64LE(entry + 32)) : data.readUInt32LE(entry + 16);
    if (offset + size > data.length) return cut;
  }
  return null;
}

function peProblem(data) {
  if (data.length < 64 || data.readUInt16BE(0) !== 0x4d5a) return 'is not a Windows DLL';
  const pe = data.readUInt32LE(0x3c);
  if (pe + 24 > data.length || data.readUInt32BE(pe) !== 0x50450000) return 'is not a Windows DLL';
  const machine = data.readUInt16LE(pe + 4);
  const arch = PE_MACHINES[machine] ?? `PE machine 0x${machine.toString(16)}`;
  if (arch !== process.arch) return `is built for ${arch}, not ${process.arch}`;
  return null;
}

// Null when `file` looks like a library this process can load, else what is wrong with it.
function libraryProblem(file) {
  let data;
  try {
    data = fs.readFileSync(file);
  } catch (error) {
    return `cannot be read (${error.code ?? error.message})`;
  }
  try {
    if (process.platform === 'linux') return elfProblem(data);
    if (process.platform === 'win32') return peProblem(data);
  } catch (error) {
    // A header whose offsets or sizes point outside the file.
    return `is damaged (${error.message})`;
  }
  return null;
}

function loadAddon(root) {
  const prebuilt = prebuiltPath(root);
  const tried = [];
  for (const file of [sourceBuildPath(root), prebuilt]) {
    if (!fs.existsSync(file)) continue;
    const problem = libraryProblem(file);
    if (problem) {
      tried.push(`${file} ${problem}`);
      continue;
    }
    try {
      return require(file);
    } catch (error) {
      tried.push(`${file} does not load: ${error.message}`);
    }
  }
  if (!fs.existsSync(prebuilt)) {
    const shipped = shippedPlatforms(root);
    tried.push(`this package ships no prebuilt library for ${PLATFORM}` +
      (shipped.length ? ` (only for ${shipped.join(', ')})` : ''));
  }
  const error = new Error(
    `tolm: no native library loads on ${PLATFORM} (Node.js ${process.version}):\n` +
    `  ${tried.join('\n  ')}\n` +
    `Build it from source in your project with: ${SOURCE_BUILD} (needs ${SOURCE_NEEDS})`);
  error.code = 'ERR_TOLM_NATIVE_LIBRARY';
  throw error;
}

module.exports = {
  PLATFORM, SOURCE_NEEDS, prebuiltPath, sourceBuildPath, shippedPlatforms, libraryProblem, loadAddon,
};
