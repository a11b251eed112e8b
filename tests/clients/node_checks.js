// The Node.js client's side of clients_test.py: each check prints what it
// saw as one JSON line; "wait" lines are for the test to act upon, and it
// answers each with a line on our standard input.
"use strict";
const readline = require("node:readline");
const appduck = require("appduck");

const lines = readline.createInterface({ input: process.stdin })[Symbol.asyncIterator]();
async function step(what) {
  console.log(JSON.stringify({ wait: what }));
  await lines.next();
}

async function outcome(promise) {
  try {
    return { value: await promise };
  } catch (error) {
    return { error: error.name, message: error.message, status: error.status ?? null };
  }
}

const checks = {
  async stall() {
    const client = new appduck.Appduck({ timeout: 1000 });
    const ducked = await client.duck(20, "player");
    await step("stop the server");
    const restore = await outcome(client.restore());
    await step("resume the server");
    const list = await outcome(client.list());
    await client.close();
    return { ducked, restore, list };
  },
  async missing() {
    return outcome(Promise.resolve().then(() => new appduck.Appduck({ path: process.argv[3] })));
  },
  async chosen() {
    // APPDUCK names nothing: the user's choice, not a reason to look on.
    process.env.APPDUCK = process.argv[3];
    return outcome(Promise.resolve().then(() => new appduck.Appduck()));
  },
  async unmatched() {
    const said = [];
    process.on("warning", (warning) => {
      if (warning.code === "APPDUCK_NO_MATCH") said.push(warning.message);
    });
    const client = new appduck.Appduck();
    for (let i = 0; i < 2; ++i) await client.ducked(20, "spotify", async () => {});
    await client.close();
    await new Promise((resolve) => setImmediate(resolve));
    return said;
  },
  async killed() {
    const client = new appduck.Appduck();
    await client.duck(20, "player");
    await step("kill appduck " + client._child.pid);
    return outcome(client.list());
  },
  async aborted() {
    const client = new appduck.Appduck();
    const controller = new AbortController();
    const duck = outcome(client.duck(20, "player", { signal: controller.signal }));
    controller.abort();
    const aborted = await duck;
    const list = await outcome(client.list());
    await client.close();
    return { aborted, list };
  },
};

checks[process.argv[2]]().then((result) => {
  console.log(JSON.stringify({ result }));
  process.exit(0);
});
