// The bridge's console page in headless Chromium: live data from the simulated robot, and
// driving with the keyboard behind the hold-to-drive key.
import { test, after } from "node:test";
import assert from "node:assert/strict";
import { mkdtempSync } from "node:fs";
import path from "node:path";
import { chromium } from "playwright-core";
import { Bridge, outDir, sleep, until } from "./lib/bridge.mjs";

const bridge = await Bridge.start({ name: "browser", settings: 'drive_from = "127.0.0.1"' });
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
