"use strict";
// What can go wrong when talking to appduck.

class AppduckError extends Error {}

class AppduckNotFoundError extends AppduckError {
  constructor(tried, cause) {
    const places = tried.map(([where, why]) => `${where} (${why})`).join("; ") || "nowhere";
    super(`appduck was not found: tried ${places}`, cause ? { cause } : undefined);
    this.name = "AppduckNotFoundError";
    this.tried = tried;
    this.code = "ENOENT";
  }
}

class AppduckGoneError extends AppduckError {
  constructor(status) {
    super(`appduck is gone (exit status ${status})`);
    this.name = "AppduckGoneError";
    this.status = status;
  }
}

class AppduckTimeoutError extends AppduckError {
  constructor(command, milliseconds) {
    super(`no reply to ${JSON.stringify(command)} within ${milliseconds} ms`);
    this.name = "AppduckTimeoutError";
  }
}

module.exports = { AppduckError, AppduckNotFoundError, AppduckGoneError, AppduckTimeoutError };
