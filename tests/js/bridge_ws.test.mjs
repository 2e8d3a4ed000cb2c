// tarsa-bridge on the simulated robot with real Foxglove clients: handshake, channels at their
// rates and matching their schemas, driving with limits and the watchdog, the allow-list.
import { test, after } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";
import WebSocket from "ws";
import AjvModule from "ajv";
import { Bridge, Client, sleep, slow, until, kSpeedUnit } from "./lib/bridge.mjs";

const Ajv = AjvModule.default ?? AjvModule;
const here = path.dirname(fileURLToPath(import.meta.url));
const bridges = [];
after(async () => {
  for (const b of bridges) await b.stop().catch(() => b.proc.kill("SIGKILL"));
});
async function start(opts) {
  const b = await Bridge.start(opts);
  bridges.push(b);
  return b;
}

const base = await start({ name: "ws", settings: 'drive_from = "127.0.0.1"' });

test("both subprotocol names are served; a client asking for neither is refused", async () => {
  for (const name of ["foxglove.sdk.v1", "foxglove.websocket.v1"]) {
    const ws = new WebSocket(base.url(), [name]);
    const first = await new Promise((resolve, reject) => {
      ws.once("message", (d) => resolve(JSON.parse(d.toString())));
      ws.once("error", reject);
    });
    assert.equal(ws.protocol, name);
    assert.equal(first.op, "serverInfo");
    ws.close();
  }
  const ws = new WebSocket(base.url(), ["something.else"]);
  const status = await new Promise((resolve) => ws.once("unexpected-response", (_req, res) => resolve(res.statusCode)));
  assert.equal(status, 400);
});

test("every channel streams at its rate with messages that match their schemas", async () => {
  const c = await Client.connect(base);
  assert.ok(c.serverInfo.capabilities.includes("clientPublish"));
  assert.deepEqual(c.serverInfo.supportedEncodings, ["json"]);
  const ajv = new Ajv({ strict: false });
  const validators = new Map();
  for (const ch of c.channels.values()) {
    assert.equal(ch.encoding, "json");
    // Foxglove's own types are checked against Foxglove's schemas, the others against their own.
    const own = ch.schemaName.startsWith("foxglove.")
      ? readFileSync(path.join(here, "foxglove-schemas", ch.schemaName.slice(9) + ".json"), "utf8")
      : ch.schema;
    validators.set(ch.topic, ajv.compile(JSON.parse(own)));
  }
  const topics = [...c.channels.values()].map((ch) => ch.topic).sort();
  assert.deepEqual(topics, ["/battery", "/diagnostics", "/imu/accel", "/imu/gyro", "/infrared", "/odom", "/tf", "/ultrasonic", "/wheels"]);

  await until(() => c.count("/diagnostics") >= 3, 10, "three diagnostics messages");
  for (const [topic, list] of c.messages) {
    for (const m of list) {
      const msg = JSON.parse(m.text);
      assert.ok(validators.get(topic)(msg), `${topic}: ${JSON.stringify(validators.get(topic).errors)}`);
      // The message's timestamp is its log time.
      assert.equal(BigInt(msg.timestamp.sec) * 1000000000n + BigInt(msg.timestamp.nsec), m.time, topic);
    }
    // Rates from the log times, so that a loaded test machine does not blur them.
    const span = Number(list[list.length - 1].time - list[0].time) / 1e9;
    const rate = (list.length - 1) / span;
    const want = topic === "/diagnostics" ? 1 : 20;
    assert.ok(Math.abs(rate - want) < want * 0.05, `${topic}: ${rate.toFixed(2)} Hz`);
  }
  const diag = c.latest("/diagnostics");
  assert.equal(diag.firmware_revision, 0x12);
  assert.equal(diag.bus_errors, 0);
  assert.equal(c.errors.length, 0);
  c.close();
});

