// Draws quorkit-memlog's report from the JSON block beside this script. Everything the page
// shows comes from that block; the page loads nothing else.
(function () {
  'use strict';
  var data = JSON.parse(document.getElementById('memlog-data').textContent);
  var S = data.strings;
  var page = document.getElementById('report');

  function el(tag, className, text) {
    var e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function add(parent) {
    for (var i = 1; i < arguments.length; i++) parent.appendChild(arguments[i]);
    return parent;
  }
  function put(parent, child) { return parent.appendChild(child); }
  function count(n) { return n.toLocaleString('en-US'); }
  function bytes(n) {
    var units = ['bytes', 'KiB', 'MiB', 'GiB', 'TiB'], u = 0;
    for (; n >= 1024 && u < units.length - 1; u++) n /= 1024;
    return (u ? String(+n.toFixed(n < 10 ? 2 : 1)) : count(Math.round(n))) + ' ' + units[u];
  }
  function percent(part, whole) { return whole ? (100 * part / whole).toFixed(1) + '%' : '0%'; }
  function plural(n, one, many) { return count(n) + ' ' + (n === 1 ? one : many); }
  // One tooltip for the page: showTip(event, [element, ...]) or hideTip().
  var tip = put(document.body, el('div', 'tip'));
  tip.hidden = true;
  function showTip(e, lines) {
    tip.textContent = '';
    lines.forEach(function (line) { add(tip, line); });
    tip.hidden = false;
    tip.style.left = Math.min(e.clientX + 14, window.innerWidth - tip.offsetWidth - 8) + 'px';
    tip.style.top = e.clientY + 16 + 'px';
  }
  function hideTip() { tip.hidden = true; }

  function section(id, title, aside) {
    var s = el('section');
    s.id = id;
    var h = el('h2', '', title);
    if (aside) add(h, el('small', '', aside));
    return put(page, add(s, h));
  }

  function header() {
    var h = el('header');
    add(h, el('h1', '', 'Memory report: ' + S[data.log]));
    add(h, el('p', '', 'Written by quorkit-memlog ' + data.version + ' from ' +
      plural(data.summary.events, 'event', 'events') + '.'));
    add(page, h);
  }

  function summary() {
    var s = data.summary, cards = el('div', 'cards');
    var allocs = 0, releases = 0;
    s.ops.forEach(function (op) {
      if (/free|delete/.test(op[0])) releases += op[1]; else if (op[0] !== 'none') allocs += op[1];
    });
    function card(label, value, sub, bad) {
      add(cards, add(el('div', 'card' + (bad ? ' bad' : '')), el('div', 'label', label),
        el('div', 'value', value), el('div', 'sub', sub)));
    }
    card('Live at the end', bytes(s.liveBytes), plural(s.liveBlocks, 'block', 'blocks') +
      ' not released', s.liveBlocks > 0);
    card('Peak', bytes(s.peakBytes), plural(s.peakBlocks, 'block', 'blocks') + ' at event ' +
      count(s.peakEvent));
    card('Events', count(s.events), plural(allocs, 'allocation', 'allocations') + ', ' +
      plural(releases, 'release', 'releases'));
    card('Leaking stacks', count(data.leaks.rows.length + data.leaks.omitted),
      'of ' + plural(s.stacks, 'distinct stack', 'distinct stacks'), s.liveBlocks > 0);
    var odd = s.unknownReleases + s.doubleAllocations;
    card('Anomalies', count(odd), count(s.unknownReleases) + ' unknown releases, ' +
      count(s.doubleAllocations) + ' reused live addresses', odd > 0);
    add(section('summary', 'Summary'), cards);
  }

  // About four grid lines at round numbers of the unit the peak is shown in.
  function tickStep(top) {
    var unit = Math.pow(1024, Math.max(0, Math.floor(Math.log(top) / Math.log(1024))));
    var raw = top / unit / 4, p = Math.pow(10, Math.floor(Math.log10(raw)));
    var nice = raw / p < 1.5 ? 1 : raw / p < 3.5 ? 2 : raw / p < 7.5 ? 5 : 10;
    return Math.max(1, nice * p * unit);
  }

  // Live bytes over the events: the band spans the least and most of each bucket of events.
  function chart() {
    var t = data.timeline, s = data.summary, host = section('timeline', 'Live bytes over the run',
      t.span > 1 ? 'each point: ' + count(t.span) + ' events' : '');
    var box = put(host, el('div', 'chart'));
    var NS = 'http://www.w3.org/2000/svg';
    function svgEl(tag, attrs, parent) {
      var e = document.createElementNS(NS, tag);
      for (var k in attrs) e.setAttribute(k, attrs[k]);
      return parent ? put(parent, e) : e;
    }
    function draw() {
      box.textContent = '';
      var W = Math.max(box.clientWidth, 300), H = 220, L = 78, R = 16, T = 22, B = 26;
      var svg = svgEl('svg', { viewBox: '0 0 ' + W + ' ' + H, role: 'img' }, box);
      var n = t.high.length, top = Math.max(s.peakBytes, 1), last = Math.max(s.events, 1);
      function x(event) { return L + (W - L - R) * (last > 1 ? (event - 1) / (last - 1) : 0.5); }
      function y(v) { return T + (H - T - B) * (1 - v / top); }
      function xOf(i) { return x(Math.min(i * t.span + 1, last)); }
      for (var v = 0, step = tickStep(top); v <= top; v += step) {
        svgEl('line', { x1: L, x2: W - R, y1: y(v), y2: y(v), 'class': 'grid' }, svg);
        svgEl('text', { x: L - 8, y: y(v) + 4, 'text-anchor': 'end', 'class': 'axis' }, svg)
          .textContent = bytes(v);
      }
      [1, last].forEach(function (e, k) {
        svgEl('text', { x: x(e), y: H - 8, 'text-anchor': k ? 'end' : 'start', 'class': 'axis' },
          svg).textContent = 'event ' + count(e);
      });
      if (!n) return;
      var upper = '', lower = '', curve = '';
      for (var i = 0; i < n; i++) {
        upper += (i ? 'L' : 'M') + xOf(i).toFixed(1) + ',' + y(t.high[i]).toFixed(1);
        lower = 'L' + xOf(i).toFixed(1) + ',' + y(t.low[i]).toFixed(1) + lower;
        curve += (i ? 'L' : 'M') + xOf(i).toFixed(1) + ',' + y(t.high[i]).toFixed(1);
      }
      svgEl('path', { d: upper + lower + 'Z', 'class': 'band' }, svg);
      svgEl('path', { d: curve, 'class': 'curve' }, svg);
      var peak = svgEl('g', { 'class': 'peak' }, svg), px = x(s.peakEvent), py = y(s.peakBytes);
      svgEl('line', { x1: px, x2: px, y1: T - 6, y2: H - B }, peak);
      svgEl('circle', { cx: px, cy: py, r: 4 }, peak);
      svgEl('text', { x: px + (px > W / 2 ? -8 : 8), y: T - 8 + 12, 'text-anchor': px > W / 2 ? 'end' : 'start' },
        peak).textContent = 'peak ' + bytes(s.peakBytes) + ' at event ' + count(s.peakEvent);
      var guide = svgEl('line', { y1: T, y2: H - B, 'class': 'guide' }, svg);
      guide.style.display = 'none';
      svg.addEventListener('mousemove', function (e) {
        var box = svg.getBoundingClientRect(), px = (e.clientX - box.left) * W / box.width;
        if (px < L || px > W - R) { guide.style.display = 'none'; return hideTip(); }
        var event = 1 + (px - L) / (W - L - R) * (last - 1);
        var i = Math.max(0, Math.min(n - 1, Math.floor((event - 1) / t.span)));
        var from = i * t.span + 1, to = Math.min((i + 1) * t.span, last);
        guide.setAttribute('x1', xOf(i));
        guide.setAttribute('x2', xOf(i));
        guide.style.display = '';
        showTip(e, [el('div', '', from === to ? 'event ' + count(from) : 'events ' + count(from) +
          '\u2013' + count(to)), el('div', '', (t.low[i] === t.high[i] ? '' : bytes(t.low[i]) +
          ' to ') + bytes(t.high[i]) + ' live')]);
      });
      svg.addEventListener('mouseleave', function () { guide.style.display = 'none'; hideTip(); });
    }
    draw();
    window.addEventListener('resize', draw);
  }

  function frameItem(row, k) {
    var li = el('li', 'frame');
    add(li, el('span', 'fn', S[row[6][2 * k]]));
    if (row[6][2 * k + 1]) add(li, el('span', 'loc', S[row[6][2 * k + 1]]));
    return li;
  }

  // Largest first; a click on a row opens its stack below it, innermost frame first.
  function leaks() {
    var L = data.leaks, host = section('leaks', 'Leaks', 'blocks live at the end, by stack');
    if (!L.rows.length) return add(host, el('p', 'note', 'No leaks: every block was released.'));
    var table = put(host, el('table')), thead = put(table, el('thead')), body = put(table, el('tbody'));
    var order = { key: 0, down: true }, open = {}, limit = 20;
    var hr = put(thead, el('tr'));
    add(hr, el('th', 'num', '#'));
    [['Bytes', 0], ['Blocks', 1]].forEach(function (c) {
      var th = put(hr, el('th', 'num sortable', c[0]));
      th.dataset.sort = c[0].toLowerCase();
      add(th, el('span', 'arrow'));
      th.addEventListener('click', function () {
        order = { key: c[1], down: order.key === c[1] ? !order.down : true };
        fill();
      });
    });
    add(hr, el('th', 'share', 'Share of the leaked bytes'), el('th', '', 'Allocated from (innermost frame)'));
    var more = put(host, el('button', 'more'));
    more.addEventListener('click', function () { limit = Infinity; fill(); });
    var rank = L.rows.map(function (r, i) { return i; });
    function fill() {
      rank.sort(function (a, b) {
        var d = L.rows[a][order.key] - L.rows[b][order.key];
        return (order.down ? -d : d) || a - b;
      });
      hr.querySelectorAll('th.sortable').forEach(function (th, k) {
        th.lastChild.textContent = k === order.key ? (order.down ? '\u25BC' : '\u25B2') : '';
      });
      body.textContent = '';
      more.hidden = rank.length <= limit;
      more.textContent = 'Show all ' + count(rank.length) + ' stacks';
      rank.slice(0, limit).forEach(function (i) {
        var r = L.rows[i], tr = put(body, el('tr', 'leak'));
        var bar = el('td', 'share');
        add(bar, el('span', 'bar'), el('span', '', percent(r[0], data.summary.liveBytes)));
        bar.firstChild.style.width = Math.max(1, 110 * r[0] / data.summary.liveBytes) + 'px';
        add(tr, el('td', 'num', String(i + 1)), el('td', 'num', count(r[0])),
          el('td', 'num', count(r[1])), bar, el('td', 'where', r[6].length ? S[r[6][0]] : '(no frames)'));
        tr.title = bytes(r[0]) + ' in ' + plural(r[1], 'block', 'blocks');
        tr.addEventListener('click', function () { open[i] = !open[i]; fill(); });
        if (!open[i]) return;
        tr.classList.add('open');
        var ol = el('ol', 'stack');
        for (var k = 0; k < r[6].length / 2; k++) add(ol, frameItem(r, k));
        if (r[5]) add(ol, el('li', 'loc', plural(r[5], 'more frame', 'more frames')));
        var td = el('td');
        td.colSpan = 5;
        add(td, el('p', 'first', 'First of these blocks: ' + r[3] + ' at event ' + count(r[2]) +
          ', region ' + hex(r[4], 4)), ol);
        add(body, add(el('tr', 'stack'), td));
      });
    }
    fill();
    if (L.omitted)
      add(host, el('p', 'note', plural(L.omitted, 'smaller stack', 'smaller stacks') + ' (' +
        bytes(L.omittedBytes) + ') not listed; quorkit-memlog leaks lists them all.'));
  }

  // Boxes are laid out from the flat depth-first list: a node's subtree is the run of nodes
  // after it up to end[i], and its left edge is off[i] bytes into the root.
  function prepareTree(flat) {
    var n = flat.length / 4, path = [], next = [];  // next[i]: where i's next child starts
    var t = { name: [], depth: [], value: [], flags: [], off: [], end: [], parent: [] };
    for (var i = 0; i < n; i++) {
      var d = flat[4 * i + 1];
      while (path.length > d) t.end[path.pop()] = i;
      var p = d ? path[d - 1] : -1;
      t.name.push(S[flat[4 * i]]);
      t.depth.push(d);
      t.value.push(flat[4 * i + 2]);
      t.flags.push(flat[4 * i + 3]);
      t.parent.push(p);
      t.off.push(p < 0 ? 0 : next[p]);
      if (p >= 0) next[p] += t.value[i];
      next[i] = t.off[i];
      t.end.push(n);
      path.push(i);
    }
    return t;
  }

  function colour(t, i) {
    if (t.flags[i] & 2) return '#c8ccd2';
    var h = 2166136261, s = t.name[i];
    for (var k = 0; k < s.length; k++) h = Math.imul(h ^ s.charCodeAt(k), 16777619) >>> 0;
    return 'rgb(' + (205 + h % 50) + ',' + ((h >>> 8) % 180 + 40) + ',' + ((h >>> 16) % 55) + ')';
  }

  function flame() {
    var host = section('flame', 'Flame graph of live memory', 'outermost frame on top; click a box to zoom');
    var trees = { end: prepareTree(data.flame.end), peak: prepareTree(data.flame.peak) };
    var bar = put(host, el('div', 'controls')), views = {};
    [['end', 'At the end'], ['peak', 'At the peak']].forEach(function (v) {
      views[v[0]] = put(bar, el('button', '', v[1]));
      views[v[0]].addEventListener('click', function () { show(v[0]); });
    });
    var search = put(bar, el('input'));
    search.id = 'flame-search';
    search.type = 'search';
    search.placeholder = 'Highlight frames containing\u2026';
    var reset = put(bar, el('button', '', 'Reset zoom'));
    reset.id = 'flame-reset';
    var status = put(bar, el('span', 'status'));
    status.id = 'flame-status';
    var graph = put(host, el('div', 'flame'));
    graph.id = 'flame-graph';
    var ROW = 18, t, view, zoomed = 0, term = '';

    function matches(i) { return term && t.name[i].toLowerCase().indexOf(term) >= 0; }
    function render() {
      graph.textContent = '';
      var W = graph.clientWidth, z = zoomed, deepest = 0;
      function place(cls, x, w, depth, colourOf) {
        var b = put(graph, el('div', 'box' + cls));
        b.style.left = x + 'px';
        b.style.width = Math.max(w, 1) + 'px';
        b.style.top = depth * ROW + 'px';
        b.style.background = colourOf;
        deepest = Math.max(deepest, depth);
        return b;
      }
      function box(i, x, w, cls) {
        var b = place(cls + (matches(i) ? ' match' : '') + (t.flags[i] & 1 ? ' cut' : ''), x, w,
          t.depth[i], colour(t, i));
        b.dataset.i = i;
        if (w > 28) b.textContent = t.name[i];
      }
      // Neighbours too narrow for a pixel each are drawn as one grey box per row; a click zooms
      // into their nearest common caller, where they get room.
      var gaps = [];
      function flushGap(d) {
        var g = gaps[d];
        if (!g) return;
        gaps[d] = null;
        var b = place(' narrow', g.x, g.w, d, '#c8ccd2');
        var p = t.parent[g.first], q = t.parent[g.last];
        while (p !== q) { p = t.parent[p]; q = t.parent[q]; }
        b.dataset.caller = p;
        b.dataset.about = plural(g.n, 'frame', 'frames') + ' too narrow to draw: ' + bytes(g.value);
      }
      for (var a = t.parent[z]; a >= 0; a = t.parent[a]) box(a, 0, W, ' ancestor');
      var scale = t.value[z] ? W / t.value[z] : 0;
      for (var i = z; i < t.end[z];) {
        var x = (t.off[i] - t.off[z]) * scale, w = t.value[i] * scale, d = t.depth[i];
        if (w >= 0.5 || i === z) {
          flushGap(d);
          box(i, x, w, '');
          i++;
          continue;
        }
        if (gaps[d] && Math.abs(gaps[d].x + gaps[d].w - x) > 0.01) flushGap(d);
        var g = gaps[d] = gaps[d] || { first: i, x: x, w: 0, n: 0, value: 0 };
        g.last = i;
        g.w = x + w - g.x;
        g.n++;
        g.value += t.value[i];
        i = t.end[i];
      }
      gaps.forEach(function (g, d) { flushGap(d); });
      graph.style.height = (deepest + 1) * ROW + 'px';
      reset.disabled = z === 0;
      // Nested matches are the same bytes: a match's subtree is skipped, not added again.
      var hit = 0, boxes = 0;
      for (var j = 0; term && j < t.name.length;) {
        if (matches(j)) { hit += t.value[j]; boxes++; j = t.end[j]; } else j++;
      }
      status.textContent = term ? '\u201C' + search.value.trim() + '\u201D: ' + bytes(hit) + ', ' + percent(hit, t.value[0]) +
        ' of the live bytes ' + (view === 'end' ? 'at the end' : 'at the peak') :
        bytes(t.value[0]) + ' live ' + (view === 'end' ? 'at the end' : 'at the peak');
      status.dataset.matched = boxes;
    }
    function show(v) {
      view = v; t = trees[v]; zoomed = 0;
      for (var k in views) views[k].setAttribute('aria-pressed', String(k === v));
      render();
    }
    graph.addEventListener('click', function (e) {
      var d = e.target.dataset;
      if (d.i === undefined && d.caller === undefined) return;
      zoomed = +(d.i === undefined ? d.caller : d.i);
      render();
    });
    graph.addEventListener('mousemove', function (e) {
      var i = e.target.dataset.i, about = e.target.dataset.about;
      if (about) showTip(e, [el('div', '', about), el('div', '', 'click to zoom into their caller')]);
      else if (i !== undefined) showTip(e, describe(+i));
      else hideTip();
    });
    function describe(i) {
      var lines = [el('div', 'name', t.name[i]), el('div', '', bytes(t.value[i]) + ' (' +
        count(t.value[i]) + ' bytes), ' + percent(t.value[i], t.value[0]) + ' of all' +
        (t.parent[i] >= 0 ? ', ' + percent(t.value[i], t.value[t.parent[i]]) + ' of its caller' : ''))];
      if (t.flags[i] & 1) lines.push(el('div', '', 'deeper frames not drawn'));
      return lines;
    }
    graph.addEventListener('mouseleave', hideTip);
    search.addEventListener('input', function () { term = search.value.trim().toLowerCase(); render(); });
    reset.addEventListener('click', function () { zoomed = 0; render(); });
    document.addEventListener('keydown', function (e) {
      if (e.key === 'Escape') { zoomed = 0; render(); }
    });
    window.addEventListener('resize', render);
    show('end');
  }

  function table(id, title, heads, rows) {
    var host = section(id, title);
    if (!rows.length) return add(host, el('p', 'note', 'None in this log.'));
    var tb = put(host, el('table'));
    var hr = put(put(tb, el('thead')), el('tr')), body = put(tb, el('tbody'));
    heads.forEach(function (h) { add(hr, el('th', h[1], h[0])); });
    rows.forEach(function (r) {
      var tr = put(body, el('tr'));
      r.forEach(function (v, k) { add(tr, el('td', heads[k][1], v)); });
    });
  }

  function hex(v, digits) { return '0x' + ('00000000' + v.toString(16)).slice(-digits); }

  header();
  summary();
  chart();
  leaks();
  flame();
  table('regions', 'Regions', [['Region', 'mono'], ['Events', 'num'], ['Live blocks', 'num'],
    ['Live bytes', 'num'], ['Peak bytes', 'num'], ['Peak at event', 'num']],
  data.regions.map(function (r) {
    return [hex(r[0], 4), count(r[1]), count(r[2]), count(r[3]), count(r[4]), count(r[5])];
  }));
  table('modules', 'Modules', [['Base', 'mono'], ['Path', 'mono']],
    data.modules.map(function (m) { return [hex(m[0], 8), S[m[1]]]; }));
  add(page, el('footer', '', 'Self-contained: this file loads nothing from the network.'));
})();
