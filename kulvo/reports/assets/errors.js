// Runs first: every script error, console error and blocked request is written into the page,
// where a reader (or a headless browser's DOM dump) sees it.
(function () {
  "use strict";
  var pending = [];
  function show() {
    var box = document.getElementById("kulvo-errors");
    if (!box) return false;
    box.textContent = pending.join("\n");
    box.setAttribute("data-count", String(pending.length));
    box.hidden = pending.length === 0;
    return true;
  }
  function record(message) {
    pending.push(String(message));
    show();
  }
  window.addEventListener("error", function (event) {
    record("error: " + event.message + " (" + event.filename + ":" + event.lineno + ")");
  });
  window.addEventListener("unhandledrejection", function (event) {
    record("unhandled rejection: " + event.reason);
  });
  document.addEventListener("securitypolicyviolation", function (event) {
    record("blocked: " + event.blockedURI + " (" + event.violatedDirective + ")");
  });
  var consoleError = console.error;
  console.error = function () {
    record("console.error: " + Array.prototype.join.call(arguments, " "));
    return consoleError.apply(console, arguments);
  };
  document.addEventListener("DOMContentLoaded", show);
})();
