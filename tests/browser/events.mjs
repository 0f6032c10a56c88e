// The change feed in a real browser. Starts the real server on a temporary runs root, opens a
// page of the server's own origin, subscribes with EventSource and checks: the snapshot comes
// first; appending a journal line brings run.changed; after the server is restarted on the same
// port the browser reconnects by itself, sends Last-Event-ID, and the new snapshot carries that
// resume point as its id.
//
//   node tests/browser/events.mjs SERVER_BINARY [CHROMIUM]      (default: /usr/bin/chromium)
import { chromium } from "playwright-core";
import { spawn } from "node:child_process";
import { appendFileSync, mkdtempSync, mkdirSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

const [serverBinary, browserPath = "/usr/bin/chromium"] = process.argv.slice(2);
if (!serverBinary) {
  console.error("usage: node tests/browser/events.mjs SERVER_BINARY [CHROMIUM]");
  process.exit(2);
}

const root = mkdtempSync(join(tmpdir(), "korvalle-browser-"));
const runDir = join(root, "run-a");
mkdirSync(runDir);
writeFileSync(join(runDir, "launch.json"), JSON.stringify({
  run_id: "run-a", plan: "plans/demo.yaml", graph: "default", launcher: "codex", session: "sess-0001",
  pid: 0, host: "elsewhere", started_at: "2026-03-02T09:00:00.000Z", round_budget: 8,
  heartbeat_interval: 30, adoptions: 0,
}));
let seq = 0;
function appendEvent(kind, ts) {
  seq += 1;
  appendFileSync(join(runDir, "events.jsonl"), JSON.stringify({
    v: 1, ts, stream: "driver", seq, source: "pipeline", kind, labels: { run_id: "run-a" }, payload: {},
  }) + "\n");
}
appendEvent("run-started", "2026-03-02T09:00:00.000Z");

// Starts the server and resolves with its port, read from the serving line.
function startServer(bind) {
  const child = spawn(serverBinary, ["serve", "--runs-root", root, "--bind", bind, "--poll-interval-ms", "100"],
    { stdio: ["ignore", "pipe", "inherit"] });
  const port = new Promise((resolve, reject) => {
    let out = "";
    child.stdout.on("data", (chunk) => {
      out += chunk;
      const m = out.match(/on http:\/\/127\.0\.0\.1:(\d+)\n/);
      if (m) resolve(Number(m[1]));
    });
    child.on("exit", (code) => reject(new Error(`the server exited with ${code} before serving`)));
  });
  return { child, port };
}

function stopServer(child) {
  return new Promise((resolve) => {
    if (child.exitCode !== null) return resolve(child.exitCode);
    child.on("exit", (code) => resolve(code));
    child.kill("SIGTERM");
  });
}

const wait = { timeout: 30000 };
let server = startServer("127.0.0.1:0");
let browser;
let failed = false;
try {
  const port = await server.port;
  browser = await chromium.launch({ executablePath: browserPath, args: ["--no-sandbox"] });
  const page = await browser.newPage();
  await page.goto(`http://127.0.0.1:${port}/healthz`);

  // Every event the page receives, in order, with the id the browser keeps for resuming.
  await page.evaluate(() => {
    window.received = [];
    const source = new EventSource("/api/v2/events");
    for (const name of ["snapshot", "run.changed", "run.removed"]) {
      source.addEventListener(name, (e) => window.received.push({ name, id: e.lastEventId, data: JSON.parse(e.data) }));
    }
  });
  const countOf = (name) => page.evaluate((n) => window.received.filter((e) => e.name === n).length, name);

  await page.waitForFunction(() => window.received.length >= 1, null, wait);
  const first = await page.evaluate(() => window.received[0]);
  if (first.name !== "snapshot" || first.id !== "0" || first.data.runs[0].run_id !== "run-a") {
    throw new Error(`the first event is not the snapshot: ${JSON.stringify(first).slice(0, 300)}`);
  }

  appendEvent("note", "2026-03-02T09:05:00.000Z");
  await page.waitForFunction(() => window.received.some((e) => e.name === "run.changed"), null, wait);
  const changed = await page.evaluate(() => window.received.find((e) => e.name === "run.changed"));
  if (changed.id !== "1" || changed.data.run_id !== "run-a") {
    throw new Error(`unexpected run.changed: ${JSON.stringify(changed)}`);
  }
  const resumeFrom = await page.evaluate(() => window.received[window.received.length - 1].id);

  // Restart on the same port: the stream ends, the browser reconnects on its own.
  const code = await stopServer(server.child);
  if (code !== 0) throw new Error(`the server stopped with ${code}`);
  server = startServer(`127.0.0.1:${port}`);
  await server.port;
  await page.waitForFunction(() => window.received.filter((e) => e.name === "snapshot").length >= 2, null, wait);
  const second = await page.evaluate(() => window.received.filter((e) => e.name === "snapshot")[1]);
  if (second.id !== resumeFrom) {
    throw new Error(`the new snapshot has id ${second.id}, the resume point was ${resumeFrom}`);
  }
  console.log(`browser test passed: snapshot, run.changed, reconnect resumed at ${resumeFrom} ` +
    `(${await countOf("snapshot")} snapshots)`);
} catch (error) {
  failed = true;
  console.error(`browser test failed: ${error.message}`);
} finally {
  if (browser) await browser.close();
  await stopServer(server.child);
  rmSync(root, { recursive: true, force: true });
}
process.exit(failed ? 1 : 0);
