// Drives quorkit-memlog's report of examples/leaks in headless Chromium and checks what a user
// relies on: the three leaks, the stack behind the largest, search and zoom in the flame graph,
// and a page that loads nothing from the network and throws nothing.
// Usage: node report.test.mjs REPORT.html FLAME.svg SCREENSHOT.png
import { createRequire } from 'node:module';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const [reportPath, svgPath, screenshotPath] = process.argv.slice(2);
const require = createRequire(path.resolve('build/browser/package.json'));
const { chromium } = require('playwright-core');

const failures = [];
function check(ok, what) {
  if (!ok) failures.push(what);
}

const profile = mkdtempSync(path.join(tmpdir(), 'memlog-chromium-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  viewport: { width: 1280, height: 900 },
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  const page = context.pages()[0] ?? (await context.newPage());
  page.setDefaultTimeout(15000);
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  page.on('console', (m) => m.type() === 'error' && errors.push(m.text()));
  await page.route('**/*', (route) => {
    const url = route.request().url();
    if (url.startsWith('file:')) return route.continue();
    errors.push('request to ' + url);
    return route.abort();
  });
  await page.goto(pathToFileURL(reportPath).href);

  // The leak table: three rows, largest first; its stack starts in the program's own code.
  const rows = page.locator('#leaks tr.leak');
  check((await rows.count()) === 3, `3 leak rows, found ${await rows.count()}`);
  const bytes = async () => (await page.locator('#leaks tr.leak td:nth-child(2)').allTextContents())
    .map((t) => Number(t.replace(/,/g, '')));
  const byBytes = await bytes();
  check(byBytes.join() === [...byBytes].sort((a, b) => b - a).join(), `largest first: ${byBytes}`);
  await page.locator('#leaks th[data-sort=bytes]').click();
  const ascending = await bytes();
  check(ascending[0] === Math.min(...byBytes), `sorted by bytes, ascending: ${ascending}`);
  await page.locator('#leaks th[data-sort=bytes]').click();
  await rows.first().click();
  const firstFrame = await page.locator('#leaks tr.stack li.frame').first().textContent();
  check(/makeBuckets/.test(firstFrame), `first frame of the largest leak: ${firstFrame}`);

  // Search highlights the boxes of a function and reports their share.
  await page.locator('#flame-search').fill('makeToken');
  const matched = await page.locator('#flame-graph .box.match').count();
  check(matched >= 1, 'a box highlighted for makeToken');
  const status = await page.locator('#flame-status').textContent();
  check(/makeToken.*%/.test(status), `matched share reported: ${status}`);

  // A click on a narrow box stretches it to the full width of the graph.
  const graphWidth = (await page.locator('#flame-graph').boundingBox()).width;
  const target = page.locator('#flame-graph .box.match').first();
  const index = await target.getAttribute('data-i');
  check((await target.boundingBox()).width < graphWidth - 2, 'the chosen box is narrower than the graph');
  await target.click();
  const zoomed = await page.locator(`#flame-graph .box[data-i="${index}"]:not(.ancestor)`).boundingBox();
  check(zoomed && Math.abs(zoomed.width - graphWidth) <= 1, `zoomed box width ${zoomed?.width} of ${graphWidth}`);

  // The chart marks the peak.
  check((await page.locator('#timeline .peak circle').count()) === 1, 'the peak marked on the chart');
  await page.locator('#flame-reset').click();
  await page.evaluate(() => window.scrollTo(0, 0));
  const flameBox = await page.locator('#flame').boundingBox();  // the page down to the flame graph
  const clip = { x: 0, y: 0, width: 1280, height: flameBox.y + flameBox.height + 20 };
  await page.screenshot({ path: screenshotPath, fullPage: true, clip });

  // The flame SVG's own script: search reports a share, a click stretches a box to full width.
  await page.goto(pathToFileURL(svgPath).href);
  page.once('dialog', (d) => d.accept('makeToken'));
  await page.locator('#search').click();
  const svgMatched = await page.locator('#matched').textContent();
  check(/makeToken.*%/.test(svgMatched), `SVG search share: ${svgMatched}`);
  const bucket = page.locator('#frames g', { hasText: 'makeBuckets' }).locator('rect');
  const before = (await bucket.boundingBox()).width;
  await bucket.click();
  const after = (await bucket.boundingBox()).width;
  check(before < after && Math.abs(after - 1180) <= 1, `SVG zoom: ${before} -> ${after} of 1180`);
  check(errors.length === 0, 'no page errors or network requests: ' + errors.join('; '));
} catch (e) {
  failures.push(e.message.split('\n')[0]);  // a step that could not run, after those that failed
} finally {
  await context.close();
  rmSync(profile, { recursive: true, force: true });
}

if (failures.length) {
  console.error('report browser test failed:\n  ' + failures.join('\n  '));
  process.exit(1);
}
