// tarsa-bridge with the optional sensors: the StarGazer and the range finder answering as
// scripted by the simulated board, and both left out when they do not answer.
import { test, after } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";
import AjvModule from "ajv";
import { Bridge, Client, until } from "./lib/bridge.mjs";

const Ajv = AjvModule.default ?? AjvModule;
const here = path.dirname(fileURLToPath(import.meta.url));
const bridges = [];
after(async () => {
  for (const b of bridges) await b.stop().catch(() => b.proc.kill("SIGKILL"));
});

// The range finder's protocol: a check character per line, values in 6-bit characters.
const check = (s) => String.fromCharCode(([...s].reduce((a, c) => a + c.charCodeAt(0), 0) & 0x3f) + 0x30);
const checked = (s) => s + check(s);
const reply = (echo, lines = []) => `${echo}\n${checked("00")}\n${lines.map((l) => l + "\n").join("")}\n`;
const encode3 = (v) => String.fromCharCode(((v >> 12) & 63) + 0x30, ((v >> 6) & 63) + 0x30, (v & 63) + 0x30);
const params = ["MODL:LRF-240", "DMIN:20", "DMAX:5600", "ARES:1024", "AMIN:44", "AMAX:725", "AFRT:384", "SCAN:600"];
const distances = Array.from({ length: 682 }, (_, i) => 500 + i);
const data = distances.map(encode3).join("");
const blocks = [];
for (let at = 0; at < data.length; at += 64) blocks.push(checked(data.slice(at, at + 64)));
const scan = reply("GD0044072501", [checked("0A3Z"), ...blocks]);

const script = (node, expect, answer, delay = 0) =>
  `[[serial.script]]\nnode = "${node}"\nexpect = ${JSON.stringify(expect)}\nreply = ${JSON.stringify(answer)}\ndelay_ms = ${delay}\n`;
// Scripted replies on the range finder's node, in place of the board's range finder model; the
// StarGazer's port answers only what is scripted here, or nothing at all.
const scripted = 'extends = "builtin"\n[[serial.device]]\nnode = "/dev/ttyACM0"\nmodel = "script"\n';
const stargazer = (model) => `[[serial.device]]\nnode = "/dev/ttyO0"\nmodel = "${model}"\n`;
const board =
  scripted +
  stargazer("script") +
  script("/dev/ttyACM0", "QT\n", reply("QT")) +
  script("/dev/ttyACM0", "PP\n", reply("PP", params.map((p) => `${p};${check(p)}`))) +
  script("/dev/ttyACM0", "BM\n", reply("BM")) +
  // A scan takes a turn of the mirror: 100 ms at 600 turns a minute.
  script("/dev/ttyACM0", "GD0044072501\n", scan, 100) +
  script("/dev/ttyO0", "~#CalcStop`", "~!CalcStop`") +
  // The position comes once, late enough for the client to be there.
  script("/dev/ttyO0", "~#CalcStar", "~^I3|90.0|120.5|-40|250`", 3000) +
  script("/dev/ttyO0", "t`", "~!CalcStart`");

test("the StarGazer and the range finder get channels of their own", async () => {
  const b = await Bridge.start({ name: "sensors", scenario: board, settings: "stargazer = true\nlrf = true" });
  bridges.push(b);
  const c = await Client.connect(b);
  const topics = [...c.channels.values()].map((ch) => ch.topic);
  assert.ok(topics.includes("/scan") && topics.includes("/stargazer"), topics.join(" "));
  await until(() => c.count("/scan") >= 10 && c.count("/stargazer") >= 1, 10, "scans and a position").catch((e) => {
    throw new Error(`${e.message}: ${c.count("/scan")} scans, ${c.count("/stargazer")} positions; ${b.out}`);
  });

  const laserScan = new (Ajv)({ strict: false }).compile(
    JSON.parse(readFileSync(path.join(here, "foxglove-schemas", "LaserScan.json"), "utf8")),
  );
  const s = c.latest("/scan");
  assert.ok(laserScan(s), JSON.stringify(laserScan.errors));
  assert.equal(s.ranges.length, 682);
  assert.equal(s.ranges[340], 0.84); // the front: entry 340, 500 + 340 mm
  assert.ok(Math.abs(s.start_angle + (340 * 2 * Math.PI) / 1024) < 1e-12);
  assert.ok(Math.abs(s.end_angle - (341 * 2 * Math.PI) / 1024) < 1e-12);
  const times = c.messages.get("/scan").map((m) => Number(m.time) / 1e9);
  const rate = (times.length - 1) / (times.at(-1) - times[0]);
  assert.ok(rate > 5 && rate < 11, `${rate.toFixed(1)} scans a second`);

  const g = c.latest("/stargazer");
  assert.equal(g.landmark_id, 3);
  assert.equal(g.mode, "I");
  assert.ok(Math.abs(g.x - 1.205) < 1e-9 && Math.abs(g.y + 0.4) < 1e-9 && Math.abs(g.height - 2.5) < 1e-9, JSON.stringify(g));
  assert.equal(c.latest("/diagnostics")?.scan_errors ?? 0, 0);
  c.close();
  await b.stop();
  // The laser is switched off and its power too.
  const sent = b.trace().filter((r) => r.dev === "/dev/ttyACM0" && r.op === "tx").map((r) => Buffer.from(r.data, "hex").toString());
  assert.equal(sent.at(-1), "QT\n");
});

test("sensors that do not answer are reported once and left out", async () => {
  // A silent StarGazer, a range finder that never answers, a camera that cannot capture.
  const scenario =
    scripted +
    stargazer("stargazer") +
    "silent = true\n" +
    '[[video.device]]\nnode = "/dev/video6"\nmodel = "camera"\ncapture = false\n';
  const b = await Bridge.start({
    name: "sensors-missing",
    scenario,
    settings: "stargazer = true\nlrf = true\ncamera = true",
  });
  bridges.push(b);
  assert.match(b.out, /StarGazer left out: no answer on \/dev\/ttyO0\n/);
  assert.match(b.out, /range finder left out: no answer on \/dev\/ttyACM0: /);
  assert.match(b.out, /camera left out: (a media pipeline script failed|the capture device refused) \(-\d+\)\n/);
  const c = await Client.connect(b);
  const topics = [...c.channels.values()].map((ch) => ch.topic);
  assert.ok(!topics.some((t) => ["/scan", "/stargazer", "/camera/image/compressed"].includes(t)), topics.join(" "));
  await until(() => c.count("/wheels") >= 20, 5, "the robot's own channels");
  c.close();
});
