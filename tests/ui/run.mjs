// The web page of `cvsim ui` in a real browser: Playwright drives the distribution's Chromium, headless,
// against a cvsim started here on a free port. Each case starts its own machine and browser page.
//   node tests/ui/run.mjs build/sim/cvsim [case...]
// With CV_UI_SCREENSHOTS=DIR the main dialogs are photographed into DIR (docs/ keeps them).
import { chromium } from "playwright-core";
import { spawn } from "node:child_process";
import { existsSync } from "node:fs";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const root = resolve(here, "../..");
const cvsim = resolve(process.argv[2] || join(root, "build/sim/cvsim"));
const only = process.argv.slice(3);
const shots = process.env.CV_UI_SCREENSHOTS;
const chromiumPath = process.env.CV_CHROMIUM || "/usr/bin/chromium";
const caseLimitMs = 60_000;

function fail(message) {
  throw new Error(message);
}

// Starts `cvsim ui` on a free port; resolves with its address once it says it serves.
function startUi(args) {
  return new Promise((ready, refused) => {
    const child = spawn(cvsim, ["ui", ...args], { cwd: root, stdio: ["ignore", "pipe", "pipe"] });
    let out = "";
    const timer = setTimeout(() => { child.kill("SIGKILL"); refused(new Error("cvsim ui did not start:\n" + out)); }, 20_000);
    child.stdout.on("data", (d) => {
      out += d;
      const m = out.match(/http:\/\/127\.0\.0\.1:(\d+)\//);
      if (m) { clearTimeout(timer); ready({ url: m[0], child, output: () => out }); }
    });
    child.stderr.on("data", (d) => { out += d; });
    child.on("exit", (code) => { clearTimeout(timer); refused(new Error(`cvsim ui exited (${code}):\n${out}`)); });
  });
}

function stopUi(ui) {
  return new Promise((done) => {
    if (ui.child.exitCode !== null) return done(ui.child.exitCode);
    const timer = setTimeout(() => ui.child.kill("SIGKILL"), 10_000);
    ui.child.once("exit", (code) => { clearTimeout(timer); done(code); });
    ui.child.kill("SIGTERM");
  });
}

// Helpers over the page: windows by caption, controls by their dialog id or text.
const windowOf = (page, caption) => page.locator(`.window[data-caption="${caption}"]`);
const control = (win, id) => win.locator(`[data-id="${id}"]`).first();
const button = (win, text) => win.locator("button.ctl", { hasText: text }).first();
async function waitWindow(page, caption) {
  await windowOf(page, caption).first().waitFor({ timeout: 15_000 });
  return windowOf(page, caption).first();
}
async function photograph(page, win, name) {
  if (!shots) return;
  // The page redraws a window whenever its state changes: a photograph taken across a redraw is taken again.
  for (let attempt = 1; ; ++attempt) {
    try {
      return await win.screenshot({ path: join(resolve(root, shots), name), timeout: 5_000 });
    } catch (e) {
      if (attempt === 5) throw e;
    }
  }
}
async function showView(page, name) {
  await page.locator(`#view-tabs button[data-view="${name}"]`).click();
}
async function viewText(page) {
  return (await page.locator("#view").innerText()).trim();
}
async function waitFor(what, check, limitMs = 15_000) {
  const until = Date.now() + limitMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > until) fail("waited in vain for " + what);
    await new Promise((r) => setTimeout(r, 100));
  }
}
async function rows(win) {
  return win.locator(".listview tr").allInnerTexts();
}
async function openApplet(page) {
  await page.locator('.shortcut[aria-label="Corvane Ports"]').dblclick();
  return waitWindow(page, "Corvane for Windows NT");
}
// Renames a port on its property sheet; OK brings the warning about modems on it.
async function renamePort(page, applet, row, to) {
  await applet.locator(".listview tr", { hasText: row }).dblclick();
  const sheet = page.locator(`.window[data-caption^="Settings for communications port"][data-caption$=" ${row}"]`).first();
  await sheet.waitFor({ timeout: 15_000 });
  await control(sheet, 1023).selectOption({ label: to });
  await photograph(page, sheet, "ui-port-sheet.png");
  await button(sheet, "OK").click();
  const box = page.locator(".window", { hasText: "modem" }).first();
  await box.waitFor({ timeout: 10_000 });
  return { sheet, box };
}

