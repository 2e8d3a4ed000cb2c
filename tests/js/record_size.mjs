// Run by hand: the size of a recording of one drive with every channel but the camera, for each
// chunk compression, the bridges side by side on simulated boards.
//   TARSA_SIM=build/sim/tarsa-sim TARSA_BRIDGE=build/programs/tarsa-bridge/tarsa-bridge \
//     node tests/js/record_size.mjs [SECONDS]
import { statSync } from "node:fs";
import path from "node:path";
import { Bridge, Client, sleep, until } from "./lib/bridge.mjs";

const seconds = Number(process.argv[2] ?? 60);
const kinds = ["none", "lz4", "zstd"];

async function record(kind) {
  const settings = `stargazer = true\nlrf = true\nrecord_compression = "${kind}"`;
  const b = await Bridge.start({ name: `size-${kind}`, settings, args: ["--record", "run.mcap"] });
  const c = await Client.connect(b, { subscribeAll: false });
  c.subscribe("/diagnostics");
  await until(() => c.count("/diagnostics") >= 1, 10, "the first second");
  const drive = c.driver();
  // Forward and turning by turns, a command every 100 ms.
  for (const end = Date.now() + seconds * 1000; Date.now() < end; await sleep(100))
    drive(0.2, Math.floor(Date.now() / 5000) % 2 ? 0.5 : -0.3);
  await b.stop("SIGINT");
  const messages = Number(/recorded (\d+) messages/.exec(b.out)?.[1]);
  return { kind, bytes: statSync(path.join(b.dir, "run.mcap")).size, messages };
}

const runs = await Promise.all(kinds.map(record));
const none = runs.find((r) => r.kind === "none").bytes;
for (const r of runs)
  console.log(
    `${r.kind.padEnd(5)} ${String(r.bytes).padStart(9)} bytes  ${r.messages} messages  ` +
      `${((r.bytes / seconds) * 60 / 1e6).toFixed(2)} MB/min  ${(none / r.bytes).toFixed(1)}x smaller than none`,
  );
