// Opens report pages made by tools/quorrick-report in Debian's chromium (headless) and
// checks what a person would see: no console error, every section that has a file shows
// its data, missing files leave a note, tables sort, a launcher run shows its process with
// the error report, a page made without Chart.js has notes in place of the charts.
//   QJ_REPORT_FULL=<demo run>/report.html QJ_REPORT_PARTIAL=<page of a run with only
//   status.txt> QJ_REPORT_LAUNCHER=<the demo's launcher run>/report.html
//   QJ_REPORT_CHARTLESS=<page of the demo's files made without Chart.js>
//   QJ_SCREENSHOT=<png> node --test tools/report/test/
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

const SECTIONS = ['summary', 'sizes', 'frames', 'names', 'traces', 'resources', 'leaks', 'churn'];

let profile;
let context;

before(async () => {
  profile = mkdtempSync(join(tmpdir(), 'quorrick-chromium-'));
  context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.QJ_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1400, height: 900 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  await context?.close();
  if (profile) rmSync(profile, { recursive: true, force: true });
});

// Loads a page and returns it with the console errors and page errors it raised.
async function open(path) {
  const page = await context.newPage();
  const errors = [];
  page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
  page.on('pageerror', (e) => errors.push(String(e)));
  page.on('request', (r) => { if (!r.url().startsWith('file:')) errors.push('network: ' + r.url()); });
  await page.goto(pathToFileURL(path).href);
  await page.waitForSelector('body[data-ready=yes]', { timeout: 15000 });
  return { page, errors };
}

test('demo page: every section shows its data, no console error', async () => {
  const { page, errors } = await open(process.env.QJ_REPORT_FULL);
  for (const id of SECTIONS)
    assert.equal(await page.getAttribute(`#${id}`, 'class'), 'present', `section ${id}`);

  // Charts drawn by the charting library, with the data of the files.
  const charts = await page.evaluate(() => {
    const info = (id) => {
      const c = Chart.getChart(document.getElementById(id));
      return c && { labels: c.data.labels.length,
                    sets: c.data.datasets.map((d) => ({ label: d.label, n: d.data.filter((v) => v > 0).length })) };
    };
    return { sizes: info('sizes-chart'), frames: info('frames-chart') };
  });
  assert.ok(charts.sizes.labels > 10, 'sizes on the x axis');
  assert.deepEqual(charts.sizes.sets.map((s) => s.label), ['live blocks', 'peak blocks']);
  assert.ok(charts.sizes.sets[1].n === charts.sizes.labels, 'every size has a peak');
  assert.ok(charts.frames.labels >= 8, 'one point per visual frame');
  const lines = charts.frames.sets.map((s) => s.label);
  for (const name of ['terrain', 'sound', 'physics', 'total'])
    assert.ok(lines.includes(name), `line for ${name} in ${lines}`);

  const rows = async (id) => page.$$eval(`#${id} tbody tr`, (r) => r.length);
  assert.equal(await rows('names-table'), 4);
  assert.equal(await rows('traces-table'), 2);
  assert.equal(await rows('resources-table'), 2);
  assert.ok(await rows('leaks-table') >= 3);
  assert.ok(await rows('churn-table') >= 3);
  // Symbolized frames: function names and source lines of the demo.
  const leakFrames = await page.textContent('#leaks-table');
  assert.match(leakFrames, /loadShaders/);
  assert.match(leakFrames, /demo_host\.cpp:\d+/);
  const churnFrames = await page.textContent('#churn-table');
  assert.match(churnFrames, /physicsThread/);
  assert.match(churnFrames, /demo_host\.cpp:\d+/);
  for (const id of ['leaks', 'churn'])
    assert.equal(await page.$$eval(`#${id} .note`, (n) => n.length), 0, `${id}: symbolized`);

  // Sorting: a click on "bytes" orders the memory names by bytes, largest first.
  await page.click('#names-table th:nth-child(3)');
  const bytes = await page.$$eval('#names-table tbody tr td:nth-child(3)', (c) => c.map((x) => Number(x.dataset.value)));
  assert.deepEqual(bytes, [...bytes].sort((a, b) => b - a));
  await page.click('#names-table th:nth-child(3)');
  const again = await page.$$eval('#names-table tbody tr td:nth-child(3)', (c) => c.map((x) => Number(x.dataset.value)));
  assert.deepEqual(again, [...bytes].reverse());

  if (process.env.QJ_SCREENSHOT)
    await page.screenshot({ path: process.env.QJ_SCREENSHOT, fullPage: true });
  assert.deepEqual(errors, []);
  await page.close();
});

test('a run with only status.txt: the other sections are left out with a note', async () => {
  const { page, errors } = await open(process.env.QJ_REPORT_PARTIAL);
  assert.equal(await page.getAttribute('#summary', 'class'), 'present');
  assert.equal(await page.getAttribute('#names', 'class'), 'present');
  for (const id of ['sizes', 'frames', 'traces', 'resources', 'leaks', 'churn']) {
    assert.equal(await page.getAttribute(`#${id}`, 'class'), 'missing', `section ${id}`);
    assert.match(await page.textContent(`#${id} .note`), /not found/);
  }
  assert.equal(await page.$$eval('canvas', (c) => c.length), 0);
  assert.deepEqual(errors, []);
  await page.close();
});

test('launcher run: the process, its error report with the symbolized site', async () => {
  const { page, errors } = await open(process.env.QJ_REPORT_LAUNCHER);
  const groups = await page.$$eval('section.process', (g) => g.map((s) => [s.id, s.dataset.program, s.className]));
  assert.deepEqual(groups, [['p0', 'planted_bug', 'process failed']]);
  assert.equal(await page.$$eval('#processes-table tbody tr', (r) => r.length), 1);
  assert.match(await page.textContent('#p0 h2'), /^planted_bug \(pid \d+\)$/);
  assert.match(await page.textContent('#p0 .command'), /examples\/planted_bug/);
  assert.equal(await page.getAttribute('#p0-error', 'class'), 'present');
  assert.match(await page.textContent('#p0-error .message'),
               /^QJ7 Memory Error: .*tailguard: block tail corruption detected/);
  assert.match(await page.textContent('#p0-error'), /Block 0x[0-9a-f]+ \(6 bytes\)/);
  const site = await page.$$eval('#p0-error ol.frames li', (l) => l.map((x) => x.textContent));
  assert.match(site[0], /copyName\(char const\*\) at \S*planted_bug\.cpp:\d+/);
  assert.deepEqual(errors, []);
  await page.close();
});

test('a page made without Chart.js: notes in place of the charts, the tables as before', async () => {
  const { page, errors } = await open(process.env.QJ_REPORT_CHARTLESS);
  for (const id of ['sizes', 'frames']) {
    assert.equal(await page.getAttribute(`#${id}`, 'class'), 'present', `section ${id}`);
    assert.match(await page.textContent(`#${id} .note`), /Chart\.js is not installed/);
  }
  assert.equal(await page.$$eval('canvas', (c) => c.length), 0);
  assert.equal(await page.$$eval('#names-table tbody tr', (r) => r.length), 4);
  assert.deepEqual(errors, []);
  await page.close();
});
