'use strict';
// Preloaded (NODE_OPTIONS=--require) into every arm64 node that scripts/arm64/test.sh starts:
// children started through process.execPath, the test runner's among them, go through the
// launcher that runs them under qemu (see launcher.c).
if (process.env.TOLM_ARM64_NODE_LAUNCHER) process.execPath = process.env.TOLM_ARM64_NODE_LAUNCHER;
