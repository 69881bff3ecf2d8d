// The status page: polls the JSON API and renders it. Every text from the
// gateway (device names, ports, alarm texts) goes in with textContent.
'use strict';
(function () {
  const REFRESH_MS = 2000;
  const state = { device: null, devices: [], config: { control: false }, chart: null,
                  chartKey: '', chartAt: 0, units: [] };

  function $(id) { return document.getElementById(id); }
  function el(tag, text, cls) {
    const e = document.createElement(tag);
    if (text !== undefined && text !== null) e.textContent = String(text);
    if (cls) e.className = cls;
    return e;
  }
  function row(cells) {
    const tr = el('tr');
    for (const c of cells) {
      const td = el('td', c.t, c.cls);
      tr.appendChild(td);
    }
    return tr;
  }
  function fmt(v, digits) {
    if (v === null || v === undefined || typeof v !== 'number') return '–';
    return v.toFixed(digits === undefined ? 1 : digits);
  }
  function num(v, d) { return { t: fmt(v, d), cls: 'num' }; }
  function when(epoch) {
    if (!epoch) return '–';
    const d = new Date(epoch * 1000);
    const p = (n) => String(n).padStart(2, '0');
    return `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())} ${p(d.getHours())}:${p(d.getMinutes())}:${p(d.getSeconds())}`;
  }
  function alertText(code, kind) {
    if (!code) return 'normal';
    if (kind === 'current') return ({ 1: 'low', 2: 'high', 3: 'missing' })[code] || String(code);
    if (kind === 'f') return ({ 1: 'low', 2: 'high' })[code] || String(code);
    return ({ 1: 'low', 2: 'high', 3: 'phase missing' })[code] || String(code);
  }
  async function getJson(url) {
    const r = await fetch(url, { cache: 'no-store' });
    const body = await r.json().catch(() => ({ error: 'unreadable answer' }));
    if (!r.ok) throw new Error(body.error || r.statusText);
    return body;
  }

  function renderTabs() {
    const nav = $('tabs');
    nav.replaceChildren();
    for (const d of state.devices) {
      const b = el('button', `${d.name} (${d.id})`, d.id === state.device ? 'active' : '');
      b.type = 'button';
      b.addEventListener('click', () => { state.device = d.id; state.chartKey = ''; refresh(); });
      nav.appendChild(b);
    }
  }

  function renderLine(d) {
    const dl = $('line-facts');
    dl.replaceChildren();
    const facts = [
      ['Device', `${d.name} (${d.id})`],
      ['Port', d.line],
      ['Controller', d.answering ? 'answering' : 'not answering', d.answering ? 'ok' : 'bad'],
      ['Values', d.stale ? 'stale: last read before the controller was lost' : 'live', d.stale ? 'bad' : 'ok'],
      ['Last round', when(d.last_round)],
      ['Rounds', d.rounds],
    ];
    if (d.round && d.round.duration_ms !== undefined) {
      facts.push(['Round duration', `${fmt(d.round.duration_ms, 0)} ms of ${fmt(d.round.wire_limit_ms, 0)} ms wire limit (×${fmt(d.round.ratio, 2)})`]);
    }
    const s = d.line_stats || {};
    facts.push(['Requests / answers', `${s.requests} / ${s.answers}`]);
    facts.push(['Time-outs', s.timeouts, s.timeouts ? 'bad' : '']);
    facts.push(['Dropped frames', s.dropped, s.dropped ? 'bad' : '']);
    facts.push(['Late answers / echoes', `${s.late} / ${s.echoes}`]);
    facts.push(['Bytes out / in', `${s.bytes_out} / ${s.bytes_in}`]);
    for (const [k, v, cls] of facts) {
      dl.appendChild(el('dt', k));
      dl.appendChild(el('dd', v, cls));
    }
  }

  function table(head, rows) {
    const t = el('table');
    const thead = el('thead');
    const tr = el('tr');
    for (const h of head) tr.appendChild(el('th', h));
    thead.appendChild(tr);
    t.appendChild(thead);
    const tb = el('tbody');
    for (const r of rows) tb.appendChild(row(r));
    t.appendChild(tb);
    return t;
  }

  function renderUnits(units) {
    const ac = $('ac'), rc = $('rc'), dc = $('dc');
    ac.replaceChildren(); rc.replaceChildren(); dc.replaceChildren();
    const dcRows = [];
    for (const u of units) {
      const v = u.values;
      if (!v) {
        const target = u.kind === 'ac' ? ac : u.kind === 'rectifier' ? rc : dc;
        target.appendChild(el('p', `unit ${u.data_id}: ${u.error || 'no values'}`, 'muted'));
        continue;
      }
      if (u.kind === 'ac') {
        ac.appendChild(el('h3', `Screen ${u.data_id}`));
        ac.appendChild(table(['Phase', 'Current A', 'State'], ['a', 'b', 'c'].map((p) => [
          { t: p.toUpperCase() }, num(v['i' + p]), { t: alertText(v['i' + p + '_alert'], 'current'), cls: v['i' + p + '_alert'] ? 'bad' : '' }])));
        ac.appendChild(table(['Input', 'AB/A V', 'BC/B V', 'CA/C V', 'Hz', 'State'], (v.inputs || []).map((i, k) => {
          const bad = [i.a_alert, i.b_alert, i.c_alert, i.f_alert].some((x) => x);
          const st = bad ? ['a', 'b', 'c'].map((p) => alertText(i[p + '_alert'])).join('/') + (i.f_alert ? ' f ' + alertText(i.f_alert, 'f') : '') : 'normal';
          return [{ t: k + 1 }, num(i.a), num(i.b), num(i.c), num(i.f), { t: st, cls: bad ? 'bad' : '' }];
        })));
      } else if (u.kind === 'rectifier') {
        const mods = v.modules || [];
        const total = mods.reduce((s, m) => s + (typeof m.value === 'number' ? m.value : 0), 0);
        rc.appendChild(el('p', `Group ${u.data_id}: output ${fmt(v.rc_value, 2)} V, total ${fmt(total, 1)} A, ${v.module_count} modules`));
        rc.appendChild(table(['Module', 'Current A', 'State', 'Fault'], mods.map((m, k) => [
          { t: k + 1 }, num(m.value), { t: (m.state || []).join(' ') }, { t: m.fault === 1 ? 'FAULT' : 'ok', cls: m.fault === 1 ? 'bad' : 'ok' }])));
      } else if (u.kind === 'dc') {
        const blown = (v.fuses || []).map((f, k) => (f === 3 ? k + 1 : 0)).filter((k) => k);
        dcRows.push([{ t: u.data_id }, num(v.v, 2), num(v.i, 1),
          { t: v.v_state ? alertText(v.v_state) : 'normal', cls: v.v_state ? 'bad' : '' },
          { t: blown.length ? 'fault: ' + blown.join(', ') : 'ok', cls: blown.length ? 'bad' : 'ok' }]);
      }
    }
    if (dcRows.length) dc.appendChild(table(['Unit', 'Voltage V', 'Current A', 'Voltage state', 'Fuses'], dcRows));
  }

  function renderAlarms(alarms) {
    const tb = $('alarms').tBodies[0];
    tb.replaceChildren();
    for (const a of alarms) tb.appendChild(row([{ t: when(a.since) }, { t: a.data_id }, { t: `${a.code} ${a.name}`, cls: 'bad text' }, { t: a.text, cls: 'text' }]));
    $('no-alarms').hidden = alarms.length > 0;
  }

  async function renderEvents() {
    const to = Math.floor(Date.now() / 1000);
    const ev = await getJson(`/api/events?device=${state.device}&from=${to - 7 * 86400}&to=${to}`);
    const tb = $('events').tBodies[0];
    tb.replaceChildren();
    for (const e of ev.events.slice().reverse().slice(0, 200)) {
      tb.appendChild(row([{ t: when(e.time) }, { t: e.state, cls: e.state === 'raised' ? 'bad' : 'ok' }, { t: e.data_id }, { t: `${e.code} ${e.name}`, cls: 'text' }, { t: e.text, cls: 'text' }]));
    }
  }

  function chartUnits(units) {
    const sel = $('chart-unit');
    const keep = sel.value;
    const options = units.filter((u) => u.kind !== 'unknown').map((u) => [String(u.data_id), `${u.kind.toUpperCase()} ${u.data_id}`]);
    const sig = JSON.stringify(options);
    if (sel.dataset.sig !== sig) {
      sel.replaceChildren();
      for (const [value, label] of options) {
        const o = el('option', label);
        o.value = value;
        sel.appendChild(o);
      }
      sel.dataset.sig = sig;
      const dcUnit = units.find((u) => u.kind === 'dc');
      sel.value = options.some((o) => o[0] === keep) ? keep : (dcUnit ? String(dcUnit.data_id) : (options[0] || [''])[0]);
    }
  }

  async function renderChart(force) {
    const unit = $('chart-unit').value;
    if (!unit) return;
    const span = Number($('chart-range').value);
    const key = `${state.device}/${unit}/${span}`;
    if (!force && key === state.chartKey && Date.now() - state.chartAt < 15000) return;
    state.chartKey = key;
    state.chartAt = Date.now();
    const to = Math.floor(Date.now() / 1000);
    const h = await getJson(`/api/history?unit=${encodeURIComponent(unit)}&from=${to - span}&to=${to}`);
    $('chart-info').textContent = `${h.time.length} points${h.thinned ? ' (thinned)' : ''}`;
    const data = [h.time].concat(h.series.map((s) => s.values));
    const box = $('chart');
    const width = Math.max(280, box.clientWidth || 600);
    const series = [{}].concat(h.series.map((s, k) => ({
      label: `${s.label} (${s.unit})`,
      stroke: ['#0969da', '#cf222e', '#1a7f37', '#8250df', '#bf8700', '#1b7c83', '#6e7781', '#e16f24', '#a40e26'][k % 9],
      width: 1.5,
      scale: s.unit,
      spanGaps: false,
    })));
    const units = [...new Set(h.series.map((s) => s.unit))];
    const axes = [{}].concat(units.map((u, k) => ({ scale: u, label: u, side: k === 0 ? 3 : 1, grid: { show: k === 0 } })));
    if (state.chart) { state.chart.destroy(); state.chart = null; }
    box.replaceChildren();
    // The x axis spans the chosen range, however few points it holds.
    const xRange = () => [h.from, h.to];
    state.chart = new uPlot({ width, height: 300, series, axes, scales: { x: { time: true, range: xRange } } }, data, box);
    box.dataset.points = String(h.time.length);
  }

  function renderControl() {
    $('control').hidden = !state.config.control;
  }

  function setupControl() {
    const ask = $('control-confirm');
    $('control-send').addEventListener('click', () => {
      const code = Number($('control-code').value);
      const byte = Number($('control-byte').value);
      const d = state.devices.find((x) => x.id === state.device);
      $('control-question').textContent = `Send command ${code}${code >= 106 ? ' with byte ' + byte : ''} to ${d ? d.name : state.device} (${state.device})?`;
      ask.hidden = false;
    });
    $('control-no').addEventListener('click', () => { ask.hidden = true; });
    $('control-yes').addEventListener('click', async () => {
      ask.hidden = true;
      const code = Number($('control-code').value);
      const body = { code };
      if (code >= 106) body.byte = Number($('control-byte').value);
      const out = $('control-result');
      out.textContent = 'sending…';
      out.className = 'muted';
      try {
        const r = await fetch(`/api/devices/${state.device}/control`, {
          method: 'POST',
          headers: { 'Content-Type': 'application/json', Authorization: 'Bearer ' + $('control-token').value },
          body: JSON.stringify(body),
        });
        const a = await r.json().catch(() => ({ error: 'unreadable answer' }));
        if (!r.ok) throw new Error(a.error || r.statusText);
        out.textContent = a.result === 0 ? `command ${code}: done (return code 0)` : `command ${code}: result ${a.result}${a.reason ? ' (' + a.reason + ')' : ''}`;
        out.className = a.result === 0 ? 'ok' : 'bad';
      } catch (e) {
        out.textContent = `command ${code} not sent: ${e.message}`;
        out.className = 'bad';
      }
    });
  }

  async function refresh() {
    try {
      const list = await getJson('/api/devices');
      state.devices = list.devices;
      if (state.device === null || !state.devices.some((d) => d.id === state.device)) {
        state.device = state.devices.length ? state.devices[0].id : null;
      }
      renderTabs();
      if (state.device === null) return;
      const d = await getJson(`/api/devices/${state.device}`);
      renderLine(d);
      renderUnits(d.units);
      renderAlarms(d.alarms);
      chartUnits(d.units);
      const st = $('status');
      st.textContent = `${d.answering ? 'answering' : 'NOT answering'}${d.stale ? ' · values stale' : ''} · updated ${when(list.time)}`;
      st.className = d.answering ? 'ok' : 'bad';
      document.body.dataset.rounds = String(d.rounds);
      await renderEvents();
      await renderChart(false);
    } catch (e) {
      $('status').textContent = 'no answer from the gateway: ' + e.message;
      $('status').className = 'bad';
    }
  }

  async function start() {
    try { state.config = await getJson('/api/config'); } catch (e) { state.config = { control: false }; }
    renderControl();
    setupControl();
    $('chart-unit').addEventListener('change', () => renderChart(true).catch(() => {}));
    $('chart-range').addEventListener('change', () => renderChart(true).catch(() => {}));
    await refresh();
    setInterval(refresh, REFRESH_MS);
  }
  start();
})();
