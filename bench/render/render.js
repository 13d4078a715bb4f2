// What a user would pick instead of RenderBridge: playwright-core driving
// Debian's Chromium with the render engine's flags, the same number of pages
// in flight, each page in a fresh browser context, loaded to its "load"
// event, its DOM read (and, with --snapshot 1, a PNG of the viewport taken).
//
//   node render.js --urls FILE --in-flight N --passes K --snapshot 0|1
//                  --flags JSON --out FILE [--warmup N]
//                  [--executable /usr/bin/chromium] [--width W --height H]
//
// Writes {"series": [...]} in the shape of bench/clients/pyclient.py's crawls.
'use strict';
const fs = require('fs');
const { chromium } = require('playwright-core');

function options(argv) {
  const out = {};
  for (let i = 2; i + 1 < argv.length; i += 2) out[argv[i].replace(/^--/, '')] = argv[i + 1];
  return out;
}

async function renderOne(browser, url, snapshot, viewport) {
  const context = await browser.newContext({ viewport });
  try {
    const page = await context.newPage();
    await page.goto(url, { waitUntil: 'load' });
    const dom = await page.evaluate(() => (document.documentElement ? document.documentElement.outerHTML : ''));
    if (!dom.length) return false;
    if (snapshot) {
      const png = await page.screenshot({ type: 'png' });
      if (!png.length) return false;
    }
    return true;
  } finally {
    await context.close();
  }
}

async function onePass(browser, urls, inFlight, snapshot, viewport) {
  const durations = [];
  const ends = [];
  let errors = 0;
  let next = 0;
  const start = process.hrtime.bigint();
  async function worker() {
    while (next < urls.length) {
      const url = urls[next++];
      const begin = process.hrtime.bigint();
      let ok = false;
      try {
        ok = await renderOne(browser, url, snapshot, viewport);
      } catch (error) {
        ok = false;
      }
      const end = process.hrtime.bigint();
      if (ok) {
        durations.push(Number(end - begin));
        ends.push(Number(end - start));
      } else {
        errors += 1;
      }
    }
  }
  await Promise.all(Array.from({ length: inFlight }, worker));
  return { wall: Number(process.hrtime.bigint() - start), durations, ends, errors, pages: durations.length };
}

async function main() {
  const args = options(process.argv);
  const urls = fs.readFileSync(args.urls, 'utf8').split('\n').filter((line) => line.trim());
  const inFlight = Number(args['in-flight'] || 4);
  const passes = Number(args.passes || 1);
  const snapshot = args.snapshot === '1';
  const warmup = Number(args.warmup || 0);
  const viewport = { width: Number(args.width || 1280), height: Number(args.height || 800) };
  const browser = await chromium.launch({
    executablePath: args.executable || '/usr/bin/chromium',
    headless: true,
    args: JSON.parse(args.flags || '[]'),
  });
  try {
    if (warmup) await onePass(browser, urls.slice(0, warmup), inFlight, snapshot, viewport);
    const runs = [];
    for (let k = 0; k < passes; k++) runs.push(await onePass(browser, urls, inFlight, snapshot, viewport));
    const series = {
      name: args.name || 'playwright-core',
      threads: inFlight,
      wall_ns: runs.reduce((sum, r) => sum + r.wall, 0),
      errors: runs.reduce((sum, r) => sum + r.errors, 0),
      durations_ns: runs.flatMap((r) => r.durations),
      ends_ns: [],
      pass_wall_ns: runs.map((r) => r.wall),
      pass_pages: runs.map((r) => r.pages),
      pass_ends_ns: runs.map((r) => r.ends),
    };
    fs.writeFileSync(args.out, JSON.stringify({ series: [series] }));
  } finally {
    await browser.close();
  }
}

main().catch((error) => {
  console.error('render.js: ' + (error && error.stack ? error.stack : error));
  process.exit(2);
});
