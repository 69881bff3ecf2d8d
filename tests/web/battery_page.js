// The page's energy and battery card, its discharge list and the chart's DC
// load power, at desktop (1280 px) and phone (390 px) width. Where the
// runner's site names no battery, the device's battery answer and the
// discharge list are served from the figures below (a discharge going on, a
// failed and an aborted test, device-supplied text with markup in it), so
// every part of the card is drawn; the battery test's request still goes to
// the runner. Saves battery-card.png and battery-phone.png.
'use strict';
const path = require('path');

const NOW = Math.floor(Date.now() / 1000);
const MARKUP = '<img src=x onerror="window.__xss=3">';
const COUNTERS = (k) => ({ load_kwh: 41.25 * k, rectifier_kwh: 43.9 * k, charge_ah: 120.5 * k, discharge_ah: 98.2 * k,
  charge_kwh: 6.4 * k, discharge_kwh: 5.1 * k, time: NOW });
const GOING = { id: 0, device: 100, start: NOW - 1500, end: null, cause: 'mains loss', ah: 17.4, kwh: 0.88,
  min_v: 49.62, end_v: null, min_temp_c: 21.5, result: '', expected_ah: 0 };
const DISCHARGES = [
  GOING,
  { id: 3, device: 100, start: NOW - 86400 * 3, end: NOW - 86400 * 3 + 3600, cause: 'test', ah: 61.2, kwh: 3.01,
    min_v: 47.9, end_v: 48.02, min_temp_c: 22, result: 'fail', expected_ah: 80 },
  { id: 2, device: 100, start: NOW - 86400 * 9, end: NOW - 86400 * 9 + 1260, cause: 'test', ah: 20.1, kwh: 1.02,
    min_v: 50.1, end_v: 50.3, min_temp_c: null, result: 'aborted: ' + MARKUP, expected_ah: 0 },
  { id: 1, device: 100, start: NOW - 86400 * 20, end: NOW - 86400 * 20 + 7265, cause: 'rectifier shortfall',
    ah: 88.85, kwh: 4.4, min_v: 46.8, end_v: 47.05, min_temp_c: 18, result: '', expected_ah: 0 },
];
const BATTERY = {
  configured: true, total: COUNTERS(1000), today: COUNTERS(0.1), month: COUNTERS(2), power_w: 2612.4, soc: 0.78,
  autonomy: { valid: true, discharging: true, minutes: 200, low_min: 170, high_min: 230, soc: 0.78, load_a: 48.8,
    temp_c: 21.5, basis: 'charge+voltage', why: '' },
  autonomy_low: false, discharging: GOING, last: DISCHARGES[1],
  test: { allowed: true, running: false, started: 0, started_by: '', next_scheduled: NOW + 86400 * 4,
    last_result: 'fail' },
};

// Stubs the battery answers on `page` unless the runner's own say a battery is configured.
async function stub(page, base) {
  const real = await (await fetch(base + '/api/devices/100/battery')).json().catch(() => ({}));
  if (real.configured) return false;
  await page.route('**/api/devices/*/battery', (r) => r.fulfill({ json: BATTERY }));
  await page.route('**/api/discharges?*', (r) => r.fulfill({ json: { from: NOW - 400 * 86400, to: NOW, limit: 20, discharges: DISCHARGES } }));
  return true;
}

// The two cards' area of the page, for a screenshot of them alone.
async function area(page) {
  const a = await page.locator('#battery-card').boundingBox();
  const b = await page.locator('#discharge-card').boundingBox();
  const scroll = await page.evaluate(() => [window.scrollX, window.scrollY, document.documentElement.clientWidth]);
  const top = Math.max(0, Math.min(a.y, b.y) + scroll[1] - 8);
  const bottom = Math.max(a.y + a.height, b.y + b.height) + scroll[1] + 8;
  return { x: 0, y: top, width: scroll[2], height: bottom - top };
}

