"use strict";
// Where the appduck program is: an explicit path, then the APPDUCK
// environment variable, then PATH, then where the packages install it. An
// explicit path or APPDUCK is the user's choice: when it does not serve,
// nothing else is tried.
const fs = require("node:fs");
const path = require("node:path");
const { AppduckNotFoundError } = require("./errors");

const NAME = process.platform === "win32" ? "appduck.exe" : "appduck";

function whyUnusable(candidate) {
  let status;
  try {
    status = fs.statSync(candidate);
  } catch {
    return "no such file";
  }
  if (status.isDirectory()) return "a directory";
  try {
    fs.accessSync(candidate, fs.constants.X_OK);
  } catch {
    return "not executable";
  }
  return null;
}

function onPath() {
  for (const directory of (process.env.PATH || "").split(path.delimiter)) {
    if (directory && !whyUnusable(path.join(directory, NAME))) return path.join(directory, NAME);
  }
  return null;
}

function findAppduck(explicit) {
  const tried = [];
  const candidates = [];
  const given = explicit !== undefined && explicit !== null;
  const chosen = given ? explicit : process.env.APPDUCK || null;
  if (chosen !== null) {
    const why = whyUnusable(chosen);
    if (!why) return path.resolve(chosen);
    throw new AppduckNotFoundError([[given ? chosen : `APPDUCK=${chosen}`, why]]);
  }
  const found = onPath();
  if (found) candidates.push(found);
  else tried.push(["PATH", `no ${NAME} on it`]);
  if (process.platform !== "win32") candidates.push("/usr/bin/appduck", "/usr/local/bin/appduck");
  for (const candidate of candidates) {
    const why = whyUnusable(candidate);
    if (!why) return path.resolve(candidate);
    tried.push([candidate, why]);
  }
  throw new AppduckNotFoundError(tried);
}

module.exports = { findAppduck };
