// tarsa-bridge's live settings and services with the Foxglove client library: each parameter
// read, set and refused, with its effect on the wheels or the camera; the recording, odometry
// and snapshot services with their responses and effects.
import { test, after } from "node:test";
import assert from "node:assert/strict";
import { existsSync, readFileSync } from "node:fs";
import path from "node:path";
import { McapIndexedReader } from "@mcap/core";
import { loadDecompressHandlers } from "@mcap/support";
import { Bridge, Client, sleep, slow, until, kSpeedUnit } from "./lib/bridge.mjs";

// The simulated camera stays out under an emulator, as in the load test.
const withCamera = slow === 1;
const b = await Bridge.start({
  name: "controls",
  settings: `drive_from = "127.0.0.1"\ncamera = ${withCamera}`,
  mediaScripts: true,
});
after(() => b.stop().catch(() => b.proc.kill("SIGKILL")));
const cameraTopic = "/camera/image/compressed";

// Frames a second over the last `n` frames, from their log times.
function rate(c, n) {
  const list = c.messages.get(cameraTopic).slice(-n);
  return (n - 1) / (Number(list[n - 1].time - list[0].time) / 1e9);
}

// The size of a baseline JPEG from its frame header; throws on anything that is not a JPEG.
function jpegSize(bytes) {
  assert.equal(bytes.readUInt16BE(0), 0xffd8, "starts with SOI");
  assert.equal(bytes.readUInt16BE(bytes.length - 2), 0xffd9, "ends with EOI");
  for (let at = 2; at < bytes.length; at += 2 + bytes.readUInt16BE(at + 2)) {
    if (bytes[at] !== 0xff) throw new Error(`no marker at ${at}`);
    if (bytes[at + 1] === 0xc0) return { width: bytes.readUInt16BE(at + 7), height: bytes.readUInt16BE(at + 5) };
  }
  throw new Error("no frame header");
}

test("parameters read, set and refused; a watcher reads and follows but may not set", async () => {
  const c = await Client.connect(b, { subscribeAll: false });
  const watcher = await Client.connect(b, { localAddress: "127.0.0.2", subscribeAll: false });
  for (const cap of ["parameters", "parametersSubscribe", "services"]) assert.ok(c.serverInfo.capabilities.includes(cap), cap);

  const all = await c.parameters([]);
  assert.deepEqual(all, {
    max_linear: 0.3,
    max_angular: 2,
    max_linear_accel: 0.5,
    max_angular_accel: 4,
    watchdog_ms: 500,
    safety_distance_m: 0,
    ...(withCamera ? { camera_rate: 10, camera_size: "320x240", camera_quality: 75 } : {}),
    lrf: false,
    camera: withCamera,
    stargazer: false,
  });
  assert.equal(c.parameterValues[0].parameters.find((p) => p.name === "max_angular").type, "float64");

  watcher.fox.subscribeParameterUpdates(["max_linear"]);
  await sleep(100);
  // Each refusal keeps the value in force and says why, naming the parameter and what it wanted.
  const refusals = [
    ["max_linear", -1, /parameter max_linear = -1 refused: not a number above 0; stays 0\.3/],
    ["watchdog_ms", 2.5, /watchdog_ms = 2\.5 refused: not a whole number of milliseconds/],
    ["watchdog_ms", "fast", /watchdog_ms = "fast" refused: wants a whole number/],
    ["lrf", true, /lrf = true refused: the sensor did not answer at start-up/],
    ["port", 9000, /port = 9000 refused: not a setting that changes while the bridge runs/],
  ];
  for (const [name, value, why] of refusals) {
    const before = c.statuses.length;
    const reply = await c.setParameters([{ name, value }]);
    assert.equal(reply[name], all[name], name);
    assert.equal(c.statuses.length, before + 1);
    assert.equal(c.statuses[before].level, 2);
    assert.match(c.statuses[before].message, why);
  }
  watcher.fox.setParameters([{ name: "max_linear", value: 5 }], "w");
  await until(() => watcher.statuses.length > 0, 5, "the refusal");
  assert.match(watcher.statuses[0].message, /setParameters refused: 127\.0\.0\.2 may watch/);
  assert.equal((await watcher.parameters(["max_linear"])).max_linear, 0.3);
  assert.equal(watcher.parameterValues.filter((p) => !p.id).length, 0, "no update for refusals");

  // A lower speed limit clamps the next command; the watcher hears of the change.
  assert.deepEqual(await c.setParameters([{ name: "max_linear", value: 0.1 }, { name: "max_linear_accel", value: 0 }]), {
    max_linear: 0.1,
    max_linear_accel: 0,
  });
  await until(() => watcher.parameterValues.some((p) => !p.id), 5, "the update");
  assert.deepEqual(watcher.parameterValues.filter((p) => !p.id)[0].parameters, [{ name: "max_linear", value: 0.1, type: "float64" }]);
  const mark = b.speedFrames().length;
  const drive = c.driver();
  for (let i = 0; i < 5; ++i) {
    drive(5.0);
    await sleep(100);
  }
  const frames = b.speedFrames().slice(mark);
  const units = Math.trunc(100 / kSpeedUnit);
  assert.ok(frames.some((f) => f.left === units), JSON.stringify(frames.slice(-2)));
  assert.ok(frames.every((f) => f.left <= units));
  await c.setParameters([{ name: "max_linear", value: 0.3 }, { name: "max_linear_accel", value: 0.5 }]);
  c.close();
  watcher.close();
});