test("drive commands reach the wheels within the limits, and the watchdog stops them", async () => {
  const c = await Client.connect(base, { subscribeAll: false });
  const drive = c.driver();
  const mark = base.speedFrames().length;
  // 5 m/s asked: the speed stays within 0.3 m/s, reached at 0.5 m/s^2.
  const maxUnits = Math.trunc(300 / kSpeedUnit);
  // The ramp goes by the time between ticks; frames are written a little after each tick.
  const stepUnits = (dtUs) => Math.ceil((0.5 * ((dtUs + 10000) / 1e6) * 1000) / kSpeedUnit) + 1;
  const t0 = Date.now();
  while (Date.now() - t0 < 1500 * slow) {
    drive(5.0);
    await sleep(100);
  }
  let frames = base.speedFrames().slice(mark);
  assert.ok(frames.some((f) => f.left === maxUnits && f.right === maxUnits), JSON.stringify(frames.slice(-3)));
  for (let i = 1; i < frames.length; ++i) {
    assert.ok(frames[i].left <= maxUnits && frames[i].left === frames[i].right);
    const step = Math.abs(frames[i].left - frames[i - 1].left);
    assert.ok(step <= stepUnits(frames[i].us - frames[i - 1].us), `step ${i}: ${step} units`);
  }
  // Turning on the spot: counter-clockwise is the right wheel forward.
  const turnMark = base.speedFrames().length;
  let lastSent = 0;
  for (let i = 0; i < 15 * slow; ++i) {
    drive(0, 1.0);
    lastSent = Date.now();
    await sleep(100);
  }
  frames = base.speedFrames().slice(turnMark);
  const last = frames[frames.length - 1];
  assert.equal(last.right, Math.trunc((105.4 * 1.0) / 2 / kSpeedUnit));
  assert.equal(last.left, -last.right);

  // No command for 500 ms: stopped at once, not ramped.
  const stopMark = base.speedFrames().length;
  await until(() => base.speedFrames().slice(stopMark).some((f) => f.left === 0 && f.right === 0), 3, "stop");
  const waited = Date.now() - lastSent;
  assert.ok(waited >= 490, `stopped ${waited} ms after the last command`);
  frames = base.speedFrames().slice(stopMark);
  const firstZero = frames.findIndex((f) => f.left === 0);
  assert.ok(frames.slice(0, firstZero).every((f) => f.right === last.right), "no ramp before the stop");
  // The line follows the stop frame on another pipe: on a busy machine it may come a little later.
  await until(() => /no drive command for 500 ms, wheels stopped/.test(base.out), 3, "the watchdog's line");
  c.close();
});

test("a client outside the allowed list watches but may not drive", async () => {
  const c = await Client.connect(base, { localAddress: "127.0.0.2" });
  assert.ok(!c.serverInfo.capabilities.includes("clientPublish"));
  const mark = base.speedFrames().length;
  const drive = c.driver();
  for (let i = 0; i < 5; ++i) {
    drive(0.2);
    await sleep(100);
  }
  await until(() => c.statuses.length >= 6, 5, "refusals");
  assert.ok(c.statuses.every((s) => s.level === 2 && /127\.0\.0\.2 may watch but is not allowed to drive/.test(s.message)));
  const before = c.count("/wheels");
  await until(() => c.count("/wheels") > before + 5, 5, "more wheel messages");
  assert.ok(base.speedFrames().slice(mark).every((f) => f.left === 0 && f.right === 0));
  c.close();
});

test("with the watchdog off a command holds until its client leaves", async () => {
  const b = await start({ name: "ws-nowatchdog", settings: 'watchdog_ms = 0\nmax_linear_accel = 0' });
  assert.match(b.out, /drive watchdog off/);
  const c = await Client.connect(b, { subscribeAll: false });
  c.driver()(0.1);
  const units = Math.trunc(100 / kSpeedUnit);
  await until(() => b.speedFrames().some((f) => f.left === units), 5, "drive frame");
  const mark = b.speedFrames().length;
  await sleep(1200);
  assert.ok(b.speedFrames().slice(mark).every((f) => f.left === units && f.right === units));
  c.close();
  const closed = b.speedFrames().length;
  await until(() => b.speedFrames().slice(closed).some((f) => f.left === 0 && f.right === 0), 5, "stop on leaving");
  // The log follows the client: in, driving, out.
  await until(() => /disconnected\n/.test(b.out), 5, "the line of the client leaving");
  const who = /(client \d+ \(127\.0\.0\.1:\d+\)) connected \(foxglove\.websocket\.v1\), may drive/.exec(b.out)?.[1];
  assert.ok(who, b.out);
  const lines = b.out.split("\n").filter((l) => l.includes(who)).map((l) => l.slice(l.indexOf(who) + who.length));
  assert.deepEqual(lines, [" connected (foxglove.websocket.v1), may drive", " drives", " stopped driving: it disconnected", " disconnected"]);
});

test("SIGTERM stops the wheels before the bridge ends", async () => {
  const c = await Client.connect(base, { subscribeAll: false });
  const drive = c.driver();
  for (let i = 0; i < 5; ++i) {
    drive(0.2);
    await sleep(100);
  }
  const { code } = await base.stop("SIGTERM");
  assert.equal(code, 128 + 15);
  const frames = base.speedFrames();
  assert.deepEqual(frames[frames.length - 1], { ...frames[frames.length - 1], left: 0, right: 0 });
  const mode = base.trace().filter((r) => r.op === "write" && r.addr === 0x1f && /^17/.test(r.data));
  assert.equal(mode[mode.length - 1].data, "1700");
  assert.match(base.out, /terminated, wheels stopped/);
  // The summary counts each channel's messages for the clients.
  assert.match(base.out, /\/wheels: [1-9]\d* messages sent to clients, \d+ dropped\n/);
});
