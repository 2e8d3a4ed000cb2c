// The bridge's console page in headless Chromium: live data from the simulated robot, and
// driving with the keyboard behind the hold-to-drive key.
import { test, after } from "node:test";
import assert from "node:assert/strict";
import { mkdtempSync, statSync } from "node:fs";
import path from "node:path";
import { chromium } from "playwright-core";
import { Bridge, Client, outDir, sleep, until } from "./lib/bridge.mjs";

const started = Date.now();
// The camera at 2 frames a second: a page sees its placeholder before the first frame.
const bridge = await Bridge.start({
  name: "browser",
  settings: 'drive_from = "127.0.0.1"\ncamera = true',
  mediaScripts: true,
  args: ["--camera-rate", "2"],
});
const context = await chromium.launchPersistentContext(mkdtempSync(path.join(outDir(), "chromium-")), {
  executablePath: "/usr/bin/chromium",
  headless: true,
  viewport: { width: 1280, height: 900 },
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"],
});
after(async () => {
  await context.close();
  await bridge.stop().catch(() => bridge.proc.kill("SIGKILL"));
});

test("the console shows live data and drives only while the hold key is down", async () => {
  const page = await context.newPage();
  const requests = [];
  page.on("request", (r) => requests.push(r.url()));
  await page.goto(bridge.url("http"));
  await page.waitForFunction(() => document.getElementById("status").textContent === "connected");
  await page.waitForFunction(() => /V, \d+ %/.test(document.getElementById("battery").textContent));
  await page.waitForFunction(() => /Hz/.test(document.getElementById("loop").textContent));
  assert.equal(await page.locator("#hold").isEnabled(), true);

  // Steering keys alone do nothing.
  let mark = bridge.speedFrames().length;
  await page.keyboard.down("ArrowUp");
  await sleep(600);
  await page.keyboard.up("ArrowUp");
  assert.ok(bridge.speedFrames().slice(mark).every((f) => f.left === 0 && f.right === 0));

  // Hold, then forward: both wheels forward, until the hold key is let go.
  mark = bridge.speedFrames().length;
  await page.keyboard.down("Space");
  await page.keyboard.down("ArrowUp");
  await until(() => bridge.speedFrames().slice(mark).some((f) => f.left > 100 && f.left === f.right), 5, "forward frames");
  await page.waitForFunction(() => /x [1-9]\d* mm/.test(document.getElementById("pose").textContent));
  await page.screenshot({ path: path.join(outDir(), "bridge-console.png") });
  await page.keyboard.up("Space");
  mark = bridge.speedFrames().length;
  await until(() => bridge.speedFrames().slice(mark).some((f) => f.left === 0 && f.right === 0), 3, "stop on release");
  await page.keyboard.up("ArrowUp");

  // Everything came from the bridge itself.
  assert.ok(requests.every((u) => u.startsWith(bridge.url("http")) || u.startsWith("data:")), requests.join("\n"));
});

test("a page opened mid-run: the path since the start, the camera's first frame, an icon", async () => {
  // The robot drives a second on its own first.
  const driver = await Client.connect(bridge, { subscribeAll: false });
  const drive = driver.driver();
  for (let i = 0; i < 10; ++i) (drive(0.2), await sleep(100));
  drive(0);
  driver.close();
  await sleep(Math.max(0, started + 10000 - Date.now()));

  const page = await context.newPage();
  const failed = [];
  page.on("response", (r) => r.status() >= 400 && failed.push(`${r.status()} ${r.url()}`));
  // What the camera panel said, in order.
  await page.addInitScript(() => {
    window.cameraTexts = [];
    addEventListener("DOMContentLoaded", () => {
      const note = document.getElementById("nocamera");
      window.cameraTexts.push(note.textContent);
      new MutationObserver(() => window.cameraTexts.push(note.hidden ? "(frame)" : note.textContent))
        .observe(note, { childList: true, characterData: true, subtree: true, attributes: true });
    });
  });
  await page.goto(bridge.url("http"));
  await page.waitForFunction(() => !document.getElementById("camera").hidden);
  assert.match(await page.locator("#camera").getAttribute("src"), /^data:image\/jpeg;base64,/);
  const texts = await page.evaluate(() => window.cameraTexts);
  assert.match(texts.join(" | "), /waiting for the first frame.*\(frame\)$/);

  // The path starts where the robot started, not where it was when the page opened.
  await page.waitForFunction(() => path.length > 1 && path[path.length - 1].x > 0.1);
  const [first, last] = await page.evaluate(() => [path[0], path[path.length - 1]]);
  assert.ok(Math.hypot(first.x, first.y) < 0.01 && last.x > 0.1, JSON.stringify({ first, last }));

  assert.deepEqual(await page.evaluate(() => [degrees(2 * Math.PI - 1e-9, 1), degrees(-Math.PI / 2, 0)]), ["0.0", "270"]);
  assert.equal((await page.request.get(bridge.url("http") + "favicon.ico")).status(), 200);

  // The recording button starts and stops a recording through the bridge's services.
  const status = () => page.evaluate(() => document.getElementById("statusline").textContent);
  await page.waitForFunction(() => !document.getElementById("record").disabled);
  await page.click("#record");
  await page.waitForFunction(() => /^recording to /.test(document.getElementById("statusline").textContent));
  const file = (await status()).replace("recording to ", "");
  await page.waitForFunction(() => document.getElementById("recording").textContent === "on");
  await page.click("#record");
  await page.waitForFunction(() => /^recorded \d+ messages to /.test(document.getElementById("statusline").textContent));
  assert.ok(statSync(path.join(bridge.dir, file)).size > 0, await status());
  assert.deepEqual(failed, []);
});
