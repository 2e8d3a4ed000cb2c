// Recordings of tarsa-bridge read back by the MCAP reader library (zstd and LZ4 chunks through
// its decompressors): a run ended by SIGINT reads through its index with every message a client
// saw; a run killed reads up to its last chunk.
import { test, after } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import path from "node:path";
import { McapIndexedReader, McapStreamReader } from "@mcap/core";
import { loadDecompressHandlers } from "@mcap/support";
import { Bridge, Client, sleep, until } from "./lib/bridge.mjs";

const decompress = loadDecompressHandlers();
const bridges = [];
after(async () => {
  for (const b of bridges) await b.stop().catch(() => b.proc.kill("SIGKILL"));
});

const topics = ["/battery", "/diagnostics", "/imu/accel", "/imu/gyro", "/infrared", "/odom", "/tf", "/ultrasonic", "/wheels"];

function increasing(times, what) {
  for (let i = 1; i < times.length; ++i) assert.ok(times[i] > times[i - 1], `${what}: log time ${i} goes back`);
}

// A drive recorded twice at once, zstd (the default) and uncompressed, each checked against what
// its client saw; the two hold the same channels, schemas and metadata.
test("a recording holds every channel with every message sent, indexed, compressed or not", async () => {
  const runs = await Promise.all(["", 'record_compression = "none"'].map((settings) => recordDrive(settings)));
  const [zstd, none] = runs;
  for (const run of runs) await checkRecording(run);
  assert.ok(zstd.reader.chunkIndexes.every((c) => c.compression === "zstd"));
  assert.ok(none.reader.chunkIndexes.every((c) => c.compression === ""));
  const schemas = (r) => [...r.schemasById.values()].map((s) => [s.name, new TextDecoder().decode(s.data)]).sort();
  assert.deepEqual(schemas(zstd.reader), schemas(none.reader));
  const configs = await Promise.all(runs.map((run) => metadata(run.reader)));
  assert.deepEqual(Object.keys(configs[0]).sort(), ["configuration", "firmware", "robot", "tarsa-bridge"]);
  assert.equal(configs[0].configuration.record_compression, "zstd");
  assert.equal(configs[1].configuration.record_compression, "none");
  configs[1].configuration.record_compression = "zstd";
  for (const key of ["port", "file"]) configs[1].configuration[key] = configs[0].configuration[key];
  assert.deepEqual(configs[1], configs[0]);
  assert.equal(configs[0].robot.model, "Tarsa4");
  assert.match(configs[0].firmware.revision, /^\d+$/);
  assert.match(configs[0]["tarsa-bridge"].version, /^\d+\.\d+\.\d+$/);
  assert.equal(configs[0].configuration.max_linear, "0.3");
  assert.equal(configs[0].configuration.camera_rate, "10");
  // Compression pays off from the first chunk.
  const ratio = none.size / zstd.size;
  assert.ok(ratio > 2, `zstd ${zstd.size} bytes, uncompressed ${none.size}`);
});

async function recordDrive(settings) {
  const b = await Bridge.start({ name: "mcap", settings, args: ["--record", "run.mcap"] });
  bridges.push(b);
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
  const buf = readFileSync(path.join(b.dir, "run.mcap"));
  const reader = await McapIndexedReader.Initialize({
    readable: { size: async () => BigInt(buf.length), read: async (at, n) => buf.subarray(Number(at), Number(at + n)) },
    decompressHandlers: await decompress,
  });
  return { c, recorded, reader, size: buf.length };
}

// The metadata records by name, each an object of its keys.
async function metadata(reader) {
  const all = {};
  for await (const m of reader.readMetadata()) all[m.name] = Object.fromEntries(m.metadata);
  assert.equal(reader.statistics.metadataCount, reader.metadataIndexes.length);
  return all;
}

async function checkRecording({ c, recorded, reader }) {
  const byTopic = new Map([...reader.channelsById.values()].map((ch) => [ch.topic, ch]));
  assert.deepEqual([...byTopic.keys()].sort(), topics);
  assert.equal(reader.statistics.messageCount, BigInt(recorded));
  assert.ok(reader.chunkIndexes.length >= 1);

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
}

// LZ4 here, so that both compressions are read back. Chunks close every 5 s of messages.
test("a recording cut by SIGKILL reads up to its last complete chunk", async () => {
  const b = await Bridge.start({ name: "mcap-kill", settings: 'record_compression = "lz4"', args: ["--record", "cut.mcap"] });
  bridges.push(b);
  const c = await Client.connect(b, { subscribeAll: false });
  c.subscribe("/diagnostics");
  await until(() => c.count("/diagnostics") >= 8, 15, "eight seconds of data");
  const killedAt = c.latest("/diagnostics").timestamp.sec;
  const { signal } = await b.stop("SIGKILL");
  assert.equal(signal, null); // the launcher reports the program's end as its status
  const buf = readFileSync(path.join(b.dir, "cut.mcap"));

  const reader = new McapStreamReader({ validateCrcs: true, decompressHandlers: await decompress });
  reader.append(buf);
  const channels = new Map();
  const times = new Map();
  const metadata = [];
  let record;
  while ((record = reader.nextRecord())) {
    if (record.type === "Chunk") assert.equal(record.compression, "lz4");
    if (record.type === "Metadata") metadata.push(record.name);
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
  assert.deepEqual(metadata.sort(), ["configuration", "firmware", "robot", "tarsa-bridge"]);
  assert.deepEqual([...times.keys()].sort(), topics);
  for (const [topic, list] of times) increasing(list, topic);
  // At most the open chunk, the last 5 s of a run, is lost.
  const last = Number(times.get("/wheels").at(-1) / 1000000000n);
  assert.ok(last >= killedAt - 6, `last message at ${last} s, killed after ${killedAt} s`);
});