const cases = {
  // The Control Panel's applet lists the driver's ports.
  async appletListsThePorts(page) {
    const applet = await openApplet(page);
    const names = await rows(applet);
    for (const com of ["COM1", "COM3", "COM4", "COM5", "COM8"])
      if (!names.some((r) => r.startsWith(com))) fail(`${com} is not in the list: ${names.join(" | ")}`);
    if (!names.some((r) => r.includes("Corvane PCI 4-port 16C950"))) fail("the PCI card's ports are not named");
    // Each row's image is a piece of the list's bitmap strip, served from the applet's resources.
    const state = await page.evaluate(async () => (await fetch("/api/state")).json());
    const list = state.windows.at(-1).children.find((c) => c.kind === "listview");
    const strip = list && list.rows[0].strip;
    if (!strip) fail("a row has no image");
    const type = await page.evaluate(async (p) => (await fetch(p)).headers.get("content-type"), "/api/bitmap/" + strip.bitmap);
    if (type !== "image/bmp") fail("the strip is served as " + type);
    await waitFor("the rows drawn with their images", async () =>
      /data:image\/png/.test(await applet.locator(".listview .img").first().evaluate((e) => e.style.background)));
    await photograph(page, applet, "ui-applet.png");
  },

  // COM3 becomes COM9 through its property sheet; the driver restarts and SERIALCOMM says COM9.
  async aPortIsRenamedThroughItsSheet(page) {
    const applet = await openApplet(page);
    const { sheet, box } = await renamePort(page, applet, "COM3", "COM9");
    await photograph(page, box, "ui-modem-warning.png");
    await button(box, "OK").click();
    await sheet.waitFor({ state: "detached", timeout: 15_000 });
    await waitFor("COM9 in the list", async () => (await rows(applet)).some((r) => r.startsWith("COM9")));
    await showView(page, "serialcomm");
    await waitFor("COM9 in SERIALCOMM", async () => /= COM9$/m.test(await viewText(page)));
    await showView(page, "eventlog");
    await waitFor("the driver's restart in the event log", async () =>
      ((await viewText(page)).match(/The CvNt driver loaded successfully/g) || []).length >= 2);
  },

  // The ISA card wizard from Add... to Finish; the new card's ports join the list.
  async theIsaWizardRunsToFinish(page) {
    const applet = await openApplet(page);
    // A forced click does not wait for the button to be drawn: wait for it, and try again should the
    // window be redrawn between the wait and the click.
    await waitFor("Add... clicked", async () => {
      await button(applet, "Add...").waitFor({ state: "visible", timeout: 5_000 });
      return button(applet, "Add...").click({ modifiers: ["Control"], force: true, timeout: 2_000 }).then(() => true, () => false);
    });
    const wizard = await waitWindow(page, "Add an ISA Card");
    await control(wizard, 1050).selectOption({ label: "Corvane ISA 4-port" });
    await button(wizard, "Next >").click();
    await control(wizard, 1106).waitFor();
    await control(wizard, 1106).fill("280");
    await control(wizard, 1106).press("Tab");
    await waitFor("the status register's address", async () => (await control(wizard, 1060).inputValue()) === "2C0");
    await photograph(page, wizard, "ui-wizard.png");
    await button(wizard, "Next >").click();
    await waitFor("the confirmation", async () => /Port 4 - COM12 - Address 298/.test(await wizard.innerText()));
    await button(wizard, "Finish").click();
    await wizard.waitFor({ state: "detached", timeout: 15_000 });
    await waitFor("COM12 in the list", async () => (await rows(applet)).some((r) => r.startsWith("COM12")));
  },

  // A restart while a program holds a port open asks Retry or Cancel; Retry after the port is closed
  // restarts the driver.
  async aRestartWhileAPortIsOpenAsksRetryOrCancel(page) {
    await showView(page, "ports");
    await page.getByRole("button", { name: "Open terminal on COM3" }).click();
    await page.getByRole("button", { name: "Close COM3" }).waitFor();
    const applet = await openApplet(page);
    const { sheet, box } = await renamePort(page, applet, "COM4", "COM10");
    await button(box, "OK").click();
    const retry = page.locator(".window", { has: page.locator("button.ctl", { hasText: "Retry" }) }).first();
    await retry.waitFor({ timeout: 15_000 });
    await photograph(page, retry, "ui-retry.png");
    await page.getByRole("button", { name: "Close COM3" }).click();
    await page.getByRole("button", { name: "Open terminal on COM3" }).waitFor();
    await button(retry, "Retry").click();
    await waitFor("COM10 in the list", async () => (await rows(applet)).some((r) => r.startsWith("COM10")));
    await showView(page, "serialcomm");
    await waitFor("COM10 in SERIALCOMM", async () => /= COM10$/m.test(await viewText(page)));
  },

  // Windows 2000: CvCard's page in the card's sheet renames a port and opens a port's settings.
  async cvCardRenamesAPortAndOpensItsSettings(page) {
    await page.getByRole("button", { name: "Properties of PCI multiport serial controller" }).click();
    const sheet = await waitWindow(page, "PCI multiport serial controller Properties");
    await sheet.getByRole("tab", { name: "Card Properties" }).click();
    const names = sheet.locator('select[data-id="1000"]');
    await names.waitFor();
    await names.selectOption({ label: "COM13" });
    await photograph(page, sheet, "ui-cvcard.png");
    await button(sheet, "Port 2").click();
    const settings = page.locator(".window", { has: page.locator('[data-id="1042"]') }).first();
    await settings.waitFor({ timeout: 15_000 });
    await photograph(page, settings, "ui-port-settings.png");
    await button(settings, "OK").click();
    await settings.waitFor({ state: "detached" });
    await button(sheet, "OK").click();
    await sheet.waitFor({ state: "detached", timeout: 15_000 });
    await showView(page, "serialcomm");
    await waitFor("COM13 in SERIALCOMM", async () => /= COM13$/m.test(await viewText(page)));
  },

  // What is typed in the terminal of COM5 arrives at COM6 over the null-modem cable.
  async theTerminalCarriesBytesOverANullModemCable(page) {
    await showView(page, "ports");
    for (const port of ["COM5", "COM6"]) {
      await page.getByRole("button", { name: "Open terminal on " + port }).click();
      await page.getByRole("button", { name: "Close " + port }).waitFor();
    }
    await page.getByRole("textbox", { name: "Send on COM5" }).fill("hello through the cable");
    await page.getByRole("textbox", { name: "Send on COM5" }).press("Enter");
    await waitFor("the text at COM6", async () =>
      /hello through the cable/.test(await page.locator('[aria-label="What arrived at COM6"]').innerText()));
    const stats = await page.locator('.port[data-port="COM6"] .stats').innerText();
    if (!/received 23/.test(stats)) fail("COM6's statistics: " + stats);
    // Every port shows what crossed its UART's line, open or not.
    await waitFor("COM5's line count", async () =>
      /UART at 300: 23 characters sent/.test(await page.locator('.port[data-port="COM5"] .line').innerText()));
    if (!/UART at E000/.test(await page.locator('.port[data-port="COM3"] .line').innerText())) fail("COM3 shows no line");
    await photograph(page, page.locator("#views"), "ui-terminal.png");
  },

  // Misuse: a malformed request, a window that is gone, two tabs at once; clear errors, and the
  // machine goes on.
  async misuseGetsClearErrorsAndLeavesTheMachineWhole(page, ui, browser) {
    const answer = await page.evaluate(async () => {
      const r = await fetch("/api/act", { method: "POST", body: "{not json" });
      return { status: r.status, body: await r.json() };
    });
    if (answer.status !== 400 || !/not a JSON object/.test(answer.body.error)) fail(JSON.stringify(answer));
    const applet = await openApplet(page);
    const stale = Number(await applet.getAttribute("data-h"));
    const other = await browser.newPage();
    await other.goto(ui.url);
    const there = await waitWindow(other, "Corvane for Windows NT");
    // Both tabs press View... at once: one opens the dialog, the other is told what is in the way.
    await Promise.all([button(applet, "View...").click(), button(there, "View...").click()]);
    const view = await waitWindow(page, "View Settings");
    if ((await windowOf(page, "View Settings").count()) !== 1) fail("two View dialogs opened");
    await waitFor("the second tab told what is in the way", async () =>
      /waits for another window to close first/.test((await page.locator("#error").innerText()) + (await other.locator("#error").innerText())));
    await button(view, "OK").click();
    await view.waitFor({ state: "detached" });
    await button(applet, "Close").click();
    await applet.waitFor({ state: "detached" });
    // The second tab acts on the window the first closed.
    await other.evaluate((h) => act({ h }, null, "click"), stale);
    await waitFor("the error on the page", async () => /that window is gone/.test(await other.locator("#error").innerText()));
    for (const path of ["/api/image/123", "/api/bitmap/123", "/api/view/nothing", "/nowhere"]) {
      const status = await page.evaluate(async (p) => (await fetch(p)).status, path);
      if (status !== 404) fail(`${path} answered ${status}`);
    }
    await other.close();
    // The machine is whole: the applet opens again and lists its ports.
    const again = await openApplet(page);
    if (!(await rows(again)).some((r) => r.startsWith("COM3"))) fail("the applet lost its ports");
  },
};

