// tarsa-bridge as one owner of the robot that ends cleanly and recovers: a second bridge on the
// same board, every ending signal, refused options and settings, the range finder's power
// cycled, a recording that runs out of room, watchers that would crowd out the driver, and a
// StarGazer whose records come in pieces among noise.
import { test, after } from "node:test";
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { mkdtempSync, readdirSync, readFileSync, statSync, statfsSync, writeFileSync } from "node:fs";
import net from "node:net";
import path from "node:path";
import { McapStreamReader } from "@mcap/core";
import { loadDecompressHandlers } from "@mcap/support";
import { Bridge, Client, outDir, sleep, until } from "./lib/bridge.mjs";

// Under an emulator (the armhf build under qemu-user).
const emulated = Boolean(process.env.TARSA_EMULATED);
const bridges = [];
after(async () => {
  for (const b of bridges) await b.stop().catch(() => b.proc.kill("SIGKILL"));
});

async function start(options) {
  const b = await Bridge.start(options);
  bridges.push(b);
  return b;
}

// The stop routine's frames last on the trace: speeds 0 and mode 0.
function assertStopped(b, what) {
  const frames = b.speedFrames();
  const last = frames[frames.length - 1];
  assert.deepEqual([last.left, last.right], [0, 0], what);
  const mode = b.trace().filter((r) => r.op === "write" && r.addr === 0x1f && /^17/.test(r.data));
  assert.equal(mode[mode.length - 1].data, "1700", what);
}

// A small seeded generator, so that a failure can be replayed.
function random(seed) {
  return () => ((seed = (seed * 1103515245 + 12345) % 2147483648) / 2147483648);
}

test("a second bridge on the same board ends at once, naming the first, which carries on", async () => {
  const b = await start({ name: "claim" });
  const c = await Client.connect(b);
  await until(() => c.count("/wheels") > 0, 10, "wheels");
  const own = path.join(b.dir, "second.jsonl");
  const second = spawnSync(process.env.TARSA_BRIDGE, ["--port", "0", "--bind", "127.0.0.1"], {
    env: b.boardEnv(own),
    encoding: "utf8",
    timeout: 30000,
  });
  assert.equal(second.status, 1);
  assert.equal(second.stderr, `tarsa-bridge: the robot is in use by tarsa-bridge (pid ${b.programPid()})\n`);
  assert.equal(statSync(own, { throwIfNoEntry: false })?.size ?? 0, 0, "the second bridge touched the board");
  const seen = c.count("/wheels");
  await until(() => c.count("/wheels") > seen + 5, 10, "the first bridge's wheels");
  c.close();
});

test("every ending signal stops the wheels and shows in the exit status", async () => {
  const next = random(20261208);
  const rt = 34 + 3; // a real-time signal (SIGRTMIN is 34 with glibc)
  for (const sig of ["SIGHUP", "SIGQUIT", "SIGUSR1", "SIGALRM", rt, "SIGINT", "SIGTERM"]) {
    const b = await start({ name: "signal" });
    const c = await Client.connect(b, { subscribeAll: false });
    const drive = c.driver();
    drive(0.2);
    await until(() => b.speedFrames().some((f) => f.left > 0), 10, "driving");
    const end = Date.now() + next() * 400;
    while (Date.now() < end) {
      drive(0.2);
      await sleep(20);
    }
    const { code } = await b.stop(sig);
    const number = typeof sig === "number" ? sig : { SIGHUP: 1, SIGINT: 2, SIGQUIT: 3, SIGUSR1: 10, SIGALRM: 14, SIGTERM: 15 }[sig];
    if (typeof sig === "number" && emulated) {
      // An emulator numbers the real-time signals it passes on its own way: one of them it is.
      assert.ok(code >= 128 + 32 && code <= 128 + 64, `${sig}: ${code}: ${b.out}${b.err}`);
    } else {
      assert.equal(code, 128 + number, `${sig}: ${b.out}${b.err}`);
    }
    assertStopped(b, String(sig));
    c.close();
  }
});

