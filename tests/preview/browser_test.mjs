// The preview page end to end in a real headless browser (the system's
// chromium, driven by playwright-core): it loads the page, moves the timeline
// and a slider and sees the frame change, rewrites kinetra.txt and sees the
// frame change without the page reloading, and saves a screenshot.
//
//   node browser_test.mjs KINETRA_PROGRAM ARTEFACT_DIR
//
// Exits 77 (skipped) when the browser or playwright-core is missing.
import { spawn, spawnSync } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const SKIP = 77;
const CHROMIUM = '/usr/bin/chromium';
const [program, artefacts] = process.argv.slice(2);
if (!program || !artefacts) {
  console.error('usage: node browser_test.mjs KINETRA_PROGRAM ARTEFACT_DIR');
  process.exit(2);
}

let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch (e) {
  console.log(`SKIP: playwright-core is not installed (make test installs it): ${e.message}`);
  process.exit(SKIP);
}
if (!existsSync(CHROMIUM)) {
  console.log(`SKIP: ${CHROMIUM} is missing (make test installs it)`);
  process.exit(SKIP);
}

// A script whose picture depends on slider a (mosaic size) and the frame.
const SCRIPT_A = [
  'copy(0, 2, 0, 0, w, h, 0, 0)',
  'mosaic(2, 0, 0, 0, w, h, 0, 0, 1+a/128, 1+a/128)',
  'font(IPAGothic, 30, 1, 0, 0, 4096, 0, 0)',
  'text2(0, w/2, h-54, 1, "frame %.0f", f)',
  '',
].join('\n');
// The saved change: a backdrop, the picture turned and framed, a title.
const SCRIPT_B = [
  'copy(0, 2, 0, 0, w, h, 0, 0)',
  'mosaic(2, 3, 0, 0, w, h, 0, 0, 1+a/128, 1+a/128)',
  'fill(0, 0, 0, w, h, 900, 500, -350)',
  'ellipse(0, w-110, 40, 70, 70, 3100, -700, 900)',
  'fill(0, w/8-6, h/4-6, w*3/4+12, h*11/20+12, 4000, 0, 0)',
  'resize(3, 4, 0, 0, w, h, 0, 0, w*3/4, h*11/20)',
  'copy(4, 0, 0, 0, w*3/4, h*11/20, w/8, h/4)',
  'font2(IPAGothic, 44, 1, 0, 0, 4, 4096, 0, 0, 0, 700, -700)',
  'text(0, w/2, 18, 1, "Kinetra preview")',
  'font(IPAGothic, 26, 1, 0, 0, 4096, 0, 0)',
  'text2(0, w/2, h-44, 1, "frame %.0f", f)',
  '',
].join('\n');

// How long a wait may take before it counts as a hang: far longer than any
// step takes on a loaded machine or with the sanitized build.
const LIMIT_MS = 120000;

function fail(message) {
  console.error(`FAIL: ${message}`);
  process.exitCode = 1;
  throw new Error(message);
}

function check(condition, message) {
  if (!condition) fail(message);
  console.log(`ok - ${message}`);
}

const work = mkdtempSync(join(tmpdir(), 'kinetra-preview-browser-'));
const profile = join(work, 'profile');
let server = null;
let browser = null;
let serverExit = null;