const machines = {
  theIsaWizardRunsToFinish: ["--machine", "examples/isa-wizard.machine", "--registry", "examples/isa-wizard.reg"],
  cvCardRenamesAPortAndOpensItsSettings: ["--windows-2000"],
  theTerminalCarriesBytesOverANullModemCable: ["--machine", "examples/serve.machine"],
};

if (!existsSync(chromiumPath)) {
  console.error(`no Chromium at ${chromiumPath} (scripts/setup.sh installs Debian's chromium)`);
  process.exit(1);
}
const browser = await chromium.launch({
  executablePath: chromiumPath,
  args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync"],
});
let failed = 0;
for (const [name, run] of Object.entries(cases)) {
  if (only.length && !only.includes(name)) continue;
  const started = Date.now();
  let ui = null;
  const page = await browser.newPage({ viewport: { width: 1500, height: 900 } });
  try {
    ui = await startUi(machines[name] || []);
    await page.goto(ui.url);
    await Promise.race([
      run(page, ui, browser),
      new Promise((_, late) => setTimeout(() => late(new Error("took longer than " + caseLimitMs + " ms")), caseLimitMs)),
    ]);
    const code = await stopUi(ui);
    ui = null;
    if (code !== 0) fail("cvsim ui stopped with " + code);
    console.log(`ok   ${name} (${Date.now() - started} ms)`);
  } catch (e) {
    failed++;
    console.log(`FAIL ${name}: ${e.message}`);
    await page.screenshot({ path: `/tmp/cvsim-ui-${name}.png` }).catch(() => {});
    if (ui) console.log(ui.output());
  } finally {
    if (ui) await stopUi(ui);
    await page.close().catch(() => {});
  }
}
await browser.close();
process.exit(failed ? 1 : 0);
