// The operator's console: a card per box, fed by the tool's own event stream
// (/api/events), and buttons that send requests through /api/request.
// Everything shown comes from this server; nothing is fetched from elsewhere.
'use strict';

(function () {
  const TRACK_POINTS = 120;
  const BATTERY_POINTS = 120;
  const ALARMS = 20;
  const RESPONSES = 10;
  const SVG = 'http://www.w3.org/2000/svg';

  const boxes = new Map();  // IMEI -> {data, el}
  let skew = 0;             // server clock minus ours, from the last snapshot
  const main = document.getElementById('boxes');
  const template = document.getElementById('card');
  const filter = document.getElementById('filter');

  const now = () => Date.now() + skew;
  const dash = v => (v === null || v === undefined ? '–' : String(v));
  const q = (el, sel) => el.querySelector(sel);
  const field = (el, name) => q(el, '[data-field="' + name + '"]');
  const setText = (el, s) => { if (el.textContent !== s) el.textContent = s; };
  const clock = t => new Date(t).toLocaleTimeString([], { hour12: false });

  function age(ms) {
    if (ms < 0) ms = 0;
    const s = Math.round(ms / 1000);
    if (s < 90) return s + ' s ago';
    if (s < 5400) return Math.round(s / 60) + ' min ago';
    return Math.round(s / 3600) + ' h ago';
  }

  // Online while reports keep coming: two intervals, and never under 20 s.
  function online(d) {
    const every = (d.tlm && d.tlm.report_interval_s) || 10;
    return now() - d.seen_ms <= Math.max(2 * every, every + 10) * 1000;
  }

  function csqText(c) {
    if (c === null || c === undefined || c === 99) return 'unknown';
    const word = c < 10 ? 'marginal' : c < 15 ? 'ok' : c < 20 ? 'good' : 'excellent';
    return c + ' (' + word + ')';
  }

  function pill(el, on, yes, no, cls) {
    setText(el, on ? yes : no);
    el.className = 'pill ' + (on ? cls || 'on' : '');
  }

  function svgEl(name, attrs, text) {
    const e = document.createElementNS(SVG, name);
    for (const k in attrs) e.setAttribute(k, attrs[k]);
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function clear(svg) { while (svg.firstChild) svg.removeChild(svg.firstChild); }

  function grid(svg) {
    for (let i = 1; i < 4; i++) svg.appendChild(svgEl('line', { class: 'grid', x1: 0, x2: 200, y1: i * 30, y2: i * 30 }));
    for (let i = 1; i < 5; i++) svg.appendChild(svgEl('line', { class: 'grid', y1: 0, y2: 120, x1: i * 40, x2: i * 40 }));
  }

  // Positions on an equirectangular projection around their own centre; the
  // serving cells, when there is no fix, as one row per cell over time.
  function plotTrack(svg, cap, track) {
    clear(svg);
    grid(svg);
    const fixes = track.filter(p => p.lat !== undefined);
    const cells = track.filter(p => p.cell !== undefined);
    const last = track[track.length - 1];
    if (last && last.cell !== undefined) return plotCells(svg, cap, cells);
    if (fixes.length === 0) {
      svg.appendChild(svgEl('text', { class: 'none', x: 100, y: 64, 'text-anchor': 'middle' }, 'no position yet'));
      setText(cap, 'track');
      return;
    }
    const lat0 = fixes.reduce((s, p) => s + p.lat, 0) / fixes.length;
    const k = Math.cos(lat0 * Math.PI / 180);
    const xs = fixes.map(p => p.lon * k), ys = fixes.map(p => p.lat);
    const minx = Math.min(...xs), maxx = Math.max(...xs), miny = Math.min(...ys), maxy = Math.max(...ys);
    const span = Math.max(maxx - minx, (maxy - miny) * 200 / 120, 1e-5);  // degrees across the plot
    const cx = (minx + maxx) / 2, cy = (miny + maxy) / 2, scale = 180 / span;
    const pts = fixes.map((p, i) => [100 + (xs[i] - cx) * scale, 60 - (ys[i] - cy) * scale]);
    svg.appendChild(svgEl('polyline', { class: 'path', points: pts.map(p => p[0].toFixed(1) + ',' + p[1].toFixed(1)).join(' ') }));
    pts.forEach((p, i) => svg.appendChild(svgEl('circle', {
      class: i === pts.length - 1 ? 'now' : 'dot', cx: p[0].toFixed(1), cy: p[1].toFixed(1), r: i === pts.length - 1 ? 3.5 : 1.5 })));
    const metres = span * 111320;
    setText(cap, 'track, ' + fixes.length + ' fixes, ' + (metres < 2000 ? Math.round(metres) + ' m' : (metres / 1000).toFixed(1) + ' km') + ' across');
  }

  function plotCells(svg, cap, cells) {
    const names = [];
    cells.forEach(c => { if (!names.includes(c.cell)) names.push(c.cell); });
    const t0 = cells[0].t, t1 = Math.max(cells[cells.length - 1].t, t0 + 1);
    const row = Math.min(24, 100 / names.length);
    names.forEach((n, i) => svg.appendChild(svgEl('text', { class: 'label', x: 4, y: 14 + i * row }, 'cell ' + n)));
    const pts = cells.map(c => [70 + (c.t - t0) / (t1 - t0) * 122, 11 + names.indexOf(c.cell) * row]);
    svg.appendChild(svgEl('polyline', { class: 'path', points: pts.map(p => p[0].toFixed(1) + ',' + p[1].toFixed(1)).join(' ') }));
    pts.forEach((p, i) => svg.appendChild(svgEl('circle', {
      class: i === pts.length - 1 ? 'now' : 'dot', cx: p[0].toFixed(1), cy: p[1].toFixed(1), r: i === pts.length - 1 ? 3.5 : 1.5 })));
    setText(cap, 'no fix: serving cell over time');
  }

  function plotBattery(svg, cap, bat) {
    clear(svg);
    grid(svg);
    const pts = bat.filter(p => p.soc !== null);
    svg.appendChild(svgEl('text', { class: 'label', x: 3, y: 9 }, '100 %'));
    svg.appendChild(svgEl('text', { class: 'label', x: 3, y: 117 }, '0 %'));
    if (pts.length === 0) {
      svg.appendChild(svgEl('text', { class: 'none', x: 100, y: 64, 'text-anchor': 'middle' }, 'no battery reported'));
      setText(cap, 'battery over time');
      return;
    }
    const t0 = pts[0].t, t1 = Math.max(pts[pts.length - 1].t, t0 + 1);
    const xy = pts.map(p => [pts.length === 1 ? 196 : 4 + (p.t - t0) / (t1 - t0) * 192, 116 - Math.min(p.soc, 100) * 1.12]);
    svg.appendChild(svgEl('polyline', { class: 'soc', points: xy.map(p => p[0].toFixed(1) + ',' + p[1].toFixed(1)).join(' ') }));
    const e = xy[xy.length - 1];
    svg.appendChild(svgEl('circle', { class: 'now', cx: e[0].toFixed(1), cy: e[1].toFixed(1), r: 3 }));
    const minutes = Math.round((t1 - t0) / 60000);
    setText(cap, 'battery over ' + (minutes < 1 ? 'the last reports' : 'the last ' + minutes + ' min'));
  }

  function list(ul, items, line) {
    while (ul.firstChild) ul.removeChild(ul.firstChild);
    if (items.length === 0) {
      const li = document.createElement('li');
      li.textContent = 'none';
      ul.appendChild(li);
      return;
    }
    items.slice().reverse().forEach(it => ul.appendChild(line(it)));
  }

  function render(b) {
    const d = b.data, el = b.el, t = d.tlm || {};
    const bat = (t.batteries && t.batteries[0]) || {};
    const flags = t.flags || {};
    setText(field(el, 'imei'), d.imei);
    refreshAge(b);
    pill(q(el, '[data-flag="locked"]'), flags.motor_locked, 'locked', 'unlocked', 'warn');
    pill(q(el, '[data-flag="light"]'), flags.light_on, 'light on', 'light off');
    pill(q(el, '[data-flag="bike"]'), flags.bike_on, 'bike on', 'bike off');
    setText(field(el, 'speed'), t.speed_kmh === null || t.speed_kmh === undefined ? '–' : t.speed_kmh + ' km/h');
    setText(field(el, 'odo'), dash(t.odometer));
    setText(field(el, 'soc'), bat.soc_pct === null || bat.soc_pct === undefined ? '–' : bat.soc_pct + ' %');
    setText(field(el, 'voltage'), dash(bat.voltage));
    setText(field(el, 'temp'), bat.temperature_c === null || bat.temperature_c === undefined ? '–' : bat.temperature_c + ' °C');
    setText(field(el, 'box_voltage'), dash(t.box_voltage));
    setText(field(el, 'csq'), csqText(t.csq));
    setText(field(el, 'interval'), t.report_interval_s === undefined ? '–' : t.report_interval_s + ' s');
    let where = 'no position';
    if (t.fix) where = t.latitude_deg.toFixed(6) + ', ' + t.longitude_deg.toFixed(6) + (t.altitude_m === null ? '' : ', ' + t.altitude_m + ' m');
    else if (t.cell) where = 'no fix, serving cell ' + t.cell.mcc + '-' + t.cell.mnc + ' id ' + t.cell.cell_id + ' lac ' + t.cell.lac;
    setText(field(el, 'position'), where + ' · ' + d.reports + ' reports');
    plotTrack(q(el, '[data-plot="track"]'), field(el, 'track_caption'), d.track);
    plotBattery(q(el, '[data-plot="battery"]'), field(el, 'battery_caption'), d.battery);
    list(field(el, 'alarms'), d.alarms, a => {
      const li = document.createElement('li');
      li.className = a.kind;
      li.textContent = a.kind + ' at ' + clock(a.t);
      return li;
    });
    renderResponses(b);
  }

  function renderResponses(b) {
    list(field(b.el, 'responses'), b.data.responses, r => {
      const li = document.createElement('li');
      li.textContent = clock(r.t) + ' ' + r.kind + ': ' + r.text;
      return li;
    });
  }

  function refreshAge(b) {
    const on = online(b.data);
    const el = field(b.el, 'online');
    setText(el, (on ? 'online, ' : 'offline, ') + 'last report ' + age(now() - b.data.seen_ms));
    el.className = 'pill ' + (on ? 'on' : 'off');
    b.el.classList.toggle('offline', !on);
  }

  function applyFilter(b) {
    const f = filter.value.trim();
    b.el.classList.toggle('hidden', f !== '' && !b.data.imei.includes(f));
  }

  function card(imei) {
    let b = boxes.get(imei);
    if (b) return b;
    const el = template.content.firstElementChild.cloneNode(true);
    el.dataset.imei = imei;
    b = { data: { imei: imei, seen_ms: 0, reports: 0, tlm: null, track: [], battery: [], alarms: [], responses: [] }, el: el };
    boxes.set(imei, b);
    el.querySelectorAll('button[data-cmd]').forEach(btn => btn.addEventListener('click', () => press(b, btn)));
    // Cards in IMEI order, so a box keeps its place.
    const after = Array.from(boxes.keys()).sort().find(k => k > imei);
    main.insertBefore(el, after ? boxes.get(after).el : null);
    document.getElementById('empty').classList.add('hidden');
    applyFilter(b);
    return b;
  }

  function summary() {
    let on = 0;
    boxes.forEach(b => { if (online(b.data)) on++; });
    setText(document.getElementById('summary'), boxes.size + (boxes.size === 1 ? ' box, ' : ' boxes, ') + on + ' online');
  }

  const cap = (arr, n) => { while (arr.length > n) arr.shift(); };

  function onSnapshot(s) {
    skew = s.now_ms - Date.now();
    s.boxes.forEach(d => {
      const b = card(d.imei);
      b.data = d;
      render(b);
    });
    summary();
  }

  function onBox(d) {
    const b = card(d.imei);
    const o = b.data;
    o.seen_ms = d.seen_ms;
    o.reports = d.reports;
    o.tlm = d.tlm;
    o.track.push(...d.track);
    o.battery.push(...d.battery);
    o.alarms.push(...d.alarms);
    cap(o.track, TRACK_POINTS);
    cap(o.battery, BATTERY_POINTS);
    cap(o.alarms, ALARMS);
    render(b);
    summary();
  }

  function onResponse(r) {
    const b = card(r.imei);
    b.data.responses.push(r.item);
    cap(b.data.responses, RESPONSES);
    renderResponses(b);
  }

  const LABELS = { lock: 'Lock', unlock: 'Unlock', 'light on': 'Light on', 'light off': 'Light off', 'power on': 'Bike on',
    'power off': 'Bike off', interval: 'Interval', extra: 'Extra data', diag: 'Diagnosis' };

  function press(b, btn) {
    const cmd = btn.dataset.cmd;
    const args = cmd.split(' ');
    if (cmd === 'interval' || cmd === 'diag') args.push(q(b.el, '[data-input="' + cmd + '"]').value.trim());
    const body = new URLSearchParams();
    body.append('imei', b.data.imei);
    args.forEach(a => body.append('arg', a));
    const out = field(b.el, 'result');
    out.className = 'result pending';
    out.dataset.state = 'pending';
    setText(out, LABELS[cmd] + ': waiting for the box…');
    btn.disabled = true;
    const t0 = performance.now();
    fetch('/api/request', { method: 'POST', headers: { 'X-Telagent-Console': '1' }, body: body })
      .then(r => r.json())
      .then(j => {
        const ok = j.ok === true;
        out.className = 'result ' + (ok ? 'ok' : 'fail');
        out.dataset.state = ok ? 'ok' : 'fail';
        setText(out, LABELS[cmd] + ': ' + (ok ? j.text + (j.ms === undefined ? '' : ' · round trip ' + j.ms + ' ms') : 'failed, ' + j.error));
      })
      .catch(e => {
        out.className = 'result fail';
        out.dataset.state = 'fail';
        setText(out, LABELS[cmd] + ': failed, the console did not answer (' + e.message + ', ' + Math.round(performance.now() - t0) + ' ms)');
      })
      .finally(() => { btn.disabled = false; });
  }

  filter.addEventListener('input', () => boxes.forEach(applyFilter));

  const link = document.getElementById('link');
  function connect() {
    const es = new EventSource('/api/events');
    es.addEventListener('open', () => { link.textContent = 'live'; link.className = 'pill on'; });
    es.addEventListener('error', () => { link.textContent = 'reconnecting'; link.className = 'pill off'; });
    es.addEventListener('snapshot', e => onSnapshot(JSON.parse(e.data)));
    es.addEventListener('box', e => onBox(JSON.parse(e.data)));
    es.addEventListener('response', e => onResponse(JSON.parse(e.data)));
  }
  connect();
  setInterval(() => { boxes.forEach(refreshAge); summary(); }, 1000);
})();
