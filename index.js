'use strict';
// The addon is built into build-npm/ by scripts/npm-build.js when the package is installed.
const path = require('node:path');

const { TolmNode } = require(path.join(__dirname, 'build-npm', 'tolm_native.node'));

module.exports = { TolmNode };
