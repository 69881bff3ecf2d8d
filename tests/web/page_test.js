// The status page in headless Chromium (Debian's /usr/bin/chromium) against
// the runner polling the simulator: values rendered, the chart drawn from the
// stored points, an alarm of the scenario's timeline raised and cleared, the
// device's text shown as text, control with its confirmation step. Saves
// screenshots (desktop and phone) and prints the page's weight and time to
// first values.
//
// usage: node page_test.js RUNNER EXAMPLES ARTEFACT_DIR
'use strict';
const { chromium } = require('playwright-core');
const { spawn } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');

const [RUNNER, EXAMPLES, OUT] = process.argv.slice(2);
const CHROMIUM = process.env.K417T_CHROMIUM || '/usr/bin/chromium';
const NAME = '<b>bold</b><script>window.__xss=1</script><img src=x onerror="window.__xss=2">';
const TOKEN = 'page-test-token-0123456789';

function fail(msg) { console.error('FAIL: ' + msg); process.exitCode = 1; throw new Error(msg); }
function freePort() {
  return new Promise((resolve) => {
    const s = net.createServer();
    s.listen(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => resolve(p)); });
  });
}
async function until(what, fn, ms) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await fn().catch(() => false);
    if (v) return v;
    if (Date.now() > end) fail('timed out waiting for ' + what);
    await new Promise((r) => setTimeout(r, 200));
  }
}