test("unknown options, stray arguments and bad settings are refused before the robot is touched", async () => {
  const cases = [
    { args: ["--recrod", "x"], says: /unknown option '--recrod'/ },
    { args: ["stray"], says: /unexpected argument 'stray'/ },
    { settings: "camra = true", says: /^tarsa-bridge: setting bridge\.camra: unknown key$/m },
    {
      settings: 'max_linear = "fast"\nwatchdog_ms = -5',
      says: /bridge\.max_linear = "fast": wants a number\n.*bridge\.watchdog_ms = -5: not a whole number/,
    },
    {
      settings: 'port = 8765.5\ncamera = 1\nextra = { on = true }',
      says: /bridge\.port = 8765\.5: wants a whole number\n.*bridge\.camera = 1: wants true or false\n.*bridge\.extra: unknown key$/m,
    },
  ];
  for (const { args = [], settings = "", says } of cases) {
    const b = Bridge.launch({ name: "refused", args, settings });
    const { code } = await b.exited;
    assert.equal(code, 2, b.err);
    assert.match(b.err, says);
    assert.equal(statSync(b.tracePath, { throwIfNoEntry: false })?.size ?? 0, 0, "nothing on the trace");
  }
});

test("the range finder is restarted after its power was cycled", { skip: !process.env.TARSA_LRFPOWER }, async () => {
  const scenario = 'extends = "builtin"\n[[serial.device]]\nnode = "/dev/ttyACM0"\nmodel = "scip_lrf"\npower_gpio = 87\n';
  const b = await start({ name: "lrf-power", scenario, settings: "lrf = true" });
  const c = await Client.connect(b);
  await until(() => c.count("/scan") > 3, 15, "scans");
  const power = (v) => spawnSync(process.env.TARSA_LRFPOWER, [v], { env: b.boardEnv(), encoding: "utf8", timeout: 20000 });
  assert.equal(power("0").status, 0);
  await until(() => /range finder silent/.test(b.out), 10, "the silence on the log");
  assert.equal(power("1").status, 0);
  const back = Date.now();
  const seen = c.count("/scan");
  await until(() => c.count("/scan") > seen, 3 + 5, "scans again");
  assert.match(b.out, /range finder restarted, laser on/);
  if (!process.env.TARSA_EMULATED) assert.ok(Date.now() - back < 3000 + 2000, "late");
  await until(() => /range finder delivers again/.test(b.out), 5, "the return on the log");
  c.close();
});

test("a recording that runs out of room says so, keeps its whole chunks and the robot stops at the end", async (t) => {
  // A small tmpfs of its own, filled up while the bridge records onto it: the disk really is
  // full (ENOSPC). Mounting needs root, as in CI; elsewhere the test is skipped.
  const dir = mkdtempSync(path.join(outDir(), "full-"));
  if (spawnSync("mount", ["-t", "tmpfs", "-o", "size=1m", "tmpfs", dir]).status !== 0) return t.skip("cannot mount a tmpfs");
  t.after(() => spawnSync("umount", ["-l", dir]));
  const file = path.join(dir, "run.mcap");
  const b = await start({ name: "full", args: ["--record", file] });
  const c = await Client.connect(b);
  await until(() => c.count("/diagnostics") >= 1, 10, "diagnostics");
  const { bavail, bsize } = statfsSync(dir);
  writeFileSync(path.join(dir, "filler"), Buffer.alloc(Math.max(0, Number(bavail * bsize) - 48 * 1024)));
  const drive = c.driver();
  await until(() => (drive(0.1), /recording to .*run\.mcap failed: No space left on device/.test(b.out)), 30, "the failure on the log");
  const failedAt = Date.now();
  await until(() => c.latest("/diagnostics")?.record_error, 5, "the failure on /diagnostics");
  assert.ok(Date.now() - failedAt < 1000 * (process.env.TARSA_EMULATED ? 8 : 1) + 1000);
  await until(() => c.latest("/diagnostics").record_dropped > 0, 5, "the dropped count");
  const { code } = await b.stop("SIGINT");
  assert.equal(code, 1, "a failed recording shows in the status");
  assertStopped(b, "after the failed recording");
  // A reader goes through every record up to the end of the file: whole chunks only.
  const reader = new McapStreamReader({ decompressHandlers: await loadDecompressHandlers() });
  reader.append(readFileSync(file));
  let messages = 0;
  for (let r; (r = reader.nextRecord()); ) if (r.type === "Message") ++messages;
  assert.ok(messages > 0, "no message");
  assert.equal(reader.bytesRemaining(), 0, "a cut record at the end");
  c.close();
});

