// The live view of a kelto table. Everything arrives over one event stream
// (api/events): a "table" event with every variable (or none: no live
// table), then "values" events with the variables that changed. The server
// paces them (at most ten a second per variable), so this page only has to
// draw. Values are JSON as the live API's codec writes them.
'use strict';

(() => {
  const TREND_WINDOW_MS = 60 * 1000;  // the small trend line beside a value
  const PLOT_WINDOW_MS = 5 * 60 * 1000;  // what a plotted variable keeps
  const FLASH_MS = 700;
  const PLOT_COLOURS = ['#1f6feb', '#d1242f', '#1a7f37', '#8250df', '#bc4c00', '#0a7ea4',
                        '#bf3989', '#6e7781'];
  const NUMERIC_TYPES = new Set(['B', 'H', 'O', 'M', 'W', 'L', 'D']);
  const TYPE_NAMES = {
    '$': 'text, up to 63 bytes', 'B': 'byte 0..255', 'H': 'byte 0..255', 'O': 'byte 0..255',
    'M': '16-bit unsigned', 'W': '16-bit unsigned', 'L': '32-bit signed', 'D': 'double',
  };

  const $ = (id) => document.getElementById(id);
  const ui = {
    rows: $('rows'), filter: $('filter'), count: $('count'), mode: $('mode'), status: $('status'),
    segment: $('segment'), bannerTable: $('banner-table'), bannerSegment: $('banner-segment'),
    bannerConnection: $('banner-connection'), noMatch: $('no-match'), plotPanel: $('plot-panel'),
    plot: $('plot'), plotLegend: $('plot-legend'), plotSeries: $('plot-series'),
    plotClose: $('plot-close'),
  };

  // ---- The token ------------------------------------------------------------
  // A server open to other machines wants its token with every API request.
  // It comes once in the address (?token=), leaves the address at once (no
  // bookmark or screen share shows it) and stays in this tab's session
  // storage, which belongs to this server's origin alone (scheme, host and
  // port), so that a reload still works. Never a cookie: the browser would
  // send a cookie to every other server of the host.
  const TOKEN_KEY = 'kelto_token';
  const token = (() => {
    const query = new URLSearchParams(location.search);
    const given = query.get('token');
    let kept = '';
    try {
      if (given !== null) sessionStorage.setItem(TOKEN_KEY, given);
      kept = sessionStorage.getItem(TOKEN_KEY) || '';
    } catch (_) {
      // No storage in this browser: the token lasts as long as the page.
    }
    if (given === null) return kept;
    query.delete('token');
    const rest = query.toString();
    history.replaceState(null, '', location.pathname + (rest ? '?' + rest : '') + location.hash);
    return given;
  })();

  function api(path, options = {}) {
    const headers = Object.assign({}, options.headers);
    if (token !== '') headers.Authorization = 'Bearer ' + token;
    return fetch(path, Object.assign({}, options, { headers, cache: 'no-store' }));
  }

  const view = {
    generation: -1,
    live: false,
    allowSet: false,
    vars: [],             // by ident
    shown: null,          // Set of idents the filter lets through; null: all
    shownList: [],        // the same idents, in order
    window: {},           // the part of shownList in the document
    dirty: new Set(),     // idents whose cell needs drawing
    flashing: new Map(),  // value cell -> time its mark ends
    plotted: [],          // idents, in the order they were added
    inSight: new Set(),   // idents of the rows on (or near) the screen
    graph: null,
    hoverTime: null,      // the plot's time under the pointer
    plotDirty: false,
    connected: false,
  };

  // ---- Names and values ------------------------------------------------

  // Names and text values are bytes. The codec's JSON gives valid UTF-8 as
  // its characters and each byte outside it as the lone surrogate
  // U+DC80 + byte (as Python's surrogateescape does). The page keeps those
  // strings as they came, so what it sends back is the same bytes.
  const LONE_BYTE = /[\udc80-\udcff]/u;
  const LONE_BYTES = /[\udc80-\udcff]/gu;
  const UNRESERVED = /[A-Za-z0-9_.~-]/;
  const utf8 = new TextEncoder();
  const hexByte = (byte) => byte.toString(16).padStart(2, '0');
  const loneByte = (ch) => ch.codePointAt(0) - 0xdc00;

  // A URL carries the same bytes: a character as its UTF-8, a lone byte as
  // itself.
  function encodeName(name) {
    let out = '';
    for (const ch of name) {
      const bytes = LONE_BYTE.test(ch) ? [loneByte(ch)] : utf8.encode(ch);
      for (const byte of bytes) {
        const c = String.fromCharCode(byte);
        out += UNRESERVED.test(c) ? c : '%' + hexByte(byte).toUpperCase();
      }
    }
    return out;
  }

  // Plain text for titles and labels: a lone byte as \xHH, as keltoctl shows it.
  function plainText(text) {
    if (!LONE_BYTE.test(text)) return text;
    return text.replace(LONE_BYTES, (ch) => '\\x' + hexByte(loneByte(ch)));
  }

  // `text` into `element`, each lone byte as a marked \xHH that cannot be
  // taken for a backslash typed into the text.
  function showText(element, text) {
    if (!LONE_BYTE.test(text)) {
      element.textContent = text;
      return;
    }
    const parts = [];
    let last = 0;
    for (const match of text.matchAll(LONE_BYTES)) {
      if (match.index > last) parts.push(text.slice(last, match.index));
      const mark = document.createElement('span');
      mark.className = 'byte';
      mark.title = 'a byte that is not part of UTF-8 text';
      mark.textContent = '\\x' + hexByte(loneByte(match[0]));
      parts.push(mark);
      last = match.index + match[0].length;
    }
    if (last < text.length) parts.push(text.slice(last));
    element.replaceChildren(...parts);
  }

  function isNumeric(v) { return NUMERIC_TYPES.has(v.type); }

  function displayValue(v, cell) {
    if (typeof v.value === 'string') return showText(cell, v.value);
    if (v.value !== null) {
      cell.textContent = String(v.value);
      return;
    }
    const span = document.createElement('span');
    span.className = 'none';
    span.textContent = v.type === 'D' ? 'not finite' : 'no value';
    cell.replaceChildren(span);
  }

  function record(v, time) {
    if (!isNumeric(v)) return;
    const h = v.history;
    h.t.push(time);
    h.v.push(typeof v.value === 'number' ? v.value : NaN);
    const keep = view.plotted.includes(v.ident) ? PLOT_WINDOW_MS : TREND_WINDOW_MS;
    let drop = 0;
    // One point before the window stays: it is the value at its start.
    while (drop + 1 < h.t.length && h.t[drop + 1] < time - keep) drop++;
    if (drop > 0) { h.t.splice(0, drop); h.v.splice(0, drop); }
  }

  // ---- The table ----------------------------------------------------------

  function buildRow(v) {
    const row = document.createElement('tr');
    row.classList.toggle('plotted', view.plotted.includes(v.ident));
    row.id = 'var-' + v.ident;
    row.dataset.name = v.name;
    const cells = ['ident', 'name', 'type', 'size', 'value', 'trend'].map((cls) => {
      const td = document.createElement('td');
      td.className = cls;
      row.appendChild(td);
      return td;
    });
    cells[0].textContent = v.ident;
    showText(cells[1], v.name);
    cells[2].textContent = v.type;
    cells[2].title = TYPE_NAMES[v.type] || 'holds no value';
    cells[3].textContent = v.size;
    v.row = row;
    v.valueCell = cells[4];
    // The value lives in a box of fixed size, so that writing it lays out
    // that box alone, never the whole table.
    v.valueBox = document.createElement('div');
    v.valueBox.className = 'v';
    v.valueCell.appendChild(v.valueBox);
    v.trendCell = cells[5];
    displayValue(v, v.valueBox);
    if (view.allowSet && v.size > 0 && (isNumeric(v) || v.type === '$')) {
      v.valueCell.classList.add('editable');
      v.valueCell.title = 'Click to set a new value';
      v.valueCell.addEventListener('click', () => openEditor(v));
    }
    if (isNumeric(v)) {
      const canvas = document.createElement('canvas');
      canvas.className = 'trend';
      canvas.title = 'Last minute of ' + plainText(v.name) + '. Click to plot it.';
      canvas.addEventListener('click', () => togglePlot(v.ident));
      v.trendCell.appendChild(canvas);
      v.canvas = canvas;
    }
    return row;
  }

  function applyTable(table) {
    const plottedNames = view.plotted.map((i) => view.vars[i] && view.vars[i].name);
    view.inSight = new Set();
    view.dirty.clear();
    view.flashing.clear();
    view.generation = table.generation;
    view.live = table.live;
    view.allowSet = table.allowSet;
    view.vars = table.vars.map((v) => ({ ...v, history: { t: [], v: [] } }));
    for (const v of view.vars) record(v, table.time);
    view.window = {};
    view.shownList = [];
    ui.rows.replaceChildren();
    showText(ui.segment, table.segment);
    showText(ui.bannerSegment, table.segment);
    ui.bannerTable.hidden = table.live;
    ui.mode.textContent = table.allowSet ? 'values can be set' : 'read-only';
    ui.mode.classList.toggle('editable', table.allowSet);
    // A plot survives a new table for the names that are still there.
    const byName = new Map(view.vars.map((v) => [v.name, v.ident]));
    view.plotted = plottedNames.filter((n) => byName.has(n)).map((n) => byName.get(n));
    updateStatus();
    refreshFilter();
    renderPlotPanel();
  }

  function applyValues(update) {
    if (update.generation !== view.generation) return;
    for (const [ident, value] of update.values) {
      const v = view.vars[ident];
      if (!v) continue;
      v.value = value;
      record(v, update.time);
      view.dirty.add(ident);
    }
    if (view.plotted.length) view.plotDirty = true;
    scheduleDraw();
  }

  let drawPending = false;
  function scheduleDraw() {
    if (drawPending) return;
    drawPending = true;
    requestAnimationFrame(draw);
  }

  // Only rows in sight are drawn: in a table of thousands, most changes
  // happen out of sight, and a row is brought up to date as it comes into
  // sight.
  function draw() {
    drawPending = false;
    const now = performance.now();
    for (const ident of view.dirty) {
      const v = view.vars[ident];
      if (!v) continue;
      if (!view.inSight.has(ident)) {
        v.stale = true;
        continue;
      }
      if (!v.editing) displayValue(v, v.valueBox);
      v.valueCell.classList.add('changed');
      view.flashing.set(v.valueCell, now + FLASH_MS);
      drawTrend(v);
    }
    view.dirty.clear();
  }

  // Marks end on their own; the cell's colour then fades (style.css).
  setInterval(() => {
    const now = performance.now();
    for (const [cell, until] of view.flashing) {
      if (until <= now) { cell.classList.remove('changed'); view.flashing.delete(cell); }
    }
  }, 100);

  // Only the rows on the screen (and a margin) are in the document; spacer
  // rows stand for the others. A browser's work for every frame grows with
  // the rows in the document, so a table of ten thousand costs what a
  // screenful does. Rows are all of one height (style.css).
  const SIGHT_MARGIN_ROWS = 15;
  let sightPending = false;
  function scheduleSight() {
    if (sightPending) return;
    sightPending = true;
    requestAnimationFrame(updateInSight);
  }

  const spacerAbove = spacerRow();
  const spacerBelow = spacerRow();
  let rowHeight = 0;

  function spacerRow() {
    const row = document.createElement('tr');
    row.className = 'spacer';
    row.setAttribute('aria-hidden', 'true');
    const cell = document.createElement('td');
    cell.colSpan = 6;
    row.appendChild(cell);
    return row;
  }

  function updateInSight() {
    sightPending = false;
    const shown = view.shownList;
    const height = rowHeight || 32;
    const top = ui.rows.getBoundingClientRect().top;
    const from = Math.max(0, Math.floor(-top / height) - SIGHT_MARGIN_ROWS);
    const to = Math.min(shown.length - 1,
                        Math.ceil((window.innerHeight - top) / height) + SIGHT_MARGIN_ROWS);
    const same = view.window.from === from && view.window.to === to &&
                 view.window.list === shown;
    if (same) return;
    view.window = { from, to, list: shown };
    const rows = [spacerAbove];
    const next = new Set();
    for (let i = from; i <= to; i++) {
      const v = view.vars[shown[i]];
      if (!v.row) buildRow(v);
      rows.push(v.row);
      next.add(v.ident);
      if (view.inSight.has(v.ident)) continue;
      if (v.stale && !v.editing) displayValue(v, v.valueBox);
      v.stale = false;
    }
    rows.push(spacerBelow);
    spacerAbove.firstChild.style.height = from * height + 'px';
    spacerBelow.firstChild.style.height = Math.max(0, shown.length - 1 - to) * height + 'px';
    spacerAbove.hidden = from === 0;
    spacerBelow.hidden = to >= shown.length - 1;
    ui.rows.replaceChildren(...rows);
    view.inSight = next;
    for (const ident of next) drawTrend(view.vars[ident]);
    // The first rows tell the height of all; with it known, place again.
    if (!rowHeight && to >= from) {
      rowHeight = view.vars[shown[from]].row.getBoundingClientRect().height;
      if (rowHeight) { view.window = {}; updateInSight(); }
    }
  }
  window.addEventListener('scroll', scheduleSight, { passive: true });
  window.addEventListener('resize', scheduleSight);

  // ---- Trend lines -----------------------------------------------------------

  // Read once (and again when the colour scheme changes), not per drawing:
  // reading a computed style makes the browser bring all styles up to date.
  let trendColour = '#1f6feb';
  function readTrendColour() {
    trendColour = getComputedStyle(document.body).getPropertyValue('--accent').trim() || '#1f6feb';
  }
  readTrendColour();
  window.matchMedia('(prefers-color-scheme: dark)').addEventListener('change', readTrendColour);

  function drawTrend(v) {
    const canvas = v && v.canvas;
    if (!canvas) return;
    const ratio = window.devicePixelRatio || 1;
    const width = canvas.clientWidth || 132;
    const height = canvas.clientHeight || 24;
    if (canvas.width !== Math.round(width * ratio)) {
      canvas.width = Math.round(width * ratio);
      canvas.height = Math.round(height * ratio);
    }
    const ctx = canvas.getContext('2d');
    ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    ctx.clearRect(0, 0, width, height);
    const end = Date.now();
    const { t, v: values } = v.history;
    // Until a minute has been seen, what there is fills the width.
    const start = Math.max(end - TREND_WINDOW_MS, Math.min(t.length ? t[0] : end, end - 5000));
    let low = Infinity;
    let high = -Infinity;
    for (let i = 0; i < values.length; i++) {
      if (Number.isFinite(values[i]) && (t[i] >= start || i + 1 === values.length || t[i + 1] > start)) {
        low = Math.min(low, values[i]);
        high = Math.max(high, values[i]);
      }
    }
    if (low === Infinity) return;
    const pad = 3;
    const span = high - low;
    const x = (time) => Math.max(0, (time - start) / (end - start)) * (width - 4);
    const y = (value) => span === 0 ? height / 2 : pad + (1 - (value - low) / span) * (height - 2 * pad);
    ctx.strokeStyle = trendColour;
    ctx.lineWidth = 1.25;
    ctx.beginPath();
    let drawing = false;
    let lastY = 0;
    for (let i = 0; i < values.length; i++) {
      if (!Number.isFinite(values[i])) { drawing = false; continue; }
      const px = x(t[i]);
      const py = y(values[i]);
      if (!drawing) ctx.moveTo(px, py); else { ctx.lineTo(px, lastY); ctx.lineTo(px, py); }
      drawing = true;
      lastY = py;
    }
    if (drawing) ctx.lineTo(width - 2, lastY);
    ctx.stroke();
    if (drawing) {
      ctx.fillStyle = ctx.strokeStyle;
      ctx.beginPath();
      ctx.arc(width - 2, lastY, 2, 0, 2 * Math.PI);
      ctx.fill();
    }
  }

  // The time axis moves on even when a value does not.
  setInterval(() => {
    for (const ident of view.inSight) drawTrend(view.vars[ident]);
    if (view.plotted.length) view.plotDirty = true;
  }, 1000);

  // ---- The filter: the server matches, with keltoctl list's patterns -------

  let filterTimer = 0;
  let filterRound = 0;
  ui.filter.addEventListener('input', () => {
    clearTimeout(filterTimer);
    filterTimer = setTimeout(refreshFilter, 120);
  });

  async function refreshFilter() {
    const pattern = ui.filter.value.trim();
    const round = ++filterRound;
    if (pattern === '') return showOnly(null);
    try {
      const answer = await api('api/vars?match=' + encodeName(pattern));
      if (!answer.ok || round !== filterRound) return;
      const matches = await answer.json();
      if (round === filterRound) showOnly(new Set(matches.map((m) => m.ident)));
    } catch (_) {
      // The connection banner tells; the filter is tried again on input.
    }
  }

  function showOnly(idents) {
    view.shown = idents;
    view.shownList = [];
    for (const v of view.vars) {
      if (idents === null || idents.has(v.ident)) view.shownList.push(v.ident);
    }
    const shown = view.shownList.length;
    updateInSight();
    ui.count.textContent = view.live ? (idents === null ? `${shown} variables`
                                                        : `${shown} of ${view.vars.length}`) : '';
    ui.noMatch.hidden = !(view.live && shown === 0 && view.vars.length > 0);
  }

  // ---- Editing a value in place ---------------------------------------------

  function openEditor(v) {
    if (v.editing || !view.allowSet) return;
    v.editing = true;
    const box = document.createElement('span');
    box.className = 'editor';
    const input = document.createElement('input');
    input.value = v.value === null ? '' : String(v.value);
    input.spellcheck = false;
    input.setAttribute('aria-label', 'New value of ' + plainText(v.name));
    const cancel = document.createElement('button');
    cancel.type = 'button';
    cancel.textContent = 'Cancel';
    const refusal = document.createElement('span');
    refusal.className = 'refusal';
    box.append(input, cancel, refusal);
    v.valueBox.replaceChildren(box);
    v.valueCell.classList.add('editing');
    input.focus();
    input.select();
    const close = () => {
      v.editing = false;
      v.valueCell.classList.remove('editing');
      displayValue(v, v.valueBox);
    };
    cancel.addEventListener('click', (event) => { event.stopPropagation(); close(); });
    box.addEventListener('click', (event) => event.stopPropagation());
    input.addEventListener('keydown', async (event) => {
      if (event.key === 'Escape') close();
      if (event.key !== 'Enter') return;
      const reason = await setValue(v, input.value);
      if (reason === null) return close();
      refusal.textContent = reason;
      input.classList.add('refused');
    });
  }

  // Null when the value was set, else the server's reason.
  async function setValue(v, text) {
    // Text goes as a JSON string: typed characters as their UTF-8, lone
    // bytes kept from the value as they came; numbers as typed, as
    // keltoctl set takes them (0x1f, -inf).
    const json = v.type === '$';
    try {
      const answer = await api('api/vars/' + encodeName(v.name), {
        method: 'PUT',
        headers: { 'Content-Type': json ? 'application/json' : 'text/plain' },
        body: json ? JSON.stringify(text) : text,
      });
      const result = await answer.json();
      if (answer.ok) {
        v.value = result.value;
        return null;
      }
      return result.error || `refused (${answer.status})`;
    } catch (_) {
      return 'no answer from the server';
    }
  }

  // ---- The plot ---------------------------------------------------------------

  function togglePlot(ident) {
    const at = view.plotted.indexOf(ident);
    if (at >= 0) view.plotted.splice(at, 1); else view.plotted.push(ident);
    renderPlotPanel();
  }

  ui.plotClose.addEventListener('click', () => {
    view.plotted = [];
    renderPlotPanel();
  });

  function renderPlotPanel() {
    for (const v of view.vars) {
      if (v.row) v.row.classList.toggle('plotted', view.plotted.includes(v.ident));
    }
    ui.plotPanel.hidden = view.plotted.length === 0;
    scheduleSight();
    ui.plotSeries.replaceChildren(...view.plotted.map((ident, n) => {
      const chip = document.createElement('span');
      chip.className = 'chip';
      const swatch = document.createElement('i');
      swatch.style.background = PLOT_COLOURS[n % PLOT_COLOURS.length];
      const remove = document.createElement('button');
      remove.type = 'button';
      remove.textContent = '×';
      remove.title = 'Remove from the plot';
      remove.addEventListener('click', () => togglePlot(ident));
      const label = document.createElement('span');
      showText(label, view.vars[ident].name);
      chip.append(swatch, label, remove);
      return chip;
    }));
    if (view.plotted.length === 0) {
      if (view.graph) { view.graph.destroy(); view.graph = null; }
      return;
    }
    if (typeof Dygraph === 'undefined') {
      ui.plot.textContent = 'This build of keltoctl has no plot (built without libjs-dygraphs).';
      return;
    }
    if (view.graph) { view.graph.destroy(); view.graph = null; }
    view.hoverTime = null;
    const series = plotData();
    view.graph = new Dygraph(ui.plot, series.rows, {
      labels: series.labels,
      colors: view.plotted.map((_, n) => PLOT_COLOURS[n % PLOT_COLOURS.length]),
      stepPlot: true,
      connectSeparatedPoints: true,
      strokeWidth: 1.6,
      legend: 'always',
      labelsDiv: ui.plotLegend,
      labelsSeparateLines: false,
      axes: {
        x: {
          valueFormatter: (ms) => new Date(ms).toLocaleTimeString([], { hour12: false }) + '.' +
                                  String(new Date(ms).getMilliseconds()).padStart(3, '0'),
        },
      },
      highlightCallback: (event, x) => { view.hoverTime = x; },
      unhighlightCallback: () => { view.hoverTime = null; },
      gridLineColor: 'rgba(128,128,128,0.25)',
      axisLineColor: 'rgba(128,128,128,0.6)',
      highlightCircleSize: 3,
    });
    view.plotDirty = false;
  }

  // Rows for the plot: every moment one of its variables changed, each
  // variable's value then (a value holds until the next), and now.
  function plotData() {
    const labels = ['Time', ...view.plotted.map((i) => plainText(view.vars[i].name))];
    const times = new Set();
    for (const ident of view.plotted) for (const t of view.vars[ident].history.t) times.add(t);
    const now = Date.now();
    times.add(now);
    const start = now - PLOT_WINDOW_MS;
    const sorted = [...times].filter((t) => t >= start).sort((a, b) => a - b);
    const cursors = view.plotted.map(() => 0);
    const rows = sorted.map((time) => {
      const row = [new Date(time)];
      view.plotted.forEach((ident, n) => {
        const h = view.vars[ident].history;
        while (cursors[n] + 1 < h.t.length && h.t[cursors[n] + 1] <= time) cursors[n]++;
        const value = h.t.length && h.t[cursors[n]] <= time ? h.v[cursors[n]] : null;
        row.push(Number.isFinite(value) ? value : null);
      });
      return row;
    });
    return { labels, rows };
  }

  function rowAtOrBefore(rows, time) {
    let low = 0;
    let high = rows.length - 1;
    while (low < high) {
      const middle = (low + high + 1) >> 1;
      if (rows[middle][0].getTime() <= time) low = middle; else high = middle - 1;
    }
    return low;
  }

  // The plot follows at most twice a second.
  setInterval(() => {
    if (!view.plotDirty || !view.graph) return;
    view.plotDirty = false;
    const rows = plotData().rows;
    view.graph.updateOptions({ file: rows });
    // A redraw clears the values shown on hover: show them again for the
    // moment under the pointer.
    if (view.hoverTime !== null) view.graph.setSelection(rowAtOrBefore(rows, view.hoverTime));
  }, 500);

  // ---- The connection ---------------------------------------------------------

  function updateStatus() {
    ui.status.className = 'status' + (!view.connected ? ' lost' : view.live ? ' live' : '');
    ui.status.title = !view.connected ? 'No connection to the server'
                                      : view.live ? 'Live' : 'No live table';
  }

  function showLost() {
    view.connected = false;
    ui.bannerConnection.hidden = false;
    updateStatus();
  }

  // The event stream cannot carry the token in a header: with a token, it
  // opens with a ticket that is good for this one stream only.
  async function streamAddress() {
    if (token === '') return 'api/events';
    const answer = await api('api/ticket', { method: 'POST' });
    if (!answer.ok) throw new Error(`no ticket (${answer.status})`);
    return 'api/events?ticket=' + encodeURIComponent((await answer.json()).ticket);
  }

  async function connect() {
    let address;
    try {
      address = await streamAddress();
    } catch (_) {
      showLost();
      setTimeout(connect, 2000);
      return;
    }
    const events = new EventSource(address);
    events.addEventListener('open', () => {
      view.connected = true;
      ui.bannerConnection.hidden = true;
      updateStatus();
    });
    events.addEventListener('table', (event) => applyTable(JSON.parse(event.data)));
    events.addEventListener('values', (event) => applyValues(JSON.parse(event.data)));
    events.addEventListener('error', () => {
      showLost();
      // The browser tries again by itself unless the server refused the
      // stream outright; then this page does, a little later. A used
      // ticket would be refused, so with a token this page always does,
      // with a fresh one.
      if (token !== '' && events.readyState !== EventSource.CLOSED) {
        events.close();
        setTimeout(connect, 1000);
      } else if (events.readyState === EventSource.CLOSED) {
        setTimeout(connect, 2000);
      }
    });
  }

  connect();
})();