async function batteryCard({ browser, base, out, fail, until, fits, errors, token }) {
  const desk = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  const phone = await browser.newPage({ viewport: { width: 390, height: 844 }, isMobile: true });
  let stubbed = false;
  for (const p of [desk, phone]) {
    p.on('pageerror', (e) => errors.push(String(e)));
    stubbed = await stub(p, base);
    await p.goto(base + '/', { waitUntil: 'load' });
    await p.waitForFunction(() => document.querySelector('#energy [data-key="power_w"]'), null, { timeout: 15000 });
  }
  // Durations keep together with no-break spaces; compared as plain ones.
  const text = (await desk.textContent('#battery-card')).replace(/\u00a0/g, ' ');
  if (stubbed) {
    for (const want of ['2.61 kW', '4.13 kWh', '82.50 kWh', '41250 kWh', '78 %',
      '\u2248 3 h 20 min (2 h 50 \u2013 3 h 50), estimate from charge+voltage', 'load 48.8 A', '21.5 \u00b0C',
      '(mains loss), 17.4 Ah so far', 'last result: fail']) {
      if (!text.includes(want)) fail(`battery card without "${want}": ${text}`);
    }
    await until('the discharge list', async () => (await desk.$$('#discharges tbody tr')).length === DISCHARGES.length, 10000);
    const rows = await desk.$$eval('#discharges tbody tr', (trs) => trs.map((tr) => [...tr.cells].map((c) => c.textContent.replace(/\u00a0/g, ' '))));
    // Newest first, as the API lists them; the one going on says so.
    if (rows[0][7] !== 'going on' || !rows[0][1].endsWith('so far')) fail('discharge going on: ' + rows[0]);
    if (rows[1].slice(1).join('|') !== '1 h|test|61.2|3.01|47.90|48.02|fail') fail('test discharge row: ' + rows[1]);
    if (rows[3][1] !== '2 h 1 min' || rows[3][2] !== 'rectifier shortfall') fail('shortfall row: ' + rows[3]);
    if (rows[2][7] !== 'aborted: ' + MARKUP) fail('device text not shown as text: ' + rows[2][7]);
  } else {
    if (!text.includes('State of charge') || !text.includes('Autonomy')) fail('battery card of the runner\'s site: ' + text);
  }
  if (await desk.$('#battery-card img, #discharges img') || await desk.evaluate(() => window.__xss !== undefined)) {
    fail('device text became markup');
  }
  // Control is on and nobody is logged in (the token is typed): the test
  // is offered, its request goes to the runner and its answer is shown.
  if (!(await desk.isVisible('#battery-test-start')) || await desk.isVisible('#battery-test-stop')) fail('battery test buttons');
  await desk.fill('#control-token', token);
  await desk.click('#battery-test-start');
  if (!(await desk.textContent('#battery-test-question')).includes('Start a battery test')) fail('no confirmation step');
  await desk.click('#battery-test-yes');
  const said = await until('the battery test answer', async () => {
    const t = await desk.textContent('#battery-test-result');
    return /^battery test start (done|refused: .+)$/.test(t) ? t : '';
  }, 15000);
  // The chart of the DC unit adds its load power.
  await until('the chart with the DC load power', async () => (await desk.textContent('#chart')).includes('DC load power (W)'), 45000);
  await fits(desk, 'desktop, battery', true);
  await desk.screenshot({ path: path.join(out, 'battery-card.png'), clip: await area(desk), fullPage: true });
  // On a phone the card takes the screen's width like the others and the
  // discharges stack as blocks.
  const w = await phone.evaluate(() => [document.getElementById('battery-card').getBoundingClientRect().width,
    document.getElementById('dc-card').getBoundingClientRect().width]);
  if (Math.abs(w[0] - w[1]) > 1) fail(`battery card ${w[0]} px wide on a phone, the DC card ${w[1]} px`);
  await fits(phone, 'phone, battery', true);
  await phone.screenshot({ path: path.join(out, 'battery-phone.png'), clip: await area(phone), fullPage: true });
  await desk.close();
  await phone.close();
  console.log(`battery card (${stubbed ? 'stubbed answers' : 'the runner\'s battery'}); test request: ${said}`);
}

module.exports = { batteryCard };
