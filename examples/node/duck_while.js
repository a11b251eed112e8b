#!/usr/bin/env node
// Ducks applications while a command runs, then restores them: a small
// appduck controller with nothing but Node.js's own modules.
//
//   duck_while.js [--appduck PATH] [--percent P] NAMES -- COMMAND [ARGS...]
//
// appduck answers every command with exactly one line of JSON, in order, so
// the client keeps a queue of waiting promises and settles the oldest with
// each line. `duck` and `restore` answer when their ramp is done (about
// 300 ms); `list` answers at once.
'use strict';

const { spawn } = require('child_process');
const readline = require('readline');

const REPLY_TIMEOUT_MS = 5000; // a ramp takes 300 ms; far longer is a hang

class AppduckGone extends Error {}

class Appduck {
  constructor(path) {
    this.waiting = [];
    this.gone = false;
    this.child = spawn(path, [], { stdio: ['pipe', 'pipe', 'inherit'] });
    this.child.on('error', () => this.end()); // not found, not executable
    this.exited = new Promise((resolve) => this.child.on('close', resolve));
    this.child.stdin.on('error', () => {}); // EPIPE: seen as the end below
    readline.createInterface({ input: this.child.stdout })
      .on('line', (line) => {
        const next = this.waiting.shift();
        if (next) next.resolve(JSON.parse(line));
      })
      .on('close', () => this.end());
  }

  // End of appduck's output: no waiting command will get its reply.
  end() {
    this.gone = true;
    for (const next of this.waiting.splice(0)) next.reject(new AppduckGone());
  }

  ask(command) {
    if (this.gone) return Promise.reject(new AppduckGone());
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`no reply to ${command}`)),
                               REPLY_TIMEOUT_MS);
      this.waiting.push({
        resolve: (reply) => { clearTimeout(timer); resolve(reply); },
        reject: (error) => { clearTimeout(timer); reject(error); },
      });
      this.child.stdin.write(`${command}\n`);
    });
  }

  // Ends appduck's input: it restores what is ducked, answers {"ok":true}
  // and exits with 0.
  close() {
    this.child.stdin.end();
    return this.exited;
  }
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
  let path = 'appduck';
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

  const appduck = new Appduck(path);
  try {
    const reply = await appduck.ask(`duck ${percent} ${names}`);
    console.log(reply.bajados ? `appduck: ducked ${names} to ${percent} %`
                              : `appduck: nothing playing matches ${names}`);
  } catch (error) {
    if (!(error instanceof AppduckGone)) throw error;
    // Ducking is a courtesy: the command still runs, only louder.
    console.error('appduck: not running; going on without ducking');
  }

  const status = await run(command);

  try {
    await appduck.ask('restore');
    console.log('appduck: restored');
  } catch (error) {
    if (!(error instanceof AppduckGone)) throw error;
  }
  await appduck.close();
  return status;
}

// Run as a program, not when required: the Appduck client is reusable.
if (require.main === module) {
  main(process.argv.slice(2)).then((status) => { process.exitCode = status; });
}

module.exports = { Appduck, AppduckGone };
