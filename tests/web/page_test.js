// The status page in headless Chromium (Debian's /usr/bin/chromium) against
// the runner polling the simulator: values rendered, the site banner healthy,
// in alarm and with the controller lost (class and colour: the worst active
// alarm's in every state), the value cards of a lost controller marked
// stale, the chart drawn
// from the stored points, an alarm of the scenario's timeline raised and
// cleared, no value shown as "—", the device's text shown as text, control
// with its confirmation step; with users required, the login form, a
// viewer's control refused with the reason and an operator's done (users made
// with `k417t-run user add`); the energy and battery card with its discharge
// list (battery_page.js). Saves screenshots (desktop 1400 px and phone
// 390 px in each state) and prints the page's weight and time to first values.
//
// usage: node page_test.js RUNNER EXAMPLES ARTEFACT_DIR
'use strict';
const { chromium } = require('playwright-core');
const { spawn, spawnSync } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const { batteryCard } = require('./battery_page');

const [RUNNER, EXAMPLES, OUT] = process.argv.slice(2);
const CHROMIUM = process.env.K417T_CHROMIUM || '/usr/bin/chromium';
const NAME = '<b>bold</b><script>window.__xss=1</script><img src=x onerror="window.__xss=2">';
const TOKEN = 'page-test-token-0123456789';
const VIEWER_PW = 'viewer-pass-4711', OPERATOR_PW = 'operator-pass-0815';

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

// The banner's class and its computed background colour.
async function banner(page) {
  return page.evaluate(() => {
    const b = document.getElementById('banner');
    return { cls: b.className, bg: getComputedStyle(b).backgroundColor, text: b.textContent };
  });
}
// No table needs its scroll bar at this width, and the page is no wider
// than the screen.
async function fits(page, what, tablesToo) {
  const r = await page.evaluate(() => ({
    page: document.documentElement.scrollWidth - window.innerWidth,
    clipped: [...document.querySelectorAll('.scroll, .card')].filter((e) => e.scrollWidth > e.clientWidth + 1)
      .map((e) => (e.closest('.card') || e).querySelector('h2').textContent),
  }));
  if (r.page > 2 || (tablesToo && r.clipped.length)) {
    await page.screenshot({ path: path.join(OUT, 'failed-' + what.replace(/\W+/g, '-') + '.png'), fullPage: true });
  }
  if (r.page > 2) fail(`${what}: page is ${r.page}px wider than the screen`);
  if (tablesToo && r.clipped.length) fail(`${what}: clipped in ${r.clipped.join(', ')}`);
}
const GREEN = 'rgb(26, 127, 55)', GREY = 'rgb(87, 96, 106)', RED = 'rgb(207, 34, 46)';
const VALUE_CARDS = ['#line', '#ac-card', '#rc-card', '#dc-card'];
// Each value card: whether it is marked stale, its tag's text and its background.
async function cards(page) {
  return page.evaluate((ids) => ids.map((id) => {
    const c = document.querySelector(id);
    if (!c) return { id, missing: true };
    const tag = c.querySelector('h2 .tag.stale');
    return { id, stale: c.classList.contains('stale'), tag: tag ? tag.textContent : '', bg: getComputedStyle(c).backgroundColor };
  }), VALUE_CARDS);
}

