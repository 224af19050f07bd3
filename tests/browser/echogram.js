// kelvane-scope --serve in a real browser: Debian's chromium, headless, driven by puppeteer-core.
// A kelvane-host runs the simulator in dual-frequency frames on a TCP port; the scope reads it
// with --tcp and serves the page. Once the page has drawn the pings, the waterfall's pixels must
// show each ping's reported depth as the red trace at the row its depth gives, on the echo, in
// both channels; checksum faults turned on at the host for a moment must show in the page's
// anomaly counts exactly as the scope printed them; a second scope on the same port is refused.
// The page's screenshot is left in the build tree (argument 5) for CI to keep.
//
// Usage: node echogram.js SCOPE HOST PLUGIN WORKDIR SCREENSHOT
// Exit status 77 (skipped) when chromium is missing, unless CI=true.

"use strict";
const { spawn } = require("child_process");
const fs = require("fs");
const path = require("path");

const [scopeBinary, hostBinary, plugin, work, screenshot] = process.argv.slice(2);
const chromium = process.env.KELVANE_CHROMIUM || "/usr/bin/chromium";
const Pings = 24; // drawn before the pixels are read: 12 per channel
const StepMs = 60000; // deadline of each wait

if (!fs.existsSync(chromium)) {
  if (process.env.CI === "true") {
    console.error(`FAIL: ${chromium} is missing; CI installs it (scripts/check.sh)`);
    process.exit(1);
  }
  console.log(`SKIP: ${chromium} is missing; install Debian's chromium to run the browser test`);
  process.exit(77);
}
const puppeteer = require("puppeteer-core");

const children = [];
function start(binary, args) {
  const child = spawn(binary, args, { cwd: work, stdio: ["pipe", "pipe", "pipe"] });
  child.out = "";
  child.err = "";
  child.stdout.on("data", (d) => { child.out += d; });
  child.stderr.on("data", (d) => { child.err += d; });
  child.exited = new Promise((resolve) => child.on("exit", (code) => resolve(code)));
  children.push(child);
  return child;
}

const began = Date.now();
function step(what) { console.log(`${((Date.now() - began) / 1000).toFixed(1)} s: ${what}`); }

