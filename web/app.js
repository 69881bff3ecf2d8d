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
  function row(cells, cls) {
    const tr = el('tr', undefined, cls);
    for (const c of cells) {
      const td = el('td', c.chip ? undefined : c.t, c.cls);
      if (c.key) td.dataset.key = c.key;
      if (c.chip) td.appendChild(el('span', c.t, c.chip));
      tr.appendChild(td);
    }
    return tr;
  }
  function fmt(v, digits) {
    if (typeof v !== 'number' || !Number.isFinite(v)) return '\u2014';
    const t = v.toFixed(digits === undefined ? 1 : digits);
    return Number(t) === 0 ? t.replace('-', '') : t;  // never "-0.0"
  }
  function num(v, d) { return { t: fmt(v, d), cls: 'num' }; }
  // The browser's zone as "UTC+1", "UTC+5:30", "UTC".
  function zone(d) {
    const off = -d.getTimezoneOffset();
    if (off === 0) return 'UTC';
    const a = Math.abs(off);
    return `UTC${off > 0 ? '+' : '-'}${Math.floor(a / 60)}${a % 60 ? ':' + String(a % 60).padStart(2, '0') : ''}`;
  }
  function when(epoch) {
    if (!epoch) return '\u2014';
    const d = new Date(epoch * 1000);
    const p = (n) => String(n).padStart(2, '0');
    return `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())} ${p(d.getHours())}:${p(d.getMinutes())}:${p(d.getSeconds())} ${zone(d)}`;
  }
  // Digits by what a value measures.
  function digits(f, v) {
    if (f.quantity === 'value' && !f.unit && Number.isInteger(v)) return 0;  // a count
    if (f.quantity === 'voltage') return Math.abs(v) < 100 ? 2 : 1;
    if (f.quantity === 'current' || f.quantity === 'frequency' || f.quantity === 'temperature') return 1;
    return Math.abs(v) >= 100 ? 1 : 2;
  }
  // A field's value as a cell: the number with its unit, a state's word
  // (red when it is not normal), or "—" for no value.
  function valueCell(f, withUnit) {
    if (f.quantity === 'state') {
      const word = typeof f.value === 'string' && f.value ? f.value : '\u2014';
      return { t: word, cls: f.alert ? 'alert' : 'ok', key: f.key };
    }
    if (typeof f.value !== 'number') return { t: '\u2014', cls: 'num none', key: f.key };
    return { t: fmt(f.value, digits(f, f.value)) + (withUnit && f.unit ? ' ' + f.unit : ''), cls: 'num', key: f.key };
  }
  // The page's own requests say so (X-Requested-With): a 401 then carries no
  // Basic challenge, and the page shows its own login form instead of the
  // browser's dialog.
  const PAGE = { 'X-Requested-With': 'k417t-page' };
  class LoginNeeded extends Error {}
  async function getJson(url) {
    const r = await fetch(url, { cache: 'no-store', headers: PAGE });
    const body = await r.json().catch(() => ({ error: 'unreadable answer' }));
    if (r.status === 401) throw new LoginNeeded(body.error || 'log in');
    if (!r.ok) throw new Error(body.error || r.statusText);
    return body;
  }

  const SEVERITY_RANK = { none: 0, warning: 1, minor: 2, major: 3, critical: 4 };
  function worse(a, b) { return (SEVERITY_RANK[b] || 0) > (SEVERITY_RANK[a] || 0) ? b : a; }

  function renderTabs() {
    const nav = $('tabs');
    nav.replaceChildren();
    for (const d of state.devices) {
      const b = el('button', `${d.name} (${d.id})`, [d.id === state.device ? 'active' : '', d.health].join(' ').trim());
      b.type = 'button';
      b.dataset.health = d.health;
      const n = el('span', d.alarm_count, 'count' + (d.alarm_count ? ' sev-' + d.severity : ''));
      n.title = d.alarm_count ? `${d.alarm_count} active alarm${d.alarm_count === 1 ? '' : 's'}, worst ${d.severity}` : 'no active alarm';
      b.appendChild(n);
      if (d.maintenance) b.appendChild(el('span', 'in maintenance', 'tag maint'));
      b.addEventListener('click', () => { state.device = d.id; state.chartKey = ''; refresh(); });
      nav.appendChild(b);
    }
  }

  // The site in one line: every controller answering without alarms
  // (green), alarms (coloured by the worst), or a controller not answering.
  function renderBanner(devices, kpis) {
    const lost = devices.filter((d) => d.health === 'lost');
    const alarmed = devices.filter((d) => d.alarm_count > 0);
    const names = (list) => list.map((d) => d.name).join(', ');
    // The worst active alarm colours the banner whatever the state.
    const worst = alarmed.reduce((w, d) => worse(w, d.severity), 'none');
    let cls, title, text;
    if (!devices.length) {
      cls = 'starting'; title = 'No devices'; text = 'the site file names none';
    } else if (lost.length) {
      cls = 'lost'; title = 'Not answering: values are stale';
      const n = alarmed.reduce((c, d) => c + d.alarm_count, 0);
      text = `${names(lost)}${n ? ` · ${n} active alarm${n === 1 ? '' : 's'}, worst ${worst}` : ''}`;
    } else if (alarmed.length) {
      const n = alarmed.reduce((c, d) => c + d.alarm_count, 0);
      cls = 'alarm'; title = `In alarm (${worst})`;
      text = `${n} active alarm${n === 1 ? '' : 's'} · ${names(alarmed)}`;
    } else if (devices.every((d) => d.health === 'healthy')) {
      cls = 'healthy'; title = 'Healthy';
      text = `${devices.length === 1 ? 'the controller answers' : 'all ' + devices.length + ' controllers answer'}, no active alarms`;
    } else {
      cls = 'starting'; title = 'Starting'; text = 'waiting for the first answers';
    }
    // What still needs an operator: unacknowledged alarms, cleared ones too.
    const unack = kpis ? kpis.unacknowledged : devices.reduce((c, d) => c + (d.unacknowledged || 0), 0);
    if (unack && devices.length) text += ` · ${unack} unacknowledged`;
    const maint = devices.filter((d) => d.maintenance);
    if (maint.length) text += ` · in maintenance: ${names(maint)}`;
    const b = $('banner');
    b.className = `banner ${cls}${worst !== 'none' ? ' sev-' + worst : ''}`;
    b.dataset.unacknowledged = String(unack);
    $('banner-title').textContent = title;
    $('banner-text').textContent = text;
  }

  function renderLine(d) {
    const dl = $('line-facts');
    dl.replaceChildren();
    const facts = [
      ['Device', `${d.name} (${d.id})`],
      ['Controller model', d.model ? `${d.model}${d.version ? ', version ' + d.version : ''}` : '\u2014'],
      ['Port', d.line],
      ['Health', d.health, d.health === 'healthy' ? 'ok' : d.health === 'starting' ? '' : 'bad'],
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

  // Every card of a lost controller's values says so: greyed, with a tag.
  function markStale(d) {
    const stale = Boolean(d.stale) || d.health === 'lost';
    for (const id of ['line', 'ac-card', 'rc-card', 'dc-card', 'battery-card']) {
      const card = $(id);
      card.classList.toggle('stale', stale);
      const h = card.querySelector('h2');
      let tag = h.querySelector('.tag.stale');
      if (stale && !tag) {
        tag = el('span', 'stale', 'tag stale');
        h.appendChild(tag);
      } else if (!stale && tag) {
        tag.remove();
      }
      if (tag) tag.title = `last read ${when(d.last_round)}, before the controller was lost`;
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

  // Groups of a unit's fields in the order they come: [name, [fields]].
  function groups(fields) {
    const out = [];
    for (const f of fields) {
      let g = out.find((x) => x[0] === f.group);
      if (!g) { g = [f.group, []]; out.push(g); }
      g[1].push(f);
    }
    return out;
  }
  // Numbered groups ("Input 1", "Module 2") side by side in one table: a
  // column each, a row per value (its label without the group's name), so a
  // narrow card holds it and more groups scroll inside the card.
  function matrix(list) {
    const rowOf = (g, f) => {
      const label = f.label.startsWith(g + ' ') ? f.label.slice(g.length + 1) : f.label;
      return label.charAt(0).toUpperCase() + label.slice(1) + (f.unit ? ` (${f.unit})` : '');
    };
    const labels = [];
    for (const [g, fields] of list) for (const f of fields) if (!labels.includes(rowOf(g, f))) labels.push(rowOf(g, f));
    const rows = labels.map((label) => [{ t: label, cls: 'text' }].concat(list.map(([g, fields]) => {
      const f = fields.find((x) => rowOf(g, x) === label);
      return f ? valueCell(f, false) : { t: '' };
    })));
    const box = el('div', undefined, 'scroll');
    box.appendChild(table([''].concat(list.map(([g]) => g)), rows));
    return box;
  }
  function pairs(fields) {
    const box = el('div', undefined, 'pairs');
    for (const f of fields) {
      const c = valueCell(f, true);
      const item = el('div');
      item.appendChild(el('span', f.label));
      const v = el('span', c.t, c.cls);
      v.dataset.key = f.key;
      item.appendChild(v);
      box.appendChild(item);
    }
    return box;
  }
  function unitTitle(u) {
    return ({ ac: 'AC screen', rectifier: 'Rectifier group', dc: 'DC distribution' })[u.kind] + ' ' + u.data_id + (u.time ? ` · ${when(u.time)}` : '');
  }

  function renderUnits(units) {
    const target = { ac: $('ac'), rectifier: $('rc'), dc: $('dc') };
    for (const t of Object.values(target)) t.replaceChildren();
    for (const u of units) {
      const box = target[u.kind];
      if (!box) continue;
      box.appendChild(el('h3', unitTitle(u)));
      if (u.error || !u.fields) {
        box.appendChild(el('p', u.error || 'no values', 'muted'));
        continue;
      }
      const all = groups(u.fields.filter((f) => !f.diagnostic));
      // Runs of numbered groups become one table; the others label/value pairs.
      for (let i = 0; i < all.length;) {
        const base = all[i][0].replace(/\s*\d+$/, '');
        let j = i;
        if (base !== all[i][0]) while (j < all.length && all[j][0].replace(/\s*\d+$/, '') === base && all[j][0] !== base) j++;
        if (j > i) {
          box.appendChild(matrix(all.slice(i, j)));
          i = j;
        } else {
          if (all.length > 1) box.appendChild(el('h4', all[i][0]));
          box.appendChild(pairs(all[i][1]));
          i++;
        }
      }
      const settings = u.fields.filter((f) => f.diagnostic);
      if (settings.length) {
        const d = el('details');
        d.appendChild(el('summary', 'Settings read from the controller'));
        d.appendChild(pairs(settings));
        box.appendChild(d);
      }
    }
  }

  function sevCell(severity) { return { t: severity, chip: 'sev sev-' + severity }; }

  // The board's word on an alarm, as the operators read it.
  function stateWords(a) {
    switch (a.state) {
      case 'active_unacknowledged': return 'unacknowledged';
      case 'active_acknowledged': return 'acknowledged';
      case 'cleared_unacknowledged': return 'cleared, unacknowledged';
      case 'shelved': return `shelved until ${a.shelf ? when(a.shelf.until) : '\u2014'}`;
      case 'out_of_service': return 'in maintenance';
      case 'suppressed': return `suppressed (attached to ${a.suppressed_by})`;
      case 'unknown': return 'unknown (controller not answering)';
      case 'chattering': return 'chattering';
      case 'delayed': return 'delayed';
      default: return '\u2014';
    }
  }
  // A cell with the controller's own text and the readable English below it.
  function twoTexts(own, english) {
    const td = el('td', undefined, 'text');
    td.appendChild(el('span', own, 'cn'));
    if (english) td.appendChild(el('span', english, 'en'));
    return td;
  }
  function isOperator() { return state.config.role === 'operator'; }
  function button(text, fn) {
    const b = el('button', text);
    b.type = 'button';
    b.addEventListener('click', fn);
    return b;
  }
  function alarmRow(a) {
    const tr = row([{ t: when(a.since) }, sevCell(a.severity), { t: a.data_id }], 'sev-' + a.severity);
    tr.dataset.id = a.id || '';
    tr.dataset.state = a.state || '';
    tr.appendChild(twoTexts(`${a.code} ${a.name}`, a.name_en));
    tr.appendChild(twoTexts(a.text, a.place_en));
    const st = el('td');
    if (a.state) {
      const badge = el('span', stateWords(a), 'state st-' + a.state);
      const mark = a.shelf || a.ack;
      if (mark) badge.title = `${a.shelf ? 'shelved' : 'acknowledged'} by ${mark.who} at ${when(mark.time)}${mark.comment ? ': ' + mark.comment : ''}`;
      st.appendChild(badge);
    } else {
      st.textContent = '\u2014';
    }
    tr.appendChild(st);
    const acts = el('td', undefined, 'acts');
    if (isOperator() && a.id && a.state) {
      if (!a.acknowledged) acts.appendChild(button('Acknowledge', () => act({ action: 'acknowledge', alarm: a.id })));
      if (a.shelved) {
        acts.appendChild(button('Unshelve', () => act({ action: 'unshelve', alarm: a.id })));
      } else {
        acts.appendChild(button('Shelve', () => act({ action: 'shelve', alarm: a.id, duration_s: Number($('shelve-for').value) })));
      }
    }
    tr.appendChild(acts);
    return tr;
  }
  function bySeverity(list) {
    return list.slice().sort((a, b) => (SEVERITY_RANK[b.severity] || 0) - (SEVERITY_RANK[a.severity] || 0) || a.since - b.since);
  }
  function renderAlarms(alarms) {
    const tb = $('alarms').tBodies[0];
    tb.replaceChildren();
    for (const a of bySeverity(alarms)) tb.appendChild(alarmRow(a));
    $('no-alarms').hidden = alarms.length > 0;
    $('alarm-tools').hidden = !isOperator();
  }
  // The board: alarms gone before anyone saw them, the device's
  // maintenance, the figures of the alarm load.
  function renderBoard(board, d) {
    const cleared = board.alarms.filter((a) => a.device === d.id && a.state === 'cleared_unacknowledged');
    const tb = $('cleared').tBodies[0];
    tb.replaceChildren();
    for (const a of bySeverity(cleared)) tb.appendChild(alarmRow(a));
    $('cleared-box').hidden = cleared.length === 0;
    const m = board.maintenance.find((x) => x.device === d.id);
    const ms = $('maint-state');
    ms.textContent = m ? `In maintenance until ${when(m.until)} (${m.who}${m.comment ? ': ' + m.comment : ''})` : 'not in maintenance';
    ms.className = m ? 'on' : '';
    $('maint-tools').hidden = !isOperator();
    $('maint-on').hidden = !!m;
    $('maint-off').hidden = !m;
    const k = board.kpis;
    const facts = [
      ['Annunciated per 10 min', `${k.annunciated_10min}${k.flood ? ' \u2014 flood' : ''} (flood at ${k.flood_per_10min})`, k.flood ? 'bad' : ''],
      ['Standing', k.standing], ['Stale (over 24 h)', k.stale, k.stale ? 'bad' : ''],
      ['Unacknowledged', k.unacknowledged, k.unacknowledged ? 'bad' : ''], ['Chattering', k.chattering],
      ['Shelved', k.shelved], ['Suppressed', k.suppressed], ['Unknown', k.unknown],
      ['Devices in maintenance', k.devices_in_maintenance],
    ];
    const dl = $('kpis');
    dl.replaceChildren();
    for (const [name, value, cls] of facts) {
      dl.appendChild(el('dt', name));
      dl.appendChild(el('dd', value, cls || undefined));
    }
  }
  // An operator's action: one request, its answer said, the page refreshed.
  async function act(what) {
    const out = $('alarm-result');
    const body = Object.assign({ device: state.device }, what);
    const comment = $('alarm-comment').value.trim();
    if (comment) body.comment = comment;
    out.textContent = `${what.action}: sending…`;
    out.className = 'muted';
    try {
      const r = await fetch('/api/alarm-action', {
        method: 'POST',
        headers: Object.assign({ 'Content-Type': 'application/json' }, PAGE),
        body: JSON.stringify(body),
      });
      const a = await r.json().catch(() => ({ error: 'unreadable answer' }));
      if (!r.ok) throw new Error(a.reason || a.error || r.statusText);
      out.textContent = `${what.action.replace('_', ' ')}${what.alarm ? ' ' + what.alarm : ''}: done`;
      out.className = 'ok';
      $('alarm-comment').value = '';
    } catch (e) {
      out.textContent = `${what.action.replace('_', ' ')} refused: ${e.message}`;
      out.className = 'bad';
    }
    await refresh();
  }

  async function renderEvents() {
    const to = Math.floor(Date.now() / 1000);
    const ev = await getJson(`/api/events?device=${state.device}&from=${to - 7 * 86400}&to=${to}`);
    const tb = $('events').tBodies[0];
    tb.replaceChildren();
    for (const e of ev.events.slice().reverse().slice(0, 200)) {
      tb.appendChild(row([{ t: when(e.time) }, { t: e.state, cls: e.state === 'raised' ? 'bad' : 'ok' }, sevCell(e.severity),
        { t: e.data_id }, { t: `${e.code} ${e.name}`, cls: 'text' }, { t: e.text, cls: 'text' }]));
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

  // The chart's time axis on the page's clock (24-hour, the zone named in
  // its label, as every other time on the page): seconds for a few minutes,
  // the date once the range passes a day; ticks far enough apart for their
  // labels.
  function timeAxis(from, to) {
    const p = (x) => String(x).padStart(2, '0');
    const long = to - from > 86400;
    const short = to - from <= 600;
    const tick = (t) => {
      const d = new Date(t * 1000);
      const hm = `${p(d.getHours())}:${p(d.getMinutes())}${short ? ':' + p(d.getSeconds()) : ''}`;
      return long ? `${p(d.getMonth() + 1)}-${p(d.getDate())} ${hm}` : hm;
    };
    return {
      label: `time (${zone(new Date(to * 1000))})`,
      space: long ? 120 : 80,
      values: (u, splits) => splits.map((t) => (t == null ? '' : tick(t))),
    };
  }

  const COLOURS = ['#0969da', '#cf222e', '#1a7f37', '#8250df', '#bf8700', '#1b7c83', '#6e7781', '#e16f24', '#a40e26'];

  async function renderChart(force) {
    const unit = $('chart-unit').value;
    if (!unit) return;
    const choice = $('chart-range').value;
    const auto = choice === 'auto';
    const span = auto ? 7 * 86400 : Number(choice);
    const key = `${state.device}/${unit}/${choice}`;
    if (!force && key === state.chartKey && Date.now() - state.chartAt < 15000) return;
    state.chartKey = key;
    state.chartAt = Date.now();
    const to = Math.floor(Date.now() / 1000);
    const h = await getJson(`/api/history?unit=${encodeURIComponent(unit)}&from=${to - span}&to=${to}`);
    const n = h.time.length;
    // "What is stored": from a little before the first stored point to now,
    // so a short history fills the chart instead of its last corner.
    let from = h.from;
    if (auto) {
      from = n ? Math.max(h.from, h.time[0] - Math.max(60, Math.round((h.to - h.time[0]) * 0.05))) : h.to - 3600;
    }
    // Records come on change and on a heartbeat; the API adds the value held
    // into the range and carries the last one to now while the device answers.
    // "records" are the records stored in the range, "points" those drawn
    // (fewer when the range was thinned to each span's extremes).
    const records = h.records === undefined ? n : h.records;
    const range = `${when(from)} to ${when(h.to)}`;
    let info;
    if (records === 0) {
      // Nothing stored in the range: say that first (a started device's
      // first records wait for their commit).
      const note = h.note || 'no record in this range';
      info = `${note.charAt(0).toUpperCase()}${note.slice(1)} · ${range}`;
    } else {
      const points = h.points === undefined ? n : h.points;
      const drawn = h.thinned ? ` (thinned to ${points} point${points === 1 ? '' : 's'})` : '';
      info = `${records} record${records === 1 ? '' : 's'}${drawn} · ${range}${h.note ? ` · ${h.note}` : ''}`;
    }
    $('chart-info').textContent = info;
    // A DC unit's load power from its stored records: bus voltage × load
    // current at each point (no value where either has none).
    const bus = h.series.find((x) => x.key === 'v'), load = h.series.find((x) => x.key === 'i');
    if (h.kind === 'dc' && bus && load) {
      h.series.push({ key: 'load_power', label: 'DC load power', unit: 'W',
        values: bus.values.map((v, k) => (typeof v === 'number' && typeof load.values[k] === 'number' ? v * load.values[k] : null)) });
    }
    const data = [h.time].concat(h.series.map((x) => x.values));
    const box = $('chart');
    const width = Math.max(260, box.clientWidth || 600);
    // Records are stored when a value moves past its dead band (and on a
    // heartbeat): a value holds until the next record, so the lines step.
    const stepped = uPlot.paths && uPlot.paths.stepped ? uPlot.paths.stepped({ align: 1 }) : undefined;
    // The legend's time on the page's clock too (uPlot's own is 12-hour).
    const series = [{ value: (u, t) => (t == null ? '\u2014' : when(t)) }].concat(h.series.map((x, k) => ({
      label: x.unit ? `${x.label} (${x.unit})` : x.label,
      stroke: COLOURS[k % COLOURS.length],
      width: 1.5,
      scale: x.unit || 'value',
      spanGaps: false,
      paths: stepped,
      points: { show: n <= 60 },
    })));
    const scales = [...new Set(h.series.map((x) => x.unit || 'value'))];
    // Every unit of measure has an axis of its own (left, right, left...):
    // a line without one would sit at a height nobody can read.
    const axes = [timeAxis(from, h.to)].concat(scales.map((u, k) => ({ scale: u, label: u, side: k % 2 === 0 ? 3 : 1, grid: { show: k === 0 }, size: 60 })));
    if (state.chart) { state.chart.destroy(); state.chart = null; }
    box.replaceChildren();
    const xRange = () => [from, h.to];
    state.chart = new uPlot({ width, height: 300, series, axes, scales: { x: { time: true, range: xRange } } }, data, box);
    box.uplot = state.chart;  // for inspection (the page test measures its axis)
    box.dataset.points = String(n);
    box.dataset.stepped = stepped ? '1' : '0';
    box.dataset.from = String(from);
  }

  // Whether a command carries a byte: the gateway's rules (/api/config).
  function takesByte(code) {
    return (state.config.control_codes || []).some((c) => c.code === code && c.byte);
  }
  function renderControl() {
    $('control').hidden = !state.config.control;
    const sel = $('control-code');
    if (sel.options.length === 0) {
      for (const c of state.config.control_codes || []) {
        const o = el('option', `${c.code} · command ${c.command}${c.byte ? ' + byte' : ''}`);
        o.value = String(c.code);
        sel.appendChild(o);
      }
    }
  }

  function setupControl() {
    const ask = $('control-confirm');
    $('control-send').addEventListener('click', () => {
      const code = Number($('control-code').value);
      const byte = Number($('control-byte').value);
      const d = state.devices.find((x) => x.id === state.device);
      $('control-question').textContent = `Send command ${code}${takesByte(code) ? ' with byte ' + byte : ''} to ${d ? d.name : state.device} (${state.device})?`;
      ask.hidden = false;
    });
    $('control-no').addEventListener('click', () => { ask.hidden = true; });
    $('control-yes').addEventListener('click', async () => {
      ask.hidden = true;
      const code = Number($('control-code').value);
      const body = { code };
      if (takesByte(code)) body.byte = Number($('control-byte').value);
      const out = $('control-result');
      out.textContent = 'sending…';
      out.className = 'muted';
      try {
        // The session cookie carries an operator's login; a token typed in
        // is sent instead when given.
        const headers = Object.assign({ 'Content-Type': 'application/json' }, PAGE);
        if ($('control-token').value) headers.Authorization = 'Bearer ' + $('control-token').value;
        const r = await fetch(`/api/devices/${state.device}/control`, {
          method: 'POST',
          headers,
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

  // Durations as an operator says them: "45 min", "3 h 20 min"; `short`
  // for a band's ends ("2 h 50").
  function minutes(m, short) {
    if (typeof m !== 'number' || !Number.isFinite(m) || m < 0) return '\u2014';
    // No line break inside one duration.
    const t = Math.round(m), s = '\u00a0';
    if (t < 60) return `${t}${s}min`;
    const h = Math.floor(t / 60), r = t % 60;
    if (short) return r ? `${h}${s}h${s}${String(r).padStart(2, '0')}` : `${h}${s}h`;
    return r ? `${h}${s}h${s}${r}${s}min` : `${h}${s}h`;
  }
  function band(low, high) {
    if (low < 59.5 && high < 59.5) return `${Math.round(low)}\u00a0\u2013 ${minutes(high)}`;
    return `${minutes(low, true)} \u2013 ${minutes(high, true)}`;
  }
  function watts(w) {
    if (typeof w !== 'number' || !Number.isFinite(w)) return '\u2014';
    return Math.abs(w) >= 1000 ? `${fmt(w / 1000, 2)} kW` : `${fmt(w, 0)} W`;
  }
  function kwh(v) {
    return typeof v === 'number' && Number.isFinite(v) ? `${fmt(v, Math.abs(v) >= 1000 ? 0 : Math.abs(v) >= 100 ? 1 : 2)} kWh` : '\u2014';
  }
  function ah(v) { return typeof v === 'number' && Number.isFinite(v) ? `${fmt(v, Math.abs(v) >= 1000 ? 0 : 1)} Ah` : '\u2014'; }
  function volts(v) { return typeof v === 'number' && Number.isFinite(v) ? `${fmt(v, 2)} V` : '\u2014'; }
  function facts(dl, list) {
    dl.replaceChildren();
    for (const [k, v, cls, sub, key] of list) {
      dl.appendChild(el('dt', k));
      const dd = el('dd', v, cls || undefined);
      if (key) dd.dataset.key = key;
      if (sub) dd.appendChild(el('span', sub, 'est'));
      dl.appendChild(dd);
    }
  }
  // The autonomy is an estimate: said as one, with its band, its basis and
  // what it assumed.
  function autonomyFact(b) {
    const a = b.autonomy || {};
    if (!a.valid) return ['Autonomy', 'no estimate', 'muted', a.why || '', 'autonomy'];
    const used = [`state of charge ${fmt(100 * a.soc, 0)} %`, `load ${fmt(a.load_a, 1)} A`];
    if (typeof a.temp_c === 'number') used.push(`${fmt(a.temp_c, 1)} \u00b0C`);
    const how = a.discharging ? 'while discharging' : 'projected at the present load';
    return ['Autonomy', `\u2248 ${minutes(a.minutes)} (${band(a.low_min, a.high_min)}), estimate from ${a.basis}`,
      b.autonomy_low ? 'low' : '', `${how}; used ${used.join(', ')}${b.autonomy_low ? '; below the site\'s minimum' : ''}`, 'autonomy'];
  }
  function dischargeWords(d) {
    const end = d.end || Math.floor(Date.now() / 1000);
    return `${when(d.start)}, ${minutes((end - d.start) / 60)}, ${d.cause}, ${ah(d.ah)}${d.result ? ', ' + d.result : ''}`;
  }
  function testWords(t) {
    if (!t.allowed) return 'not allowed on this device (the site file\'s battery test)';
    const parts = [t.running ? `running since ${when(t.started)}, started by ${t.started_by}` : 'not running'];
    if (t.next_scheduled) parts.push(`next scheduled ${when(t.next_scheduled)}`);
    if (t.last_result) parts.push(`last result: ${t.last_result}`);
    return parts.join(' · ');
  }
  function renderBattery(b) {
    const c = b.configured;
    facts($('energy'), [
      ['Power now (DC load)', watts(b.power_w), '', '', 'power_w'],
      ['Energy today', kwh(b.today && b.today.load_kwh), '', '', 'today'],
      ['Energy this month', kwh(b.month && b.month.load_kwh), '', '', 'month'],
      ['DC load total', kwh(b.total && b.total.load_kwh), '', '', 'total'],
      ['Rectifier output total', kwh(b.total && b.total.rectifier_kwh)],
    ]);
    $('battery-box').hidden = !c;
    $('battery-none').hidden = c;
    $('battery-none').textContent = c ? '' : 'No battery strings: the site file names none (its "battery" member).';
    $('battery-test').hidden = !c;
    if (!c) return;
    const dis = b.discharging;
    const tot = b.total || {};
    facts($('battery'), [
      ['State of charge', `${fmt(100 * b.soc, 0)} %`, '', '', 'soc'],
      autonomyFact(b),
      ['Discharging now', dis ? `since ${when(dis.start)} (${dis.cause}), ${ah(dis.ah)} so far` : 'no',
        dis ? 'bad' : 'ok', dis && typeof dis.min_v === 'number' ? `lowest ${volts(dis.min_v)}` : '', 'discharging'],
      ['Last discharge', b.last ? dischargeWords(b.last) : 'none recorded', '', '', 'last'],
      ['Charged / discharged', `${ah(tot.charge_ah)} / ${ah(tot.discharge_ah)}`, '', `${kwh(tot.charge_kwh)} / ${kwh(tot.discharge_kwh)} since counting began`],
    ]);
    const t = b.test || {};
    $('battery-test-state').textContent = testWords(t);
    $('battery-test-state').className = t.running ? 'bad' : '';
    // Offered where control is on, the site allows tests and the page may
    // command (an operator logged in, or nobody, with the token below).
    const may = Boolean(state.config.control && t.allowed && (!state.config.user || isOperator()));
    $('battery-test-tools').hidden = !may;
    $('battery-test-start').hidden = Boolean(t.running);
    $('battery-test-stop').hidden = !t.running;
    if (!may) $('battery-test-confirm').hidden = true;
  }
  // A figure's cell; "none" marks a missing one (the phone's layout names
  // figures and units around the cell, not around a dash).
  function figure(v, d) {
    return typeof v === 'number' && Number.isFinite(v) ? num(v, d) : { t: '\u2014', cls: 'num none' };
  }
  function renderDischarges(list) {
    const tb = $('discharges').tBodies[0];
    tb.replaceChildren();
    const now = Math.floor(Date.now() / 1000);
    for (const d of list) {
      const going = !d.end;
      tb.appendChild(row([{ t: when(d.start) }, { t: minutes(((d.end || now) - d.start) / 60) + (going ? ' so far' : '') },
        { t: d.cause, cls: 'text' }, figure(d.ah, 1), figure(d.kwh, 2), figure(d.min_v, 2), figure(d.end_v, 2),
        { t: going ? 'going on' : (d.result || '\u2014'), cls: 'text' + (going ? ' bad' : /^(fail|aborted)/.test(d.result || '') ? ' bad' : d.result === 'pass' ? ' ok' : d.result ? '' : ' none') }]));
    }
    $('no-discharges').hidden = list.length > 0;
  }
  async function refreshBattery() {
    const id = state.device;
    try {
      renderBattery(await getJson(`/api/devices/${id}/battery`));
    } catch (e) {
      if (e instanceof LoginNeeded) throw e;
      $('energy').replaceChildren();
      $('battery-box').hidden = true;
      $('battery-test').hidden = true;
      $('battery-none').hidden = false;
      $('battery-none').textContent = 'No energy figures: ' + e.message;
    }
    // The stored list changes rarely: read again every 15 s or for another device.
    if (state.dischargesOf === id && Date.now() - state.dischargesAt < 15000) return;
    state.dischargesOf = id;
    state.dischargesAt = Date.now();
    try {
      renderDischarges((await getJson(`/api/discharges?device=${id}&limit=20`)).discharges || []);
    } catch (e) {
      if (e instanceof LoginNeeded) throw e;
      renderDischarges([]);
      $('no-discharges').textContent = 'not readable: ' + e.message;
    }
  }
  function setupBatteryTest() {
    const ask = $('battery-test-confirm');
    let action = '';
    const open = (what) => {
      action = what;
      const d = state.devices.find((x) => x.id === state.device);
      $('battery-test-question').textContent = what === 'start'
        ? `Start a battery test on ${d ? d.name : state.device} (${state.device})? The rectifiers go into test mode and the batteries carry the load.`
        : `Stop the battery test on ${d ? d.name : state.device} (${state.device}) and return the rectifiers to float?`;
      ask.hidden = false;
    };
    $('battery-test-start').addEventListener('click', () => open('start'));
    $('battery-test-stop').addEventListener('click', () => open('stop'));
    $('battery-test-no').addEventListener('click', () => { ask.hidden = true; });
    $('battery-test-yes').addEventListener('click', async () => {
      ask.hidden = true;
      const out = $('battery-test-result');
      out.textContent = `${action}: sending…`;
      out.className = 'muted';
      try {
        const headers = Object.assign({ 'Content-Type': 'application/json' }, PAGE);
        if ($('control-token').value) headers.Authorization = 'Bearer ' + $('control-token').value;
        const r = await fetch(`/api/devices/${state.device}/battery-test`, {
          method: 'POST',
          headers,
          body: JSON.stringify({ action, request_id: `page-${Date.now()}-${Math.random().toString(36).slice(2, 10)}`,
            time: Math.floor(Date.now() / 1000) }),
        });
        const a = await r.json().catch(() => ({ error: 'unreadable answer' }));
        if (!r.ok) throw new Error(a.error || r.statusText);
        out.textContent = a.result === 0 ? `battery test ${action}: done` : `battery test ${action} refused: ${a.reason || 'result ' + a.result}`;
        out.className = a.result === 0 ? 'ok' : 'bad';
      } catch (e) {
        out.textContent = `battery test ${action} not sent: ${e.message}`;
        out.className = 'bad';
      }
      await refresh();
    });
  }

  // What the history still owes each northbound sink (MQTT, remote write).
  async function renderOutbox() {
    const a = await getJson('/api/outbox');
    const list = a.outboxes || [];
    $('outbox-card').hidden = list.length === 0;
    const names = { mqtt: 'MQTT broker', remote_write: 'Prometheus remote write' };
    const age = (t) => {
      if (!t) return '\u2014';
      const s = Math.max(0, a.time - t);
      return s < 120 ? `${s} s` : s < 7200 ? `${Math.round(s / 60)} min` : `${fmt(s / 3600, 1)} h`;
    };
    const body = $('outbox').tBodies[0];
    body.replaceChildren();
    for (const o of list) {
      const owed = o.pending_events + o.pending_records;
      const lost = o.lost_events + o.lost_records;
      body.appendChild(row([
        { t: names[o.sink] || o.sink },
        { t: o.connected ? 'up' : 'down', chip: o.connected ? 'ok' : 'bad' },
        o.events ? { t: o.pending_events, cls: 'num' + (o.pending_events ? ' bad' : '') } : { t: 'not sent', cls: 'muted' },
        { t: o.pending_records + (lost ? ` (${lost} lost to the history's bound)` : ''), cls: 'num' },
        { t: owed ? age(o.oldest) : '\u2014' },
        { t: o.last_success ? when(o.last_success) : '\u2014' },
        { t: o.last_error ? `${when(o.last_error_time)}: ${o.last_error}` : '\u2014', cls: 'text' },
      ]));
    }
  }

  async function refresh() {
    try {
      const list = await getJson('/api/devices');
      state.devices = list.devices;
      if (state.device === null || !state.devices.some((d) => d.id === state.device)) {
        state.device = state.devices.length ? state.devices[0].id : null;
      }
      const board = await getJson('/api/alarm-board');
      renderTabs();
      renderBanner(state.devices, board.kpis);
      if (state.device === null) return;
      const d = await getJson(`/api/devices/${state.device}`);
      renderLine(d);
      renderUnits(d.units);
      markStale(d);
      renderAlarms(d.alarms);
      renderBoard(board, d);
      chartUnits(d.units);
      $('status').textContent = `updated ${when(list.time)}`;
      document.body.dataset.rounds = String(d.rounds);
      await refreshBattery();
      await renderEvents();
      await renderOutbox();
      await renderChart(false);
    } catch (e) {
      if (e instanceof LoginNeeded) { showLogin(e.message); return; }
      $('status').textContent = 'no answer from the gateway: ' + e.message;
      // The alarms last seen still colour it.
      const worst = state.devices.reduce((w, d) => (d.alarm_count ? worse(w, d.severity) : w), 'none');
      $('banner').className = `banner lost${worst !== 'none' ? ' sev-' + worst : ''}`;
      $('banner-title').textContent = 'Gateway not answering';
      $('banner-text').textContent = 'the values shown are stale';
    }
  }

  // The login form stands in for the values while reads need a user.
  function showLogin(why) {
    document.body.classList.add('logged-out');
    $('login').hidden = false;
    $('who').hidden = true;
    $('status').textContent = why;
  }
  function renderWho() {
    const c = state.config;
    $('who').hidden = !c.user;
    $('who-name').textContent = c.user ? `${c.user} (${c.role})` : '';
  }
  function setupLogin() {
    $('login').addEventListener('submit', async (ev) => {
      ev.preventDefault();
      const out = $('login-result');
      out.textContent = 'logging in…';
      out.className = 'muted';
      const r = await fetch('/api/login', {
        method: 'POST',
        headers: Object.assign({ 'Content-Type': 'application/json' }, PAGE),
        body: JSON.stringify({ user: $('login-user').value, password: $('login-password').value }),
      }).catch(() => null);
      const a = r ? await r.json().catch(() => ({ error: 'unreadable answer' })) : { error: 'no answer' };
      $('login-password').value = '';
      if (!r || !r.ok) {
        out.textContent = 'not logged in: ' + (a.error || r.statusText);
        out.className = 'bad';
        return;
      }
      out.textContent = '';
      $('login').hidden = true;
      document.body.classList.remove('logged-out');
      await load();
    });
    $('logout').addEventListener('click', async () => {
      await fetch('/api/logout', { method: 'POST', headers: PAGE }).catch(() => null);
      state.config = { control: false };
      await load();
    });
  }

  async function load() {
    try {
      state.config = await getJson('/api/config');
    } catch (e) {
      if (e instanceof LoginNeeded) { showLogin(e.message); return; }
      state.config = { control: false };
    }
    renderWho();
    renderControl();
    await refresh();
  }

  async function start() {
    setupLogin();
    setupControl();
    setupBatteryTest();
    $('maint-on').addEventListener('click', () => act({ action: 'maintenance', duration_s: Number($('maint-for').value) }));
    $('maint-off').addEventListener('click', () => act({ action: 'maintenance_end' }));
    $('chart-unit').addEventListener('change', () => renderChart(true).catch(() => {}));
    $('chart-range').addEventListener('change', () => renderChart(true).catch(() => {}));
    await load();
    setInterval(() => { if ($('login').hidden) refresh(); }, REFRESH_MS);
  }
  start();
})();