test("the camera's rate, size, quality and stream change while it runs", { skip: !withCamera }, async (t) => {
  const c = await Client.connect(b, { subscribeAll: false });
  c.subscribe(cameraTopic);
  await until(() => c.count(cameraTopic) >= 12, 10, "camera frames");
  const before = rate(c, 10);
  assert.ok(Math.abs(before - 10) < 1.5, `${before} fps`);
  await c.setParameters([{ name: "camera_rate", value: 4 }]);
  const mark = c.count(cameraTopic);
  await until(() => c.count(cameraTopic) >= mark + 8, 10, "frames at 4 fps");
  assert.ok(Math.abs(rate(c, 7) - 4) < 0.6, `${rate(c, 7)} fps`);
  t.diagnostic(`camera at 10 fps asked: ${before.toFixed(2)} received before, ${rate(c, 7).toFixed(2)} after 4 asked`);

  const big = (await c.call("snapshot")).response;
  await c.setParameters([{ name: "camera_quality", value: 10 }, { name: "camera_size", value: "160x120" }]);
  assert.equal((await c.parameters(["camera_size"])).camera_size, "160x120");
  const sized = c.count(cameraTopic);
  await until(() => c.count(cameraTopic) >= sized + 2, 10, "smaller frames");
  const small = (await c.call("snapshot")).response;
  assert.deepEqual([small.format, small.width, small.height], ["jpeg", 160, 120]);
  assert.deepEqual(jpegSize(Buffer.from(small.data, "base64")), { width: 160, height: 120 });
  assert.deepEqual(jpegSize(Buffer.from(big.data, "base64")), { width: 320, height: 240 });
  assert.ok(small.data.length * 4 < big.data.length, `${small.data.length} vs ${big.data.length}`);
  t.diagnostic(`snapshot: ${big.data.length} base64 bytes at 320x240, quality 75; ${small.data.length} at 160x120, quality 10`);

  await c.setParameters([{ name: "camera", value: false }]);
  await sleep(300);
  const off = c.count(cameraTopic);
  await sleep(1000);
  assert.equal(c.count(cameraTopic), off);
  await c.setParameters([{ name: "camera", value: true }, { name: "camera_rate", value: 10 }]);
  await until(() => c.count(cameraTopic) > off, 5, "frames again");
  c.close();
});

test("services: recording started and stopped, odometry reset; watchers may not call", async () => {
  const c = await Client.connect(b, { subscribeAll: false });
  c.subscribe("/odom");
  c.subscribe("/diagnostics");
  const srv = [...c.services.values()].map((s) => [s.name, s.request.encoding, s.response.schemaEncoding]);
  assert.deepEqual(srv.map((s) => s[0]).sort(), ["reset_odometry", "snapshot", "start_recording", "stop_recording"]);
  assert.ok(srv.every((s) => s[1] === "json" && s[2] === "jsonschema"));

  assert.deepEqual(await c.call("stop_recording"), { failure: "not recording" });
  assert.deepEqual(await c.call("start_recording", { path: "svc.mcap" }), { response: { path: "svc.mcap" } });
  assert.match((await c.call("start_recording")).failure, /already recording to svc\.mcap/);
  const drive = c.driver();
  for (let i = 0; i < 10; ++i) {
    drive(0.2);
    await sleep(100);
  }
  const stopped = (await c.call("stop_recording")).response;
  assert.equal(stopped.path, "svc.mcap");
  assert.equal(stopped.dropped, 0);
  const buf = readFileSync(path.join(b.dir, "svc.mcap"));
  const reader = await McapIndexedReader.Initialize({
    readable: { size: async () => BigInt(buf.length), read: async (at, n) => buf.subarray(Number(at), Number(at + n)) },
    decompressHandlers: await loadDecompressHandlers(),
  });
  assert.equal(reader.statistics.messageCount, BigInt(stopped.recorded));
  let read = 0;
  for await (const _ of reader.readMessages()) ++read;
  assert.equal(read, stopped.recorded);
  assert.ok(stopped.recorded > 100, `${stopped.recorded} messages`);
  // A second recording, under the default name.
  const { path: name } = (await c.call("start_recording")).response;
  assert.match(name, /^tarsa-\d{8}-\d{6}(-\d+)?\.mcap$/);
  await sleep(500);
  assert.ok((await c.call("stop_recording")).response.recorded > 0);
  assert.ok(existsSync(path.join(b.dir, name)));

  // The robot drove forward: its odometry reads back 0 after the reset.
  const pose = () => c.latest("/odom").pose.position;
  assert.ok(pose().x > 0.05, JSON.stringify(pose()));
  assert.deepEqual(await c.call("reset_odometry"), { response: {} });
  const after = c.count("/odom");
  await until(() => c.count("/odom") > after + 1, 5, "odometry after the reset");
  assert.ok(Math.abs(pose().x) < 0.01 && Math.abs(pose().y) < 0.01, JSON.stringify(pose()));

  const watcher = await Client.connect(b, { localAddress: "127.0.0.2", subscribeAll: false });
  assert.match((await watcher.call("reset_odometry")).failure, /127\.0\.0\.2 may watch but is not allowed to call/);
  watcher.close();
  c.close();
});
