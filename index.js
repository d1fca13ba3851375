'use strict';
// The native addon: the library this package ships for the platform (prebuilds/), or the one
// the install step built from source into build-npm/ when no shipped file fits the machine.
const { loadAddon } = require('./lib/prebuilt');

const { TolmNode } = loadAddon(__dirname);

module.exports = { TolmNode };
