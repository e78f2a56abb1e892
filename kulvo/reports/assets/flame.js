// The interactive flame graph: the call tree of the sampled stacks, callers above callees,
// each frame as wide as its share of the sampled time. Clicking a frame zooms to it; clicking the
// root or a greyed caller zooms back out. The search box marks the frames whose function or
// file holds the text, and says what share of the time they account for.
(function () {
  "use strict";
  var ROW_PX = 18;
  var MIN_WIDTH_FRACTION = 0.001;  // narrower frames are left out of the drawing

  var data = JSON.parse(document.getElementById("kulvo-flame-data").textContent);
  var container = document.getElementById("flame");
  var details = document.getElementById("flame-details");
  var frames = data.frames;  // [function, short file, line, full path]
  var search = document.getElementById("flame-search");
  var found = document.getElementById("flame-found");
  var query = "";

  // Nodes arrive flat as [frame index or -1 for the root, parent index, time in µs], parents
  // first and siblings largest first.
  var nodes = data.nodes.map(function (raw, index) {
    return { index: index, frame: raw[0] >= 0 ? frames[raw[0]] : null, parent: raw[1], time: raw[2],
             children: [], depth: 0, x: 0 };
  });
  var maxDepth = 0;
  nodes.forEach(function (node, index) {
    if (index === 0) return;
    var parent = nodes[node.parent];
    node.parentNode = parent;
    node.depth = parent.depth + 1;
    maxDepth = Math.max(maxDepth, node.depth);
    parent.children.push(node);
  });
  // Horizontal position in sampled time, siblings side by side under their parent.
  nodes.forEach(function (node) {
    var x = node.x;
    node.children.forEach(function (child) {
      child.x = x;
      x += child.time;
    });
  });

  var root = nodes[0];
  container.style.height = (maxDepth + 1) * ROW_PX + "px";

  function baseName(path) {
    var cut = Math.max(path.lastIndexOf("/"), path.lastIndexOf("\\"));
    return cut >= 0 ? path.slice(cut + 1) : path;
  }

  // Short in the box, in full in the tooltip and the details line.
  function shortLabel(node) {
    if (!node.frame) return "all samples";
    return node.frame[0] + "  " + baseName(node.frame[1]) + ":" + node.frame[2];
  }

  function label(node) {
    if (!node.frame) return "all samples";
    return node.frame[0] + " (" + node.frame[3] + ":" + node.frame[2] + ")";
  }

  function colour(node) {
    if (!node.frame) return "hsl(220, 12%, 78%)";
    // One colour per function, so that a function reads the same wherever it is called.
    var text = node.frame[1] + ":" + node.frame[0], hash = 0;
    for (var i = 0; i < text.length; i++) hash = (hash * 31 + text.charCodeAt(i)) | 0;
    var hue = 4 + Math.abs(hash) % 48;  // the reds, oranges and yellows of a flame
    var light = 58 + Math.abs(hash >> 8) % 18;
    return "hsl(" + hue + ", 80%, " + light + "%)";
  }

  function percent(time) {
    return root.time ? (100 * time / root.time).toFixed(1) + "%" : "0%";
  }

  function milliseconds(time) {
    return (time / 1000).toFixed(time < 10000 ? 1 : 0) + " ms";
  }

  function describe(node) {
    return label(node) + ": " + milliseconds(node.time) + ", " + percent(node.time);
  }

  function matches(node) {
    if (!query || !node.frame) return false;
    return (node.frame[0] + " " + node.frame[3]).toLowerCase().indexOf(query) >= 0;
  }

  // The time of the matching frames, each counted once: a match below a match adds nothing.
  function matchedTime(node, underMatch) {
    var own = matches(node);
    if (own && !underMatch) return node.time;
    var total = 0;
    node.children.forEach(function (child) { total += matchedTime(child, underMatch || own); });
    return total;
  }

  var current = null;

  function draw(focus) {
    current = focus;
    container.textContent = "";
    var ancestors = {};
    for (var up = focus; up; up = up.parentNode) ancestors[up.index] = true;
    var fragment = document.createDocumentFragment();
    var drawn = 0;
    nodes.forEach(function (node) {
      var left, width, isAncestor = ancestors[node.index] && node !== focus;
      if (isAncestor) {
        left = 0;
        width = 1;
      } else {
        // Only the focused frame's own subtree is shown beside its callers.
        var inside = false;
        for (var up = node; up; up = up.parentNode) if (up === focus) { inside = true; break; }
        if (!inside) return;
        left = (node.x - focus.x) / focus.time;
        width = node.time / focus.time;
      }
      if (width < MIN_WIDTH_FRACTION) return;
      var box = document.createElement("div");
      box.className = "flame-node" + (isAncestor ? " ancestor" : "") + (node === focus ? " focus" : "") +
        (matches(node) ? " match" : "");
      box.style.left = (left * 100) + "%";
      box.style.width = "calc(" + (width * 100) + "% - 1px)";
      box.style.top = node.depth * ROW_PX + "px";
      box.style.background = colour(node);
      box.title = describe(node);
      var text = document.createElement("span");
      text.textContent = shortLabel(node);
      box.appendChild(text);
      box.addEventListener("click", function () { draw(node); });
      box.addEventListener("mouseenter", function () { details.textContent = describe(node); });
      fragment.appendChild(box);
      drawn++;
    });
    container.appendChild(fragment);
    container.setAttribute("data-drawn", String(drawn));
    details.textContent = focus === root ? "Click a frame to zoom in." : "Zoomed to " + describe(focus) +
      ". Click a greyed caller to zoom out.";
  }

  if (root.time === 0) {
    container.textContent = "No stacks were sampled.";
    container.style.height = "auto";
    return;
  }
  draw(root);
  document.getElementById("flame-reset").addEventListener("click", function () { draw(root); });
  search.addEventListener("input", function () {
    query = search.value.trim().toLowerCase();
    found.textContent = query ? "matches " + percent(matchedTime(root, false)) + " of the time" : "";
    draw(current);
  });
})();
