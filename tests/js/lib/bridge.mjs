// tarsa-bridge under the board simulator, and Foxglove clients of it, for the system tests.
// CTest passes the programs in TARSA_SIM and TARSA_BRIDGE and an output folder in TARSA_TEST_OUT.
import { spawn } from "node:child_process";
import { chmodSync, mkdirSync, mkdtempSync, readFileSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import WebSocket from "ws";
import wsProtocol from "@foxglove/ws-protocol";

export const { FoxgloveClient } = wsProtocol;

// Waits stretch this much when the bridge runs under an emulator (the armhf build under qemu).
export const slow = process.env.TARSA_EMULATED ? 8 : 1;

export function outDir() {
  const dir = process.env.TARSA_TEST_OUT ?? path.join(tmpdir(), "tarsa-bridge-tests");
  mkdirSync(dir, { recursive: true });
  return dir;
}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Resolves once cond() holds; rejects after `seconds` (stretched under an emulator).
export async function until(cond, seconds, what) {
  const end = Date.now() + seconds * 1000 * slow;
  while (!(await cond())) {
    if (Date.now() > end) throw new Error(`no ${what} within ${seconds * slow} s`);
    await sleep(20);
  }
}

export class Bridge {
  // Starts the bridge on a free port of 127.0.0.1 with `settings` as its [bridge] table.
  // `scenario` (TOML) replaces the simulated board; `mediaScripts` puts stand-ins for the
  // board's camera pipeline scripts on the PATH.
  static async start(options = {}) {
    const b = Bridge.launch(options);
    await until(() => /serving on port \d+/.test(b.out) || b.proc.exitCode !== null, 30, "bridge start-up");
    const m = /serving on port (\d+)/.exec(b.out);
    if (!m) throw new Error(`the bridge did not start: ${b.out}${b.err}`);
    b.port = Number(m[1]);
    return b;
  }

  // Starts the bridge without waiting for it to serve; `exited` resolves with its exit.
  static launch({ args = [], settings = "", name = "bridge", scenario = "", mediaScripts = false } = {}) {
    const b = new Bridge();
    b.dir = mkdtempSync(path.join(outDir(), `${name}-`));
    b.tracePath = path.join(b.dir, "trace.jsonl");
    const config = path.join(b.dir, "tarsa.toml");
    // The standard board, and the bridge's settings.
    const sample = path.join(path.dirname(fileURLToPath(import.meta.url)), "../../../tarsa.toml.sample");
    writeFileSync(config, `${readFileSync(sample, "utf8")}\n[bridge]\n${settings}\n`);
    const board = [];
    if (scenario) {
      board.push("--scenario", path.join(b.dir, "board.toml"));
      writeFileSync(board[1], scenario);
    }
    const env = { ...process.env, TARSA_CONFIG: config };
    if (mediaScripts) {
      const bin = path.join(b.dir, "bin");
      mkdirSync(bin);
      for (const script of ["media-pipes.sh", "media-formats.sh"]) {
        writeFileSync(path.join(bin, script), "#!/bin/sh\nexit 0\n");
        chmodSync(path.join(bin, script), 0o755);
      }
      env.PATH = `${bin}:${process.env.PATH}`;
    }
    b.out = "";
    b.err = "";
    b.proc = spawn(
      process.env.TARSA_SIM,
      [...board, "--trace", b.tracePath, "--", process.env.TARSA_BRIDGE, "--port", "0", "--bind", "127.0.0.1", ...args],
      { cwd: b.dir, env, stdio: ["ignore", "pipe", "pipe"] },
    );
    b.proc.stdout.on("data", (d) => (b.out += d));
    b.proc.stderr.on("data", (d) => (b.err += d));
    b.exited = new Promise((resolve) => b.proc.on("exit", (code, signal) => resolve({ code, signal })));
    return b;
  }

  // The environment of the bridge's process: another program started with it runs on the same
  // simulated board; with `trace`, its own operations go to that file.
  boardEnv(trace) {
    const env = {};
    for (const kv of readFileSync(`/proc/${this.programPid()}/environ`, "utf8").split("\0")) {
      const at = kv.indexOf("=");
      if (at > 0) env[kv.slice(0, at)] = kv.slice(at + 1);
    }
    if (trace) env.TARSA_SIM_TRACE = trace;
    return env;
  }

  url(scheme = "ws") {
    return `${scheme}://127.0.0.1:${this.port}/`;
  }

  // The bridge itself: the launcher's child.
  programPid() {
    const pid = this.proc.pid;
    const children = readFileSync(`/proc/${pid}/task/${pid}/children`, "utf8").trim().split(/\s+/);
    return Number(children[0]) || pid;
  }

  signal(sig) {
    process.kill(this.programPid(), sig);
  }

  // Ends the bridge with `sig` and resolves with its exit, or rejects when it does not end.
  async stop(sig = "SIGINT", seconds = 10) {
    if (this.proc.exitCode !== null || this.proc.signalCode !== null) return this.exited;
    this.signal(sig);
    let timer;
    const late = new Promise((resolve) => (timer = setTimeout(resolve, seconds * 1000 * slow, null)));
    const result = await Promise.race([this.exited, late]);
    clearTimeout(timer);
    if (result) return result;
    this.proc.kill("SIGKILL");
    throw new Error(`the bridge did not end within ${seconds * slow} s of ${sig}`);
  }

  // Trace records written so far (a record still being written is left out).
  trace() {
    const lines = readFileSync(this.tracePath, "utf8").split("\n");
    const records = [];
    for (const line of lines) {
      try {
        records.push(JSON.parse(line));
      } catch {
        // the last line may be incomplete
      }
    }
    return records;
  }

  // Wheel speed frames (command 0x18 to the microcontroller), in order.
  speedFrames() {
    const s16 = (hex, at) => {
      const v = parseInt(hex.slice(at + 2, at + 4) + hex.slice(at, at + 2), 16);
      return v >= 0x8000 ? v - 0x10000 : v;
    };
    return this.trace()
      .filter((r) => r.op === "write" && r.addr === 0x1f && r.ret >= 0 && /^18/.test(r.data))
      .map((r) => ({ seq: r.seq, us: r.us, left: s16(r.data, 2), right: s16(r.data, 6) }));
  }
}

// A Foxglove client (the npm client library) that gathers what the bridge sends. `maxRates`
// (topic -> messages a second) subscribes those topics with the bridge's maxRate; `url`
// reaches the bridge another way (through a proxy).
export class Client {
  static async connect(bridge, { localAddress, subscribeAll = true, maxRates = {}, url = bridge.url() } = {}) {
    const c = new Client();
    c.maxRates = maxRates;
    c.ws = new WebSocket(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL], { localAddress });
    c.fox = new FoxgloveClient({ ws: c.ws });
    c.channels = new Map(); // id -> channel
    c.bySub = new Map(); // subscription id -> channel
    c.messages = new Map(); // topic -> [{time, data}]
    c.statuses = [];
    c.errors = [];
    c.services = new Map(); // name -> service
    c.parameterValues = []; // every Parameter Values message, in order
    c.replies = new Map(); // call id -> {response} or {failure}
    c.fox.on("advertiseServices", (list) => list.forEach((s) => c.services.set(s.name, s)));
    c.fox.on("parameterValues", (p) => c.parameterValues.push(p));
    c.fox.on("serviceCallResponse", (r) => c.replies.set(r.callId, { response: JSON.parse(new TextDecoder().decode(r.data)) }));
    c.fox.on("serviceCallFailure", (f) => c.replies.set(f.callId, { failure: f.message }));
    c.fox.on("error", (e) => c.errors.push(e));
    c.fox.on("status", (s) => c.statuses.push(s));
    c.info = new Promise((resolve) => c.fox.on("serverInfo", resolve));
    c.fox.on("advertise", (channels) => {
      for (const ch of channels) {
        c.channels.set(ch.id, ch);
        c.messages.set(ch.topic, []);
        if (subscribeAll) c.subscribe(ch.topic);
      }
    });
    c.fox.on("message", ({ subscriptionId, timestamp, data }) => {
      const ch = c.bySub.get(subscriptionId);
      const text = new TextDecoder().decode(data);
      c.messages.get(ch.topic).push({ time: timestamp, text, arrived: Date.now() });
    });
    await until(() => c.channels.size > 0, 20, "advertisement");
    c.serverInfo = await c.info;
    return c;
  }

  subscribe(topic) {
    const ch = [...this.channels.values()].find((x) => x.topic === topic);
    const maxRate = this.maxRates[topic];
    if (!maxRate) return this.bySub.set(this.fox.subscribe(ch.id), ch);
    // The client library knows no maxRate: ids of its own, clear of the library's.
    const id = 10000 + ch.id;
    this.ws.send(JSON.stringify({ op: "subscribe", subscriptions: [{ id, channelId: ch.id, maxRate }] }));
    this.bySub.set(id, ch);
  }

  count(topic) {
    return this.messages.get(topic)?.length ?? 0;
  }

  latest(topic) {
    const list = this.messages.get(topic);
    return list?.length ? JSON.parse(list[list.length - 1].text) : undefined;
  }

  // Advertises the drive channel; returns a function that sends one command.
  driver() {
    const id = this.fox.advertise({ topic: "/cmd_vel", encoding: "json", schemaName: "geometry_msgs/Twist" });
    return (linear, angular = 0) =>
      this.fox.sendMessage(
        id,
        new TextEncoder().encode(JSON.stringify({ linear: { x: linear, y: 0, z: 0 }, angular: { x: 0, y: 0, z: angular } })),
      );
  }

  // Parameters by name, as the reply to a get (names) or a set (list of {name, value}) says.
  async parameters(names) {
    return this.#parameterRequest((id) => this.fox.getParameters(names, id));
  }
  async setParameters(list) {
    return this.#parameterRequest((id) => this.fox.setParameters(list, id));
  }
  async #parameterRequest(send) {
    const id = `r${(this.nextId = (this.nextId ?? 0) + 1)}`;
    send(id);
    let reply;
    await until(() => (reply = this.parameterValues.find((p) => p.id === id)), 10, `parameters ${id}`);
    return Object.fromEntries(reply.parameters.map((p) => [p.name, p.value]));
  }

  // Calls a service with a JSON request: {response} or {failure}.
  async call(name, request = {}) {
    const callId = (this.nextCall = (this.nextCall ?? 0) + 1);
    const data = new TextEncoder().encode(JSON.stringify(request));
    this.fox.sendServiceCallRequest({ serviceId: this.services.get(name).id, callId, encoding: "json", data });
    await until(() => this.replies.has(callId), 10, `the reply of ${name}`);
    return this.replies.get(callId);
  }

  close() {
    this.fox.close();
  }
}

export const kSpeedUnit = 0.678181; // mm/s per wheel speed unit
