#!/usr/bin/env node
// Ducks applications while a command runs, then restores them: a small
// controller on the appduck client library (clients/node, or installed).
//
//   node duck_while.js [--appduck PATH] [--percent P] NAMES -- COMMAND [ARGS...]
//   node duck_while.js 'player;chat*' -- espeak-ng 'The meeting starts in five minutes'
//
// The client starts appduck (PATH, APPDUCK, or where the packages install
// it when no --appduck is given) and pairs each reply with its call.
'use strict';
const { spawn } = require('node:child_process');

let appduck;
try {
  appduck = require('appduck');
} catch {
  appduck = require('../../clients/node'); // run from the source tree
}

function run(command) {
  return new Promise((resolve) => {
    spawn(command[0], command.slice(1), { stdio: 'inherit' })
      .on('error', () => resolve(127))
      .on('close', (code) => resolve(code ?? 1));
  });
}

const USAGE = 'usage: duck_while.js [--appduck PATH] [--percent P] NAMES -- COMMAND...';

async function main(argv) {
  let path;
  let percent = '20';
  while (argv[0] === '--appduck' || argv[0] === '--percent') {
    if (argv[0] === '--appduck') path = argv[1];
    else percent = argv[1];
    argv = argv.slice(2);
  }
  const names = argv[0];
  const command = argv[1] === '--' ? argv.slice(2) : argv.slice(1);
  if (!names || command.length === 0) {
    console.error(USAGE);
    return 2;
  }
  // appduck reads a percentage without digits as 0, which mutes: refuse
  // anything but a whole number before it starts.
  if (!/^[+-]?\d+$/.test(percent ?? '')) {
    console.error(`${USAGE}\nduck_while.js: --percent needs a whole number, not ${percent}`);
    return 2;
  }

  let client = null;
  try {
    client = new appduck.Appduck({ path });
    console.log(await client.duck(Number(percent), names)
      ? `appduck: ducked ${names} to ${percent} %`
      : `appduck: nothing playing matches ${names}`);
  } catch (error) {
    if (!(error instanceof appduck.AppduckError)) throw error;
    // Ducking is a courtesy: the command still runs, only louder.
    console.error(`appduck: not running; going on without ducking (${error.message})`);
  }

  const status = await run(command);

  if (client) {
    try {
      await client.restore();
      console.log('appduck: restored');
    } catch (error) {
      if (!(error instanceof appduck.AppduckError)) throw error;
    }
    await client.close();
  }
  return status;
}

main(process.argv.slice(2)).then((status) => { process.exitCode = status; });