try {
  const made = spawnSync('ffmpeg', [
    '-loglevel', 'error', '-y',
    '-f', 'lavfi', '-i', 'testsrc2=size=640x360:rate=30',
    '-f', 'lavfi', '-i', 'sine=frequency=440:sample_rate=48000',
    '-t', '3', '-pix_fmt', 'yuv420p', '-c:v', 'libx264', '-preset', 'ultrafast',
    '-c:a', 'aac', '-shortest', join(work, 'clip.mp4'),
  ], { stdio: 'inherit' });
  check(made.status === 0, 'ffmpeg made the source clip');
  writeFileSync(join(work, 'kinetra.txt'), SCRIPT_A);

  // The preview on an unused port; its first line says where.
  server = spawn(program, ['preview', join(work, 'clip.mp4')], {
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  serverExit = new Promise((resolve) => server.on('exit', (code, signal) => resolve({ code, signal })));
  const address = await new Promise((resolve, reject) => {
    let text = '';
    const timer = setTimeout(() => reject(new Error('the preview printed no address')), LIMIT_MS);
    server.stdout.on('data', (chunk) => {
      text += chunk;
      const found = text.match(/http:\/\/127\.0\.0\.1:\d+\//);
      if (found) {
        clearTimeout(timer);
        resolve(found[0]);
      }
    });
    server.on('exit', () => reject(new Error(`the preview ended: ${text}`)));
  });
  console.log(`preview at ${address}`);

  // A fresh profile (--user-data-dir) for every run.
  browser = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    viewport: { width: 1280, height: 760 },
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
    ],
  });
  const page = browser.pages()[0] || await browser.newPage();
  page.setDefaultTimeout(LIMIT_MS);
  const problems = [];
  page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  page.on('console', (m) => m.type() === 'error' && problems.push(`console: ${m.text()}`));
  await page.goto(address);

  // A digest of the shown picture's pixels, with the frame number it shows.
  // The page may be swapping in the next picture: wait until it has decoded.
  const shown = () => page.evaluate(async (limit) => {
    const img = document.getElementById('frame');
    const end = Date.now() + limit;
    while (!(img.complete && img.naturalWidth > 0) && Date.now() < end) {
      await new Promise((done) => setTimeout(done, 10));
    }
    const canvas = document.createElement('canvas');
    canvas.width = img.naturalWidth;
    canvas.height = img.naturalHeight;
    const context = canvas.getContext('2d');
    context.drawImage(img, 0, 0);
    const data = context.getImageData(0, 0, canvas.width, canvas.height).data;
    let hash = 2166136261;
    for (let i = 0; i < data.length; i += 7) hash = Math.imul(hash ^ data[i], 16777619) >>> 0;
    return { frame: Number(img.dataset.frame), count: Number(document.body.dataset.framesShown), hash };
  }, LIMIT_MS);
  const waitForFrame = (n, after) => page.waitForFunction(
    ([n, after]) => document.getElementById('frame').dataset.frame === String(n) &&
      Number(document.body.dataset.framesShown) > after,
    [n, after], { timeout: LIMIT_MS });

  await waitForFrame(0, 0);
  const first = await shown();
  check(first.frame === 0, 'the page shows frame 0');
  check(await page.locator('#sliders .name').first().textContent() === '変数a',
    'slider names come from the plug-in, in UTF-8');

  await page.locator('#timeline').fill('45');
  await waitForFrame(45, first.count);
  const moved = await shown();
  check(moved.hash !== first.hash, 'moving the timeline changes the frame');
  check(await page.locator('#frame-number').textContent() === '45', 'the frame number follows');
  check((await page.locator('#time').textContent()).includes('1.50'), 'the time follows (45 / 30 fps)');

  await page.locator('#slider-1').fill('700');
  await page.waitForFunction((after) => Number(document.body.dataset.framesShown) > after,
    moved.count, { timeout: LIMIT_MS });
  await waitForFrame(45, moved.count);
  const slid = await shown();
  check(slid.hash !== moved.hash, 'moving slider a changes the frame');

  // Save a new script; the page must follow without being reloaded.
  await page.evaluate(() => { window.notReloaded = true; });
  writeFileSync(join(work, 'kinetra.txt'), SCRIPT_B);
  await page.waitForFunction((before) => {
    const img = document.getElementById('frame');
    return Number(document.body.dataset.framesShown) > before.count && img.complete;
  }, slid, { timeout: LIMIT_MS });
  // The plug-in looks at the file at most once a clock second: the new
  // script shows in a frame rendered in a later second (the server announces
  // that second, and the page asks for the frame again).
  let saved = await shown();
  for (const end = Date.now() + LIMIT_MS; saved.hash === slid.hash && Date.now() < end;) {
    await page.waitForTimeout(100);
    saved = await shown();
  }
  check(saved.hash !== slid.hash, 'saving kinetra.txt changes the frame on screen');
  check(await page.evaluate(() => window.notReloaded === true), 'the page was not reloaded');
  await page.waitForFunction(() => /Loaded by the plug-in/.test(document.getElementById('loaded').textContent),
    null, { timeout: LIMIT_MS });
  check(true, 'the page says when the plug-in loaded the script');

  mkdirSync(artefacts, { recursive: true });
  const picture = join(artefacts, 'preview.png');
  await page.screenshot({ path: picture });
  check(existsSync(picture), `screenshot saved: ${picture}`);
  check(problems.length === 0, `no errors in the page${problems.length ? ': ' + problems.join('; ') : ''}`);
} catch (e) {
  if (!process.exitCode) {
    console.error(`FAIL: ${e.stack || e}`);
    process.exitCode = 1;
  }
} finally {
  if (browser) await browser.close().catch(() => {});
  if (server && server.exitCode === null) {
    server.kill('SIGINT');
    const end = await serverExit;
    if (end.code !== 0) {
      console.error(`FAIL: the preview did not stop cleanly on Ctrl-C (${JSON.stringify(end)})`);
      process.exitCode = 1;
    } else {
      console.log('ok - Ctrl-C stops the preview cleanly');
    }
  }
  rmSync(work, { recursive: true, force: true });
}