function startRunner(work, siteFile, scenFile, port, extra) {
  return spawn(RUNNER, ['--site', siteFile, '--simulate', scenFile, '--pace', '--db', path.join(work, `h-${port}.db`),
    '--http', `127.0.0.1:${port}`, '--json', '--log', path.join(work, `runner-${port}.log`)].concat(extra || []),
  { stdio: ['ignore', 'ignore', 'inherit'] });
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
  // The same alarms, standing: for the operator's acknowledge, shelve and
  // maintenance.
  const held = JSON.parse(JSON.stringify(scen));
  held.changes = held.changes.slice(0, 2);
  held.changes[0].after_rounds = 1;
  held.changes[1].after_rounds = 2;
  fs.writeFileSync(path.join(work, 'scenario-held.json'), JSON.stringify(held));
  fs.writeFileSync(path.join(work, 'token'), TOKEN + '\n', { mode: 0o600 });
  // Users made with the runner's own subcommand, the password on stdin.
  const users = path.join(work, 'users');
  for (const [name, role, pw] of [['vera', 'viewer', VIEWER_PW], ['otto', 'operator', OPERATOR_PW]]) {
    const r = spawnSync(RUNNER, ['user', 'add', name, '--role', role, '--users', users], { input: pw + '\n' });
    if (r.status !== 0) fail(`user add ${name}: ${r.stderr}`);
    if ((String(r.stdout) + String(r.stderr)).includes(pw)) fail('the password was echoed');
  }
  if ((fs.statSync(users).mode & 0o777) !== 0o600) fail('the users file is not 0600');
  // A second site: the no-value patterns, then the controller stops
  // answering (every answer dropped).
  const lostSite = JSON.parse(fs.readFileSync(path.join(EXAMPLES, 'site.json'), 'utf8'));
  lostSite.devices[0].setting.dcSetting = lostSite.devices[0].setting.dcSetting.slice(0, 1);
  fs.writeFileSync(path.join(work, 'lost-site.json'), JSON.stringify(lostSite));
  const none = JSON.parse(fs.readFileSync(path.join(EXAMPLES, 'scenarios', 'no_values.json'), 'utf8'));
  none.changes = [{ after_rounds: 8, set: { faults: { drop_every: 1 } } }];
  fs.writeFileSync(path.join(work, 'lost.json'), JSON.stringify(none));
  const port = await freePort();
  const runner = startRunner(work, path.join(work, 'site.json'), path.join(work, 'scenario.json'), port,
    ['--http-control', '--http-token-file', path.join(work, 'token')]);
  const base = `http://127.0.0.1:${port}`;
  let browser;
  let lostRunner;
  let usersRunner;
  try {
    await until('the runner', async () => (await fetch(base + '/api/devices')).ok, 15000);
    browser = await chromium.launch({
      executablePath: CHROMIUM,
      headless: true,  // with a new empty profile of playwright's own
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    const page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
    const phone = await browser.newPage({ viewport: { width: 390, height: 844 }, isMobile: true });
    const errors = [];
    for (const p of [page, phone]) {
      p.on('pageerror', (e) => errors.push(String(e)));
      p.on('dialog', (d) => { errors.push('dialog: ' + d.message()); d.dismiss(); });
    }
    const outside = [];
    const gateways = [base];
    for (const p of [page, phone]) {
      p.on('request', (req) => { if (!gateways.some((g) => req.url().startsWith(g + '/'))) outside.push(req.url()); });
    }
    const t0 = Date.now();
    await page.goto(base + '/', { waitUntil: 'load' });
    await page.waitForFunction(() => document.querySelector('#dc [data-key="v"]'), null, { timeout: 15000 });
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
    // Module 3 is switched off: its state as a word; a spare module that is
    // off is not an alert (a fault is).
    const m3 = await page.$eval('#rc [data-key="module_2_state"]', (e) => [e.textContent, e.className]);
    if (m3[0] !== 'off' || m3[1].includes('alert')) fail('module 3 state: ' + m3);
    // Times carry their zone.
    const facts = await page.textContent('#line-facts');
    if (!/\d\d:\d\d:\d\d (UTC|GMT)/.test(facts)) fail('last round time without its zone: ' + facts);

    // The chart opens on the DC unit; a started device's records wait for
    // their commit, and until then the chart says so instead of counting.
    await page.waitForFunction(() => document.getElementById('chart-info').textContent, null, { timeout: 15000 });
    const earlyInfo = await page.textContent('#chart-info');
    const dcUnit = await page.inputValue('#chart-unit');
    const nowEarly = Math.floor(Date.now() / 1000);
    // The range ends a little after now: this clock's second may be behind
    // the server's when the request arrives (a range ending before the
    // server's now is a past range, "no record in this range").
    const early = await (await fetch(`${base}/api/history?unit=${dcUnit}&from=${nowEarly - 7 * 86400}&to=${nowEarly + 5}`)).json();
    if (/\b0 records\b|thinned/.test(earlyInfo)) fail('chart info before the first record: ' + earlyInfo);
    if (early.records === 0 && !earlyInfo.startsWith('No record stored yet')) fail('chart info before the first record: ' + earlyInfo);
    if (early.records === 0 && early.note !== 'no record stored yet') fail('history note before the first record: ' + JSON.stringify(early));
    console.log(`chart info at start: ${earlyInfo} (records ${early.records})`);

    // Healthy before the timeline's alarm: green, the values live.
    let b = await banner(page);
    if (!b.cls.includes('healthy') || b.bg !== GREEN) fail(`healthy banner: ${JSON.stringify(b)}`);
    const live = await cards(page);
    if (live.some((c) => c.stale || c.tag)) fail(`cards marked stale while answering: ${JSON.stringify(live)}`);
    await fits(page, 'desktop, healthy', true);
    await page.screenshot({ path: path.join(OUT, 'page-healthy.png'), fullPage: true });
    await phone.goto(base + '/');
    await phone.waitForFunction(() => document.querySelector('#dc [data-key="v"]'), null, { timeout: 15000 });
    await fits(phone, 'phone, healthy', false);
    await phone.screenshot({ path: path.join(OUT, 'page-phone-healthy.png'), fullPage: true });


    // The site's name is text: shown literally, no element made of it, no script run.
    const tab = await page.textContent('#tabs button');
    if (!tab.includes(NAME)) fail('device name not shown as text: ' + tab);
    if (await page.$('#tabs b, #tabs script, #tabs img, #line-facts b, #line-facts img')) fail('device name became markup');
    if (await page.evaluate(() => window.__xss !== undefined)) fail('device name ran as script');

    // An alarm of the timeline comes and goes; the log keeps both.
    await until('the AC alarm to show', async () => (await page.textContent('#alarms tbody')).includes('06017'), 30000);
    await until('the banner in alarm', async () => (await banner(page)).cls.includes('alarm'), 5000);
    b = await banner(page);
    const sev = await page.$$eval('#alarms tbody td:nth-child(2)', (tds) => tds.map((t) => t.textContent));
    if (!sev.length || !sev.every((x) => ['critical', 'major', 'minor', 'warning'].includes(x))) fail('severity column: ' + sev);
    const worst = ['critical', 'major', 'minor', 'warning'].find((x) => sev.includes(x));
    if (!b.cls.includes('sev-' + worst) || b.bg === GREEN || b.bg === GREY || !b.text.includes(worst)) {
      fail(`alarm banner (${worst}): ${JSON.stringify(b)}`);
    }
    const count = await page.$eval('#tabs button .count', (e) => [e.textContent, e.className]);
    if (count[0] !== String(sev.length) || !count[1].includes('sev-' + worst)) fail('tab alarm count: ' + count);
    await fits(page, 'desktop, alarm', true);
    await page.screenshot({ path: path.join(OUT, 'page-alarm.png'), fullPage: true });
    await phone.waitForFunction(() => document.querySelectorAll('#alarms tbody tr').length > 0, null, { timeout: 10000 });
    await fits(phone, 'phone, alarm', false);
    // The alarm's name and place are on the phone's screen, not behind a scroll.
    const offscreen = await phone.$$eval('#alarms td.text', (tds) => tds.filter((t) => {
      const r = t.getBoundingClientRect();
      return r.width < 20 || r.right > window.innerWidth;
    }).length);
    if (offscreen) fail(`${offscreen} alarm texts off a phone's screen`);
    await phone.screenshot({ path: path.join(OUT, 'page-phone-alarm.png'), fullPage: true });
    await until('the AC alarm to clear', async () => (await page.$$('#alarms tbody tr')).length === 0, 40000);
    await until('the alarm log', async () => {
      const log = await page.textContent('#events tbody');
      return log.includes('raised') && log.includes('cleared');
    }, 10000);

    // The chart draws what the store holds for the unit.
    await page.selectOption('#chart-unit', '21');
    // It opens on what is stored: from about the first point, not a day.
    const opened = Number(await page.getAttribute('#chart', 'data-from'));
    if (!(opened > Date.now() / 1000 - 3600)) fail(`chart opens at ${opened}, before the first stored point`);
    await page.selectOption('#chart-range', '3600');
    const drawn = await until('the chart', async () => {
      const n = await page.getAttribute('#chart', 'data-points');
      // Stored on change: the first round's record and its value carried to now.
      return n && Number(n) >= 2 && (await page.$('#chart canvas')) ? Number(n) : 0;
    }, 15000);
    if ((await page.getAttribute('#chart', 'data-stepped')) !== '1') fail('the chart is not drawn as steps');
    const info = await page.textContent('#chart-info');
    if (!/\d+ records? /.test(info)) fail('chart info does not count the records: ' + info);
    const now = Math.floor(Date.now() / 1000);
    const hist = await (await fetch(`${base}/api/history?unit=21&from=${now - 3600}&to=${now + 5}`)).json();
    if (Math.abs(hist.time.length - drawn) > 3) fail(`chart has ${drawn} points, store ${hist.time.length}`);
    // The time axis: 24-hour times on the page's clock, its zone named, and
    // no two labels overlapping (week and hour ranges).
    for (const range of ['604800', '3600']) {
      await page.selectOption('#chart-range', range);
      await page.waitForTimeout(500);
      const axis = await page.evaluate(() => {
        const u = document.getElementById('chart').uplot;
        const ax = u.axes[0];
        const ctx = document.createElement('canvas').getContext('2d');
        ctx.font = Array.isArray(ax.font) ? ax.font[0] : ax.font;
        const ticks = (ax._splits || []).map((t, k) => ({ x: u.valToPos(t, 'x'), text: String(ax._values[k] || '') }))
          .filter((t) => t.text && t.x >= 0 && t.x <= u.bbox.width / devicePixelRatio);
        let gap = Infinity;
        for (let k = 1; k < ticks.length; ++k) {
          gap = Math.min(gap, ticks[k].x - ticks[k - 1].x - (ctx.measureText(ticks[k].text).width + ctx.measureText(ticks[k - 1].text).width) / 2);
        }
        return { labels: ticks.map((t) => t.text), gap, title: ax.label };
      });
      if (axis.labels.length < 2) fail(`time axis (${range} s) has ${axis.labels.length} labels`);
      if (!axis.labels.every((t) => /^(\d\d-\d\d )?\d\d:\d\d(:\d\d)?$/.test(t))) fail(`time axis labels (${range} s): ${axis.labels.join(', ')}`);
      if (!(axis.gap >= 4)) fail(`time axis labels (${range} s) overlap: gap ${axis.gap} px in ${axis.labels.join(', ')}`);
      if (!/^time \(UTC([+-]\d+(:\d\d)?)?\)$/.test(axis.title)) fail('time axis title: ' + axis.title);
      // The legend's time under the cursor: the same clock.
      const over = await page.locator('#chart .u-over').boundingBox();
      await page.locator('#chart .u-over').hover({ position: { x: over.width - 4, y: over.height / 2 } });  // the newest points
      const legendTime = await until('the legend under the cursor', async () => {
        const t = await page.textContent('#chart .u-legend .u-series:first-child .u-value');
        return /\d/.test(t) ? t : '';
      }, 3000);
      if (!/^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC/.test(legendTime)) fail(`legend time (${range} s): ${legendTime}`);
      await page.locator('#chart').screenshot({ path: path.join(OUT, `chart-${range}.png`) });
      console.log(`time axis (${range} s): ${axis.labels.join(', ')}; closest labels ${Math.round(axis.gap)} px apart`);
    }
    const legend = await page.textContent('#chart');
    if (!legend.includes('Output voltage (V)')) fail('chart legend missing: ' + legend);

    // The energy and battery card, the discharge list and the chart's DC
    // load power, once records are stored (battery_page.js).
    await batteryCard({ browser, base, out: OUT, fail, until, fits, errors, token: TOKEN });

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

    // No value is "—"; then the controller stops answering: grey, stale.
    const lostPort = await freePort();
    lostRunner = startRunner(work, path.join(work, 'lost-site.json'), path.join(work, 'lost.json'), lostPort);
    const lostBase = `http://127.0.0.1:${lostPort}`;
    gateways.push(lostBase);
    await until('the second runner', async () => (await fetch(lostBase + '/api/devices')).ok, 15000);
    for (const p of [page, phone]) {
      await p.goto(lostBase + '/');
      await p.waitForFunction(() => document.querySelector('#dc [data-key="v"]'), null, { timeout: 15000 });
    }
    for (const key of ['ia', 'ic', 'rc_value', 'module_0_current', 'total_current', 'user_0', 'user_1']) {
      const t = await page.$eval(`[data-key="${key}"]`, (e) => e.textContent).catch(() => 'missing');
      if (t !== '\u2014') fail(`${key} shows "${t}", not "\u2014"`);
    }
    const shown = await page.textContent('main');
    for (const bad of ['NaN', '-0.1', 'undefined', 'null']) if (shown.includes(bad)) fail(`page shows "${bad}"`);
    if (/\d[eE][-+]?\d/.test(shown)) fail('page shows a number in exponent form');
    await until('the controller lost', async () => (await banner(page)).cls.includes('lost'), 60000);
    // Lost with its communication alarm (critical) raised: the banner has the
    // critical colour, not a grey milder than a minor alarm's amber.
    const lostDevice = (await (await fetch(lostBase + '/api/devices')).json()).devices[0];
    if (lostDevice.severity !== 'critical') fail(`lost device severity: ${JSON.stringify(lostDevice)}`);
    await until('the lost banner in its alarm colour', async () => (await banner(page)).cls.includes('sev-critical'), 5000);
    b = await banner(page);
    if (b.bg !== RED || !b.text.includes('not answering') && !b.text.includes('Not answering')) fail(`lost banner: ${JSON.stringify(b)}`);
    // Every card of its values says they are stale, and looks it (the device's
    // own answer, read after the banner's list, may take one refresh more).
    const marked = (list) => list.every((c) => c.stale && c.tag === 'stale' && c.bg !== 'rgb(255, 255, 255)');
    await until('the value cards marked stale', async () => marked(await cards(page)), 5000)
      .catch(async (e) => { console.error(JSON.stringify(await cards(page))); throw e; });
    await fits(page, 'desktop, lost', true);
    await page.screenshot({ path: path.join(OUT, 'page-lost.png'), fullPage: true });
    await until('the phone sees it lost', async () => (await banner(phone)).cls.includes('lost'), 10000);
    await until('the phone\'s value cards marked stale', async () => marked(await cards(phone)), 5000);
    await fits(phone, 'phone, lost', false);
    await phone.screenshot({ path: path.join(OUT, 'page-phone-lost.png'), fullPage: true });

    // Reads that need a user (required here on loopback): the login form,
    // a viewer's control refused with the reason, an operator's done.
    const usersPort = await freePort();
    usersRunner = startRunner(work, path.join(work, 'site.json'), path.join(work, 'scenario-held.json'), usersPort,
      ['--http-control', '--http-users', users, '--http-users-required']);
    const usersBase = `http://127.0.0.1:${usersPort}`;
    gateways.push(usersBase);
    await until('the runner with users', async () => (await fetch(usersBase + '/api/devices')).status === 401, 15000);
    const basic = 'Basic ' + Buffer.from('vera:' + VIEWER_PW).toString('base64');
    const m = await fetch(usersBase + '/metrics', { headers: { Authorization: basic } });
    if (m.status !== 200) fail(`/metrics with Basic: ${m.status}`);
    const anon = await fetch(usersBase + '/metrics');
    if (anon.status !== 401 || anon.headers.get('www-authenticate') !== 'Basic realm="k417t"') fail('/metrics without a user: ' + anon.status);
    const guest = await browser.newPage({ viewport: { width: 1400, height: 900 } });
    guest.on('pageerror', (e) => errors.push(String(e)));
    guest.on('dialog', (d) => { errors.push('dialog: ' + d.message()); d.dismiss(); });
    guest.on('request', (req) => { if (!gateways.some((g) => req.url().startsWith(g + '/'))) outside.push(req.url()); });
    await guest.goto(usersBase + '/', { waitUntil: 'load' });
    await guest.waitForSelector('#login', { state: 'visible', timeout: 15000 });
    if (await guest.isVisible('#dc-card')) fail('values shown before the login');
    await guest.screenshot({ path: path.join(OUT, 'page-login.png'), fullPage: true });
    const login = async (user, pw) => {
      await guest.fill('#login-user', user);
      await guest.fill('#login-password', pw);
      await guest.click('#login-send');
      await guest.waitForFunction(() => document.querySelector('#dc [data-key="v"]') && document.getElementById('login').hidden,
        null, { timeout: 15000 });
    };
    const send = async (code) => {
      await guest.selectOption('#control-code', code);
      await guest.click('#control-send');
      await guest.click('#control-yes');
    };
    await guest.fill('#login-user', 'vera');
    await guest.fill('#login-password', 'not-the-password');
    await guest.click('#login-send');
    await until('the wrong password said', async () => (await guest.textContent('#login-result')).includes('wrong'), 10000);
    await login('vera', VIEWER_PW);
    if (!(await guest.textContent('#who-name')).includes('vera (viewer)')) fail('the page does not say who is logged in');
    await send('100');
    await until('the viewer refused', async () => (await guest.textContent('#control-result')).includes('user vera may not'), 15000);
    await guest.screenshot({ path: path.join(OUT, 'page-refused.png'), fullPage: true });
    // A viewer sees the alarms' states, not the operator's buttons.
    await until('the standing alarms', async () => (await guest.$$('#alarms tbody tr[data-state="active_unacknowledged"]')).length >= 2, 30000);
    if (await guest.isVisible('#alarms button, #maint-tools, #alarm-tools')) fail('a viewer is offered alarm actions');
    await guest.click('#logout');
    await guest.waitForSelector('#login', { state: 'visible', timeout: 10000 });
    await login('otto', OPERATOR_PW);
    await send('100');
    await until('the operator\'s command done', async () => (await guest.textContent('#control-result')).includes('done'), 15000);

    // The operator tends the alarms: each state on the page, in words,
    // with the English name and place beside the controller's text.
    const rows = async () => guest.$$eval('#alarms tbody tr, #cleared tbody tr', (trs) => trs.map((tr) => ({
      id: tr.dataset.id, state: tr.dataset.state, badge: (tr.querySelector('.state') || {}).textContent,
      buttons: [...tr.querySelectorAll('button')].map((b) => b.textContent) })));
    const bannerCount = async () => Number(await guest.getAttribute('#banner', 'data-unacknowledged'));
    const apiCount = async () => (await guest.evaluate(async () => (await (await fetch('/api/alarm-board', { headers: { 'X-Requested-With': 'k417t-page' } })).json())
      .kpis.unacknowledged));
    let list = await until('two unacknowledged alarms with buttons', async () => {
      const r = await rows();
      return r.filter((x) => x.state === 'active_unacknowledged' && x.buttons.includes('Acknowledge')).length >= 2 ? r : false;
    }, 15000);
    const [first, second] = list.filter((x) => x.state === 'active_unacknowledged');
    if (first.badge !== 'unacknowledged') fail('state badge: ' + JSON.stringify(first));
    if (await bannerCount() !== await apiCount() || !(await guest.textContent('#banner-text')).includes('unacknowledged')) {
      fail(`banner's unacknowledged count ${await bannerCount()} against ${await apiCount()}`);
    }
    const suppressed = list.filter((x) => x.state === 'suppressed');
    if (suppressed.length && !suppressed[0].badge.startsWith('suppressed (attached to ')) fail('suppressed badge: ' + JSON.stringify(suppressed));
    await guest.screenshot({ path: path.join(OUT, 'alarms-unacknowledged.png'), fullPage: true });
    const before = await bannerCount();
    await guest.fill('#alarm-comment', 'seen <b>on site</b>');
    await guest.click(`#alarms tr[data-id="${first.id}"] button:text("Acknowledge")`);
    await until('the alarm acknowledged', async () => (await rows()).some((x) => x.id === first.id && x.state === 'active_acknowledged' && x.badge === 'acknowledged'), 10000);
    if (!(await guest.textContent('#alarm-result')).includes('done')) fail('acknowledge result: ' + await guest.textContent('#alarm-result'));
    await until('the banner counting one fewer', async () => (await bannerCount()) === before - 1, 10000);
    await guest.screenshot({ path: path.join(OUT, 'alarms-acknowledged.png'), fullPage: true });
    await guest.selectOption('#shelve-for', '14400');
    await guest.click(`#alarms tr[data-id="${second.id}"] button:text("Shelve")`);
    await until('the alarm shelved', async () => (await rows()).some((x) => x.id === second.id && x.state === 'shelved' &&
      x.badge.startsWith('shelved until ') && x.buttons.includes('Unshelve')), 10000);
    await guest.screenshot({ path: path.join(OUT, 'alarms-shelved.png'), fullPage: true });
    // The page's English names (when the label table gives them) go beside the controller's text.
    const en = await guest.$$eval('#alarms td.text .en', (s) => s.length);
    await guest.selectOption('#maint-for', '28800');
    await guest.click('#maint-on');
    await until('the device in maintenance', async () => (await guest.textContent('#maint-state')).startsWith('In maintenance until ') &&
      (await guest.textContent('#tabs button')).includes('in maintenance'), 10000);
    await until('its alarms out of service', async () => (await rows()).some((x) => x.state === 'out_of_service' && x.badge === 'in maintenance'), 10000);
    if (!(await guest.isVisible('#maint-off')) || await guest.isVisible('#maint-on')) fail('maintenance buttons');
    const kpis = await guest.textContent('#kpis');
    for (const k of ['Annunciated per 10 min', 'Standing', 'Stale', 'Chattering', 'Shelved', 'Unknown']) {
      if (!kpis.includes(k)) fail('alarm load card without ' + k + ': ' + kpis);
    }
    if (await guest.$('#alarms b, #cleared b')) fail('a comment or alarm text became markup');
    await guest.screenshot({ path: path.join(OUT, 'alarms-maintenance.png'), fullPage: true });
    // The same operator's session on a phone.
    const smallCtx = await browser.newContext({ viewport: { width: 390, height: 844 }, isMobile: true });
    await smallCtx.addCookies(await guest.context().cookies());
    const small = await smallCtx.newPage();
    await small.goto(usersBase + '/', { waitUntil: 'load' });
    await small.waitForFunction(() => document.querySelectorAll('#alarms tbody tr').length > 0, null, { timeout: 15000 });
    await fits(small, 'phone, maintenance', false);
    await small.screenshot({ path: path.join(OUT, 'alarms-phone-maintenance.png'), fullPage: true });
    await smallCtx.close();
    await guest.click('#maint-off');
    await until('maintenance over', async () => (await guest.textContent('#maint-state')) === 'not in maintenance', 10000);
    console.log(`alarm actions on the page done; ${en} English names shown`);
    const cookies = await guest.context().cookies();
    const sc = cookies.find((c) => c.name === 'k417t_session');
    if (!sc || !sc.httpOnly || !sc.secure || sc.sameSite !== 'Strict') fail('session cookie flags: ' + JSON.stringify(sc));

    if (errors.length) fail('page errors: ' + errors.join('; '));
    if (outside.length) fail('requests outside the gateway: ' + outside.join(', '));
    console.log(`page weight on first load: ${loadBytes} bytes; first values after ${firstValues} ms ` +
      `(first contentful paint ${paint} ms); chart ${drawn} points`);
    console.log('screenshots: ' + path.join(OUT, 'page.png'));
  } finally {
    if (browser) await browser.close();
    runner.kill('SIGTERM');
    if (lostRunner) lostRunner.kill('SIGTERM');
    if (usersRunner) usersRunner.kill('SIGTERM');
  }
}

main().then(() => { if (!process.exitCode) console.log('page test passed'); })
  .catch((e) => { console.error(e && e.stack ? e.stack : e); process.exitCode = 1; });