test("watchers from another address never lock the driver out", async () => {
  const b = await start({ name: "crowd", settings: 'drive_from = "127.0.0.1"' });
  const watchers = [];
  for (let i = 0; i < 16; ++i) watchers.push(await Client.connect(b, { localAddress: "127.0.0.2", subscribeAll: false }));
  const driver = await Client.connect(b, { subscribeAll: false });
  const drive = driver.driver();
  await until(() => (drive(0.1), b.speedFrames().some((f) => f.left > 0)), 10, "driving");
  for (const w of [...watchers, driver]) w.close();
});

test("StarGazer records cut in two among noise give positions at the sensor's rate", async () => {
  const scenario = 'extends = "builtin"\n[[serial.device]]\nnode = "/dev/ttyO0"\nmodel = "stargazer"\nrate_hz = 10\nsplit_ms = 30\ngarbage_hz = 5\n';
  const b = await start({ name: "gazer", scenario, settings: "stargazer = true" });
  const c = await Client.connect(b);
  await until(() => c.count("/stargazer") >= 1, 15, "a position");
  const first = c.messages.get("/stargazer")[0].arrived;
  await until(() => c.count("/stargazer") >= 21, 15, "twenty more positions");
  const seconds = (c.messages.get("/stargazer")[20].arrived - first) / 1000;
  if (!process.env.TARSA_EMULATED) assert.ok(seconds < 20 / 10 * 1.6, `${seconds} s for 20 positions`);
  c.close();
});

// CPU ticks (user + system) of each thread of `pid`.
function threadTicks(pid) {
  const ticks = new Map();
  for (const tid of readdirSync(`/proc/${pid}/task`)) {
    const stat = readFileSync(`/proc/${pid}/task/${tid}/stat`, "utf8");
    const f = stat.slice(stat.lastIndexOf(")") + 2).split(" ");
    ticks.set(tid, Number(f[11]) + Number(f[12]));
  }
  return ticks;
}

test("out of descriptors, accepting pauses instead of spinning, and the driver gets in later", async () => {
  const b = await start({ name: "emfile" });
  const pid = b.programPid();
  // As under `ulimit -n 1024`, and more idle connections than that: the kernel completes them,
  // the bridge cannot take them all.
  const limit = 1024;
  assert.ok(readdirSync(`/proc/${pid}/fd`).length < limit / 2);
  const set = spawnSync("prlimit", [`--pid=${pid}`, `--nofile=${limit}:${limit}`], { encoding: "utf8" });
  assert.equal(set.status, 0, set.stderr);
  const idle = [];
  for (let i = 0; i < 1100; ++i) {
    const s = net.connect(b.port, "127.0.0.1");
    s.on("error", () => {});
    idle.push(s);
  }
  await until(() => /cannot accept clients: Too many open files/.test(b.out), 10, "the line on the log");
  const before = threadTicks(pid);
  const t0 = Date.now();
  await sleep(1000);
  const after = threadTicks(pid);
  const seconds = (Date.now() - t0) / 1000;
  const hz = 100; // USER_HZ
  for (const [tid, t] of after) {
    const share = (t - (before.get(tid) ?? 0)) / hz / seconds;
    if (!process.env.TARSA_EMULATED) assert.ok(share < 0.05, `thread ${tid} at ${Math.round(share * 100)} % of a core`);
  }
  assert.equal(b.out.match(/cannot accept clients/g).length, 1, "one line");
  for (const s of idle) s.destroy();
  const driver = await Client.connect(b, { subscribeAll: false }).catch((e) => {
    throw new Error(`${e.message}: ${b.out}${b.err}`);
  });
  const drive = driver.driver();
  await until(() => (drive(0.1), b.speedFrames().some((f) => f.left > 0)), 15, "driving");
  driver.close();
});