async function main() {
  if (!fs.existsSync(CHROMIUM)) fail(`no browser at ${CHROMIUM} (scripts/install-deps.sh installs Debian's chromium)`);
  fs.mkdirSync(OUT, { recursive: true });
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'k417t-page-'));
  const site = JSON.parse(fs.readFileSync(path.join(EXAMPLES, 'site.json'), 'utf8'));
  site.devices[0].name = NAME;
  fs.writeFileSync(path.join(work, 'site.json'), JSON.stringify(site));
  // The example timeline, slowed so that the page sees the alarm while it is up.
  const scen = JSON.parse(fs.readFileSync(path.join(EXAMPLES, 'scenario.json'), 'utf8'));
  scen.changes[0].after_rounds = 4;
  scen.changes[1].after_rounds = 5;
  scen.changes[2].after_rounds = 14;
  fs.writeFileSync(path.join(work, 'scenario.json'), JSON.stringify(scen));
  fs.writeFileSync(path.join(work, 'token'), TOKEN + '\n');
  const port = await freePort();
  const runner = spawn(RUNNER, ['--site', path.join(work, 'site.json'), '--simulate', path.join(work, 'scenario.json'),
    '--pace', '--db', path.join(work, 'h.db'), '--http', `127.0.0.1:${port}`, '--http-control',
    '--http-token-file', path.join(work, 'token'), '--json', '--log', path.join(work, 'runner.log')],
  { stdio: ['ignore', 'ignore', 'inherit'] });
  const base = `http://127.0.0.1:${port}`;
  let browser;
  try {
    await until('the runner', async () => (await fetch(base + '/api/devices')).ok, 15000);
    browser = await chromium.launch({
      executablePath: CHROMIUM,
      headless: true,  // with a new empty profile of playwright's own
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
    const errors = [];
    page.on('pageerror', (e) => errors.push(String(e)));
    page.on('dialog', (d) => { errors.push('dialog: ' + d.message()); d.dismiss(); });
    const outside = [];
    page.on('request', (req) => { if (!req.url().startsWith(base)) outside.push(req.url()); });
    const t0 = Date.now();
    await page.goto(base + '/', { waitUntil: 'load' });
    await page.waitForFunction(() => document.querySelector('#dc td.num'), null, { timeout: 15000 });
    const firstValues = Date.now() - t0;
    const paint = await page.evaluate(() => {
      const p = performance.getEntriesByName('first-contentful-paint')[0];
      return p ? Math.round(p.startTime) : -1;
    });
    // Bytes on the wire up to the first values: the page, its assets and the
    // first API answers.
    const loadBytes = await page.evaluate(() => performance.getEntriesByType('navigation')
      .concat(performance.getEntriesByType('resource'))
      .reduce((sum, e) => sum + (e.transferSize || 0), 0));

    // Values of the scenario.
    const dcText = await page.textContent('#dc');
    if (!dcText.includes('53.50') || !dcText.includes('120.4')) fail('DC values missing: ' + dcText);
    const acText = await page.textContent('#ac');
    if (!acText.includes('31.5') || !acText.includes('50.0')) fail('AC values missing: ' + acText);
    const rcText = await page.textContent('#rc');
    if (!rcText.includes('40.2') || !rcText.includes('53.50')) fail('rectifier values missing: ' + rcText);

    // The site's name is text: shown literally, no element made of it, no script run.
    const tab = await page.textContent('#tabs button');
    if (!tab.includes(NAME)) fail('device name not shown as text: ' + tab);
    if (await page.$('#tabs b, #tabs script, #tabs img, #line-facts b, #line-facts img')) fail('device name became markup');
    if (await page.evaluate(() => window.__xss !== undefined)) fail('device name ran as script');

    // An alarm of the timeline comes and goes; the log keeps both.
    await until('the AC alarm to show', async () => (await page.textContent('#alarms tbody')).includes('06017'), 30000);
    await page.screenshot({ path: path.join(OUT, 'page-alarm.png'), fullPage: true });
    await until('the AC alarm to clear', async () => (await page.$$('#alarms tbody tr')).length === 0, 40000);
    await until('the alarm log', async () => {
      const log = await page.textContent('#events tbody');
      return log.includes('raised') && log.includes('cleared');
    }, 10000);

    // The chart draws what the store holds for the unit.
    await page.selectOption('#chart-unit', '21');
    await page.selectOption('#chart-range', '3600');
    const drawn = await until('the chart', async () => {
      const n = await page.getAttribute('#chart', 'data-points');
      return n && Number(n) >= 5 && (await page.$('#chart canvas')) ? Number(n) : 0;
    }, 15000);
    const now = Math.floor(Date.now() / 1000);
    const hist = await (await fetch(`${base}/api/history?unit=21&from=${now - 3600}&to=${now + 5}`)).json();
    if (Math.abs(hist.time.length - drawn) > 3) fail(`chart has ${drawn} points, store ${hist.time.length}`);
    const legend = await page.textContent('#chart');
    if (!legend.includes('DC voltage')) fail('chart legend missing');

    // Control: a confirmation step, then the controller's result.
    if (!(await page.isVisible('#control'))) fail('control section hidden though switched on');
    await page.fill('#control-token', TOKEN);
    await page.selectOption('#control-code', '100');
    await page.click('#control-send');
    if (!(await page.isVisible('#control-confirm'))) fail('no confirmation step');
    const question = await page.textContent('#control-question');
    if (!question.includes('100') || !question.includes(NAME)) fail('confirmation text: ' + question);
    await page.click('#control-yes');
    await until('the control result', async () => (await page.textContent('#control-result')).includes('done'), 15000);
    await page.fill('#control-token', 'wrong-token-000000000');
    await page.click('#control-send');
    await page.click('#control-yes');
    await until('the refusal', async () => (await page.textContent('#control-result')).includes('token'), 15000);

    await page.screenshot({ path: path.join(OUT, 'page.png'), fullPage: true });
    const phone = await browser.newPage({ viewport: { width: 390, height: 844 }, isMobile: true });
    await phone.goto(base + '/');
    await phone.waitForFunction(() => document.querySelector('#dc td.num'), null, { timeout: 15000 });
    const overflow = await phone.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
    if (overflow > 2) fail(`page is ${overflow}px wider than a phone screen`);
    await phone.screenshot({ path: path.join(OUT, 'page-phone.png'), fullPage: true });

    if (errors.length) fail('page errors: ' + errors.join('; '));
    if (outside.length) fail('requests outside the gateway: ' + outside.join(', '));
    console.log(`page weight on first load: ${loadBytes} bytes; first values after ${firstValues} ms ` +
      `(first contentful paint ${paint} ms); chart ${drawn} points`);
    console.log('screenshots: ' + path.join(OUT, 'page.png'));
  } finally {
    if (browser) await browser.close();
    runner.kill('SIGTERM');
  }
}

main().then(() => { if (!process.exitCode) console.log('page test passed'); })
  .catch((e) => { console.error(e && e.stack ? e.stack : e); process.exitCode = 1; });
