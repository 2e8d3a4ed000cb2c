// Recordings of tarsa-bridge read back by the MCAP reader library: a run ended by SIGINT reads
// through its index with every message a client saw; a run killed reads up to its last chunk.
import { test, after } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import path from "node:path";
import { McapIndexedReader, McapStreamReader } from "@mcap/core";
import { Bridge, Client, sleep, until } from "./lib/bridge.mjs";

const bridges = [];
after(async () => {
  for (const b of bridges) await b.stop().catch(() => b.proc.kill("SIGKILL"));
});

const topics = ["/battery", "/diagnostics", "/imu/accel", "/imu/gyro", "/infrared", "/odom", "/tf", "/ultrasonic", "/wheels"];

function increasing(times, what) {
  for (let i = 1; i < times.length; ++i) assert.ok(times[i] > times[i - 1], `${what}: log time ${i} goes back`);
}

test("a recording holds every channel with every message sent, indexed", async () => {
  const b = await Bridge.start({ name: "mcap", args: ["--record", "run.mcap"] });
  bridges.push(b);
  const file = path.join(b.dir, "run.mcap");
  const c = await Client.connect(b);
  const drive = c.driver();
  await until(() => c.count("/diagnostics") >= 2, 10, "two seconds of data");
  for (let i = 0; i < 5; ++i) {
    drive(0.2);
    await sleep(100);
  }
  await until(() => c.count("/diagnostics") >= 3, 10, "a third second");
  const { code } = await b.stop("SIGINT");
  assert.equal(code, 128 + 2);
  const recorded = Number(/recorded (\d+) messages to .*run\.mcap \(0 dropped\)/.exec(b.out)?.[1]);
  assert.ok(recorded > 0, b.out);

  const buf = readFileSync(file);
  const reader = await McapIndexedReader.Initialize({
    readable: { size: async () => BigInt(buf.length), read: async (at, n) => buf.subarray(Number(at), Number(at + n)) },
  });
  const byTopic = new Map([...reader.channelsById.values()].map((ch) => [ch.topic, ch]));
  assert.deepEqual([...byTopic.keys()].sort(), topics);
  assert.equal(reader.statistics.messageCount, BigInt(recorded));
  assert.ok(reader.chunkIndexes.length > 1);

  const read = new Map(topics.map((t) => [t, []]));
  for await (const m of reader.readMessages()) {
    const ch = reader.channelsById.get(m.channelId);
    read.get(ch.topic).push({ time: m.logTime, text: new TextDecoder().decode(m.data) });
    assert.equal(reader.schemasById.get(ch.schemaId).encoding, "jsonschema");
  }
  for (const [topic, list] of read) {
    const ch = byTopic.get(topic);
    assert.equal(BigInt(list.length), reader.statistics.channelMessageCounts.get(ch.id), topic);
    increasing(list.map((m) => m.time), topic);
    // Every message the client got is in the recording, same time and same bytes.
    const recordedTexts = new Map(list.map((m) => [m.time, m.text]));
    for (const m of c.messages.get(topic)) assert.equal(recordedTexts.get(m.time), m.text, `${topic} at ${m.time}`);
  }
  // A seek by time through the index finds the same messages.
  const mid = reader.statistics.messageStartTime + 1000000000n;
  let seen = 0;
  for await (const m of reader.readMessages({ startTime: mid, topics: ["/wheels"] })) {
    assert.ok(m.logTime >= mid);
    ++seen;
  }
  assert.equal(seen, read.get("/wheels").filter((m) => m.time >= mid).length);
});

test("a recording cut by SIGKILL reads up to its last complete message", async () => {
  const b = await Bridge.start({ name: "mcap-kill", args: ["--record", "cut.mcap"] });
  bridges.push(b);
  const c = await Client.connect(b, { subscribeAll: false });
  c.subscribe("/diagnostics");
  await until(() => c.count("/diagnostics") >= 3, 10, "three seconds of data");
  const killedAt = c.latest("/diagnostics").timestamp.sec;
  const { signal } = await b.stop("SIGKILL");
  assert.equal(signal, null); // the launcher reports the program's end as its status
  const buf = readFileSync(path.join(b.dir, "cut.mcap"));

  const reader = new McapStreamReader({ validateCrcs: true });
  reader.append(buf);
  const channels = new Map();
  const times = new Map();
  let record;
  while ((record = reader.nextRecord())) {
    if (record.type === "Channel") channels.set(record.id, record.topic);
    if (record.type === "Message") {
      const topic = channels.get(record.channelId);
      assert.ok(topic, "a message's channel comes before it");
      JSON.parse(new TextDecoder().decode(record.data));
      if (!times.has(topic)) times.set(topic, []);
      times.get(topic).push(record.logTime);
    }
  }
  assert.ok(!reader.done(), "no footer: the file was cut");
  assert.deepEqual([...times.keys()].sort(), topics);
  for (const [topic, list] of times) increasing(list, topic);
  // At most the last half second of a run is lost.
  const last = Number(times.get("/wheels").at(-1) / 1000000000n);
  assert.ok(last >= killedAt - 1, `last message at ${last} s, killed after ${killedAt} s`);
});
