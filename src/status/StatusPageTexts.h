// The settings page the status server serves at /app: one self-contained document. Every value
// it shows is put in as text by its script, read from /status and from the data block that the
// server puts in place of TVRN_PAGE_DATA.
#pragma once

#include <string_view>

namespace tvrn::StatusPageTexts {

inline constexpr std::string_view kDataMarker = "TVRN_PAGE_DATA";

inline constexpr std::string_view kPage = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Tavrin Settings</title>
<style>
  body { font-family: system-ui, sans-serif; margin: 0; background: #f5f5f7; color: #1d1d1f; }
  header { padding: 16px 24px; background: #fff; border-bottom: 1px solid #ddd; }
  h1 { font-size: 18px; margin: 0 0 8px; }
  nav a { margin-right: 16px; text-decoration: none; color: #555; padding-bottom: 4px; }
  nav a.active { color: #0a66d8; border-bottom: 2px solid #0a66d8; }
  section { display: none; padding: 16px 24px; max-width: 760px; }
  section.active { display: block; }
  .row { background: #fff; border-radius: 8px; padding: 12px 16px; margin-bottom: 12px; }
  .label { font-size: 12px; color: #666; margin-bottom: 4px; }
  code { font-family: ui-monospace, monospace; font-size: 13px; word-break: break-all; }
  .error { color: #c0392b; font-size: 12px; }
  label.switch { display: flex; align-items: center; gap: 8px; }
</style>
</head>
<body>
<header>
  <h1>Tavrin <span id="version"></span></h1>
  <nav><a href="#tab-connect" id="link-connect">Connect</a><a href="#tab-help" id="link-help">Help</a></nav>
</header>
<section id="tab-connect">
  <div class="row"><div class="label">MCP socket</div><code id="socket"></code></div>
  <div class="row"><div class="label">Command for clients that start a stdio server</div><code id="socat"></code></div>
  <div class="row"><label class="switch"><input type="checkbox" id="auto-update"> Auto-update</label></div>
  <div class="row">
    <label class="switch"><input type="checkbox" id="cloud-data"> Let cloud agents reach my data through the relay</label>
    <div class="error" id="cloud-data-error"></div>
  </div>
</section>
<section id="tab-help">
  <div class="row"><div class="label">Settings</div><code id="path-config"></code></div>
  <div class="row"><div class="label">System-wide settings</div><code id="path-system-config"></code></div>
  <div class="row"><div class="label">Server log</div><code id="path-log"></code></div>
  <div class="row"><div class="label">Audit log</div><code id="path-audit"></code></div>
  <div class="row"><div class="label">Status file</div><code id="path-status"></code></div>
  <div class="row"><div class="label">Socket, helper programs and markers</div><code id="path-share"></code></div>
</section>
<script type="application/json" id="page-data">TVRN_PAGE_DATA</script>
<script>
(function () {
  var data = JSON.parse(document.getElementById('page-data').textContent);
  function show(id, value) { document.getElementById(id).textContent = value == null ? '' : String(value); }
  show('path-config', data.config);
  show('path-system-config', data.system_config);
  show('path-log', data.log);
  show('path-audit', data.audit);
  show('path-status', data.status);
  show('path-share', data.share);

  function selectTab() {
    var help = location.hash === '#tab-help';
    document.getElementById('tab-connect').className = help ? '' : 'active';
    document.getElementById('tab-help').className = help ? 'active' : '';
    document.getElementById('link-connect').className = help ? '' : 'active';
    document.getElementById('link-help').className = help ? 'active' : '';
  }
  window.addEventListener('hashchange', selectTab);
  selectTab();

  function post(path, body) {
    return fetch(path, { method: 'POST', headers: { 'Content-Type': 'application/json' },
                         body: JSON.stringify(body) }).then(function (r) { return r.json(); });
  }

  var autoUpdate = document.getElementById('auto-update');
  var cloudData = document.getElementById('cloud-data');
  function refresh() {
    return fetch('/status').then(function (r) { return r.json(); }).then(function (status) {
      var socket = String(status.url || '').replace(/^unix:\/\//, '');
      show('version', 'v' + status.version);
      show('socket', socket);
      show('socat', data.stdio_server || 'socat STDIO UNIX-CONNECT:' + socket);
      autoUpdate.checked = status.auto_update === true;
      cloudData.checked = status.cloud_data_enabled === true;
    });
  }
  autoUpdate.addEventListener('change', function () {
    post('/config', { auto_update: autoUpdate.checked }).then(refresh);
  });
  cloudData.addEventListener('change', function () {
    show('cloud-data-error', '');
    post('/cloud-data-enable', { enabled: cloudData.checked }).then(function (answer) {
      if (!answer.ok) show('cloud-data-error', answer.error);
      return refresh();
    });
  });
  refresh();
})();
</script>
</body>
</html>
)HTML";

}  // namespace tvrn::StatusPageTexts
