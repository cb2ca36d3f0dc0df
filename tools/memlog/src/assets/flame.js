// Click a box to zoom into it, "Reset zoom" (or Escape) to go back, "Search" (or Ctrl+F) to
// highlight the frames whose name contains a text and see their share of the bytes, hover a
// box for its bytes. The boxes come drawn for viewers without scripts; this only moves them.
(function () {
  'use strict';
  var NS = 'http://www.w3.org/2000/svg';
  var svg = document.documentElement;
  var frames = document.getElementById('frames');
  var pad = +frames.getAttribute('data-pad');
  var inner = +svg.getAttribute('width') - 2 * pad;
  var details = document.getElementById('details');
  var matched = document.getElementById('matched');
  var reset = document.getElementById('reset');

  var boxes = Array.prototype.map.call(frames.querySelectorAll('g'), function (g) {
    var rect = g.querySelector('rect');
    var lines = g.querySelector('title').textContent.split('\n');
    return {
      g: g, rect: rect, label: g.querySelector('text'), name: lines[0], about: lines.slice(1).join(', '),
      x: +rect.getAttribute('x'), w: +rect.getAttribute('width'), y: +rect.getAttribute('y'),
      fill: rect.getAttribute('fill')
    };
  });

  function fit(box, x, w) {
    var chars = Math.floor((w - 6) / 7);
    var text = chars < 3 ? '' : box.name.length <= chars ? box.name : box.name.slice(0, chars - 2) + '..';
    if (!box.label && text) {
      box.label = document.createElementNS(NS, 'text');
      box.label.setAttribute('y', box.y + 12);
      box.g.appendChild(box.label);
    }
    if (box.label) {
      box.label.textContent = text;
      box.label.setAttribute('x', x + 3);
    }
  }

  function place(box, x, w, shown) {
    box.g.style.display = shown ? '' : 'none';
    if (!shown) return;
    box.rect.setAttribute('x', x);
    box.rect.setAttribute('width', w);
    box.g.style.opacity = '';
    fit(box, x, w);
  }

  // Boxes above the chosen one (deeper frames) within its span stretch to the full width; the
  // ones below it (its callers) span the width too, dimmed; the rest are hidden.
  function zoom(target) {
    var eps = 1e-6, scale = inner / target.w;
    boxes.forEach(function (b) {
      var inside = b.x >= target.x - eps && b.x + b.w <= target.x + target.w + eps;
      if (b.y <= target.y && inside) {
        place(b, pad + (b.x - target.x) * scale, b.w * scale, true);
      } else if (b.y > target.y && b.x <= target.x + eps && b.x + b.w >= target.x + target.w - eps) {
        place(b, pad, inner, true);
        b.g.style.opacity = '0.6';
      } else {
        place(b, 0, 0, false);
      }
    });
    reset.style.display = target.y === boxes[0].y ? 'none' : '';
  }

  function search(term) {
    var spans = [];
    boxes.forEach(function (b) {
      var hit = term && b.name.indexOf(term) >= 0;
      b.rect.setAttribute('fill', hit ? 'rgb(230,0,230)' : b.fill);
      if (hit) spans.push([b.x, b.x + b.w]);
    });
    // Nested matches cover the same bytes: count the union of their spans once.
    spans.sort(function (p, q) { return p[0] - q[0]; });
    var covered = 0, end = -Infinity;
    spans.forEach(function (s) {
      if (s[1] > end) covered += s[1] - Math.max(s[0], end);
      end = Math.max(end, s[1]);
    });
    matched.textContent = term ? 'Matched "' + term + '": ' + (100 * covered / inner).toFixed(1) + '% of the bytes' : '';
  }

  function askSearch() {
    var term = window.prompt('Highlight frames whose name contains:', '');
    if (term !== null) search(term);
  }

  boxes.forEach(function (b) {
    b.g.addEventListener('click', function () { zoom(b); });
    b.g.addEventListener('mouseover', function () { details.textContent = b.name + ': ' + b.about; });
    b.g.addEventListener('mouseout', function () { details.textContent = ' '; });
  });
  reset.addEventListener('click', function () { zoom(boxes[0]); });
  document.getElementById('search').addEventListener('click', askSearch);
  window.addEventListener('keydown', function (e) {
    if (e.key === 'Escape') zoom(boxes[0]);
    if (e.key === 'f' && (e.ctrlKey || e.metaKey)) {
      e.preventDefault();
      askSearch();
    }
  });
})();
