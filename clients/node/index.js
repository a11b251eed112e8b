"use strict";
// A client of appduck, the program that lowers ("ducks") the other
// applications' sound while yours speaks, and brings it back exactly.
// One command line, one reply line: replies are paired with commands in
// order, so that one that comes after its call gave up (a timeout, an
// abort) is dropped, never handed to the next call.
const { spawn } = require("node:child_process");
const readline = require("node:readline");
const { findAppduck } = require("./lib/find");
const {
  AppduckError, AppduckNotFoundError, AppduckGoneError, AppduckTimeoutError,
} = require("./lib/errors");

class Appduck {
  constructor({ path, timeout = 15000 } = {}) {
    this.path = findAppduck(path);
    this.timeout = timeout;
    this._waiting = []; // one per command sent, in order, until its reply comes
    this._gone = null; // the error every call gets once appduck has ended
    this._closed = null; // the promise of close()
    this._spared = false;
    this._warnedNoMatch = false; // ducked says so once
    this._hold = null; // a restore waiting out its hold
    this._child = spawn(this.path, [], { stdio: ["pipe", "pipe", "inherit"], windowsHide: true });
    this._child.on("error", (error) => this._end(
      new AppduckNotFoundError([[this.path, error.code || error.message]], error)));
    this._child.on("close", (code, signal) => this._end(new AppduckGoneError(code ?? signal)));
    this._child.stdin.on("error", () => {}); // a closed pipe: "close" tells why
    readline.createInterface({ input: this._child.stdout, crlfDelay: Infinity })
      .on("line", (line) => this._reply(line));
    this._refresh();
  }

  /** Every application playing sound: [{ exe, name, vol }, ...]. */
  async list(options) {
    return JSON.parse(await this._ask("list", options));
  }

  /** Lowers the named applications to `percent` of their own volume; 1 when a name matched. */
  async duck(percent, names, options) {
    const text = [].concat(names ?? []).join(";");
    return ok(await this._ask(`duck ${Math.trunc(percent)} ${text}`, options)).bajados;
  }

  /** Brings back everything this appduck lowered. */
  async restore(options) {
    ok(await this._ask("restore", options));
  }

  /** Never lowers these through a wildcard; without names, this program and what it starts. */
  async spare(names, options) {
    const text = [].concat(names ?? []).join(";");
    return JSON.parse(await this._ask(text ? `spare ${text}` : "spare", options)).ok === true;
  }

  /** Ducks, runs fn, restores (after `hold` ms, cancelled by the next ducked). */
  async ducked(percent, names, fn, { hold = 0, spareSelf = true, ...options } = {}) {
    this._cancelHold();
    if (spareSelf && !this._spared) {
      this._spared = true;
      await this.spare(undefined, options);
    }
    if ((await this.duck(percent, names, options)) === 0 && !this._warnedNoMatch) {
      this._warnedNoMatch = true;
      const playing = [...new Set((await this.list(options)).map((entry) => entry.name))].sort();
      process.emitWarning(
        `appduck: no application matched ${[].concat(names ?? []).join(";")}; ` +
          `playing now: ${playing.join(", ") || "nothing"}`,
        { code: "APPDUCK_NO_MATCH" },
      );
    }
    try {
      return await fn();
    } finally {
      if (hold > 0) {
        this._hold = setTimeout(() => {
          this._hold = null;
          this.restore().catch(() => {}); // appduck restores as it ends anyway
        }, hold);
        this._hold.unref();
      } else {
        await this.restore(options);
      }
    }
  }

  /** Ends appduck, which restores what it ducked; resolves to its exit status. */
  close({ timeout = this.timeout } = {}) {
    this._cancelHold();
    if (!this._closed) {
      this._closed = new Promise((resolve) => {
        const killer = setTimeout(() => this._child.kill(), timeout);
        this._child.once("close", (code, signal) => {
          clearTimeout(killer);
          resolve(code ?? signal);
        });
        if (this._child.exitCode !== null || this._child.signalCode !== null) {
          clearTimeout(killer);
          resolve(this._child.exitCode ?? this._child.signalCode);
        }
      });
      this._child.stdin.end("quit\n");
      this._child.ref();
    }
    return this._closed;
  }

  _ask(command, { timeout = this.timeout, signal } = {}) {
    if (/[\r\n]/.test(command)) return Promise.reject(new TypeError("a command is one line"));
    if (this._gone) return Promise.reject(this._gone);
    if (this._closed) return Promise.reject(new AppduckGoneError(null));
    if (signal?.aborted) return Promise.reject(signal.reason);
    return new Promise((resolve, reject) => {
      const waiter = { done: false };
      const finish = (settle, value) => {
        if (waiter.done) return;
        waiter.done = true;
        clearTimeout(timer);
        signal?.removeEventListener("abort", onAbort);
        settle(value);
        this._refresh();
      };
      const onAbort = () => finish(reject, signal.reason);
      const timer = Number.isFinite(timeout) && timeout > 0
        ? setTimeout(() => finish(reject, new AppduckTimeoutError(command, timeout)), timeout)
        : null;
      signal?.addEventListener("abort", onAbort, { once: true });
      waiter.resolve = (line) => finish(resolve, line);
      waiter.reject = (error) => finish(reject, error);
      this._waiting.push(waiter);
      this._child.stdin.write(command + "\n");
      this._refresh();
    });
  }

  _reply(line) {
    const waiter = this._waiting.shift();
    if (waiter) waiter.resolve(line); // one that gave up takes its reply and drops it
    this._refresh();
  }

  _end(error) {
    if (!this._gone) this._gone = error;
    for (const waiter of this._waiting.splice(0)) waiter.reject(this._gone);
    this._cancelHold();
  }

  _cancelHold() {
    if (this._hold) clearTimeout(this._hold);
    this._hold = null;
  }

  // An idle appduck keeps no program alive; one owing a reply does.
  _refresh() {
    const busy = this._waiting.some((waiter) => !waiter.done);
    for (const handle of [this._child, this._child.stdout, this._child.stdin]) {
      if (busy) handle?.ref?.();
      else handle?.unref?.();
    }
  }
}

function ok(line) {
  const reply = JSON.parse(line);
  if (reply.ok !== true) throw new AppduckError(`appduck refused the command: ${line}`);
  return reply;
}

let shared = null;

/** Appduck#ducked on this process's one appduck, started on first use. */
function ducked(percent, names, fn, options) {
  if (!shared || shared._closed || shared._gone) shared = new Appduck();
  return shared.ducked(percent, names, fn, options);
}

module.exports = {
  Appduck, ducked, findAppduck,
  AppduckError, AppduckNotFoundError, AppduckGoneError, AppduckTimeoutError,
};
