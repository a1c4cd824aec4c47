// Loaded first on every page of the guide; nothing here is fetched from the network.
//
// A page opened from disk (file://) may not start the Web Worker that search
// runs in, and the guide loads no polyfill from elsewhere to emulate one. So
// there search is not shown, and a Worker that does nothing stands in for the
// real one so that the rest of the page's scripts go on. Over http(s) the
// browser's own Worker runs search as usual. (The file's name tells the theme's
// offline plugin that a worker shim is configured, so it adds none of its own.)
(function () {
  if (window.location.protocol !== "file:") {
    return;
  }
  var style = document.createElement("style");
  style.textContent = ".md-search, label[for='__search'] { display: none !important; }";
  document.head.appendChild(style);
  function QuietWorker() {}
  QuietWorker.prototype.postMessage = function () {};
  QuietWorker.prototype.terminate = function () {};
  QuietWorker.prototype.addEventListener = function () {};
  QuietWorker.prototype.removeEventListener = function () {};
  window.Worker = QuietWorker;
})();