// Polls check() every 50 ms until it gives a value, for at most StepMs.
async function until(what, check) {
  step("waiting for " + what);
  const deadline = Date.now() + StepMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error("timed out waiting for " + what);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

// The pings as the scope printed them, in order: seq N is the Nth counted one.
function printedPings(out) {
  return out.split("\n").filter((l) => l.startsWith("t=")).map((l) => ({
    ch: l.match(/ ch=(\S+)/)[1], depth: parseFloat(l.match(/ depth=(\S+)/)[1]) }));
}

function countsOf(err) {
  const counts = {};
  for (const m of err.matchAll(/^line \d+: ([a-z ]+): /gm)) counts[m[1]] = (counts[m[1]] || 0) + 1;
  return Object.fromEntries(Object.entries(counts).sort());
}

async function main() {
  fs.rmSync(work, { recursive: true, force: true });
  fs.mkdirSync(work, { recursive: true });
  fs.mkdirSync(path.dirname(screenshot), { recursive: true });
  fs.writeFileSync(path.join(work, "host.ini"), "[ECHOSOUNDER]\nMIN_DEPTH_M=2\nMAX_DEPTH_M=8\n" +
                   "[KELVANE_SIMULATOR]\nFREQUENCY_MODE=DUAL\nSIN_MODE=false\n");
  // A folder of its own: other hosts may run at the same time.
  const host = start(hostBinary, ["--settings", "host.ini", "--plugin", plugin, "--no-pty",
                                  "--link-dir", path.join(work, "line"),
                                  "--tcp", "127.0.0.1:0", "--baud", "0", "--seed", "26"]);
  const hostPort = await until("the host's TCP port",
                               () => ((host.out + host.err).match(/TCP: 127\.0\.0\.1:(\d+)/) || [])[1]);

  const scope = start(scopeBinary, ["--tcp", "127.0.0.1:" + hostPort, "--send",
                                    "interval 0.1 #rangeh 10000 #rangel 20000 #output 2 #go",
                                    "--serve", "0"]);
  const url = await until("the page's URL",
                          () => (scope.err.match(/serving the echogram at (http:\S+)/) || [])[1]);

  // The port in use: a second scope refuses at once, saying why, before reading anything.
  const port = new URL(url).port;
  const second = start(scopeBinary, ["--from", "/dev/null", "--serve", port]);
  const refused = Number(await until("the second scope to refuse",
                                      () => second.exitCode === null ? null : String(second.exitCode)));
  if (refused !== 3 || !/^kelvane-scope: --serve: cannot listen on 127\.0\.0\.1:\d+: .*Address already in use\n$/.test(second.err))
    throw new Error(`port in use: status ${refused}, said ${JSON.stringify(second.err)}`);

  step("starting chromium");
  const userData = fs.mkdtempSync(path.join(work, "chromium-"));
  const browser = await puppeteer.launch({
    executablePath: chromium, headless: true, userDataDir: userData,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
           "--disable-component-update", "--disable-sync", "--no-first-run"] });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1280, height: 1000 });
    const pageErrors = [];
    page.on("pageerror", (e) => pageErrors.push(String(e)));
    step("opening " + url);
    await page.goto(url, { timeout: StepMs });
    step("waiting for the pings to be drawn");
    await page.waitForFunction((n) => window.kelvane.drawnSeq >= n, { timeout: StepMs,
                                                                       polling: 50 }, Pings);
    await page.click("#pause");
    await page.waitForFunction(() => document.getElementById("pause").textContent === "Resume");

    step("reading the pixels");
    // Each column's pixels against the depth the scope printed for that ping.
    const panels = await page.evaluate(() => window.kelvane.panels.map((p) => {
      const ctx = p.canvas.getContext("2d");
      const columns = p.columns.map((c, i) => {
        const x = p.plot.x + i * p.cw + Math.floor(p.cw / 2);
        const d = ctx.getImageData(x, p.plot.y, 1, p.plot.h).data;
        const rows = [];
        for (let y = 0; y < p.plot.h; ++y) rows.push([d[4 * y], d[4 * y + 1], d[4 * y + 2]]);
        return { seq: c.seq, rows };
      });
      return { ch: p.ch, from: p.from, to: p.to, columns };
    }));
    const printed = printedPings(scope.out);
    if (panels.length !== 2) throw new Error(`${panels.length} panels, not 2`);
    for (const panel of panels) {
      const name = panel.ch / 1000 + "kHz";
      const seqs = printed.map((p, i) => p.ch === name ? i + 1 : 0).filter((s) => s);
      const shown = panel.columns.map((c) => c.seq);
      if (shown.length < Pings / 2 - 1 || shown.join() !== seqs.slice(0, shown.length).join())
        throw new Error(`${name}: columns of pings ${shown} for the printed ${seqs}`);
      for (const column of panel.columns) {
        const depth = printed[column.seq - 1].depth;
        const row = Math.min(399, Math.floor((depth - panel.from) / (panel.to - panel.from) * 400));
        const red = (rgb) => rgb[0] === 255 && rgb[1] === 48 && rgb[2] === 48;
        if (!red(column.rows[row]))
          throw new Error(`${name} ping ${column.seq}: depth ${depth} m, row ${row} is ${column.rows[row]}`);
        // The echo: the brightest row that is no trace lies next to the trace.
        let echo = -1, brightest = -1;
        column.rows.forEach((rgb, y) => {
          const light = rgb[0] + rgb[1] + rgb[2];
          if (!red(rgb) && light > brightest) { brightest = light; echo = y; }
        });
        if (Math.abs(echo - row) > 3)
          throw new Error(`${name} ping ${column.seq}: the echo at row ${echo}, the trace at ${row}`);
      }
    }

    // Checksum faults at the host for a moment: the page counts what the scope printed.
    await page.click("#pause");
    host.stdin.write("fault checksum=1\n");
    await until("a bad checksum", () => /: bad checksum: /.test(scope.err));
    host.stdin.write("fault checksum=0\n");
    let shown = {};
    const counts = await until("the page's anomaly counts", async () => {
      shown = await page.evaluate(() => {
        const counts = {};
        for (const tr of document.querySelectorAll("#counts tr[data-kind]"))
          counts[tr.dataset.kind] = parseInt(tr.cells[1].textContent, 10);
        return counts;
      });
      return JSON.stringify(shown) === JSON.stringify(countsOf(scope.err)) ? shown : null;
    }).catch((e) => {
      throw new Error(`${e.message}: the page shows ${JSON.stringify(shown)}, the scope printed ` +
                      JSON.stringify(countsOf(scope.err)));
    });
    if (!(counts["bad checksum"] > 0)) throw new Error("no bad checksum counted");
    // The last lines, as the scope printed them.
    const lines = (await page.$eval("#lines", (e) => e.textContent)).split("\n").filter((l) => l);
    if (!lines.length || lines.some((l) => !scope.err.includes(l + "\n")))
      throw new Error("anomaly lines not as printed: " + JSON.stringify(lines.slice(0, 3)));
    await page.screenshot({ path: screenshot });
    if (pageErrors.length) throw new Error("the page failed: " + pageErrors.join("; "));
    console.log(`PASS: ${panels.map((p) => p.columns.length).join(" and ")} columns checked, ` +
                `anomalies ${JSON.stringify(counts)}; screenshot ${screenshot}`);
  } finally {
    await browser.close();
  }
  scope.kill("SIGTERM");
  const status = await scope.exited;
  if (status !== 1) throw new Error(`the scope ended with ${status}, not 1 (anomalies seen)`);
}

const timer = setTimeout(() => { fail(new Error("the whole test took too long")); }, 4 * StepMs);
function fail(e) {
  console.error("FAIL: " + e.message);
  for (const child of children)
    console.error("--- " + child.spawnargs.join(" ") + "\n" + child.err.slice(-2000));
  cleanup(1);
}
function cleanup(code) {
  clearTimeout(timer);
  for (const child of children) if (child.exitCode === null) child.kill("SIGKILL");
  process.exit(code);
}
main().then(() => cleanup(0), fail);
