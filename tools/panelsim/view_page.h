// The live view's page: the panel picture on the left (pulled frame by
// frame, so its rate follows the browser), the state and the peripheral
// controls on the right. Each control names the request it sends in its
// data-post attribute.
#pragma once

constexpr const char* kViewPage = R"html(<!doctype html>
<html><head><meta charset="utf-8"><title>paneld: live view</title>
<style>
body { margin: 0; background: #202124; color: #e8eaed; font: 14px sans-serif; display: flex; }
#screen { position: relative; margin: 8px; height: calc(100vh - 16px); flex: none; }
#panel { height: 100%; display: block; background: #000; }
#nodev { position: absolute; inset: 0; display: flex; align-items: center;
         justify-content: center; background: #000; color: #9aa0a6; font-size: 24px; }
#nodev[hidden] { display: none; }
#side { padding: 8px 16px; min-width: 260px; }
td { padding: 1px 8px 1px 0; vertical-align: top; }
td:first-child { color: #9aa0a6; }
fieldset { border: 1px solid #5f6368; margin: 8px 0; }
input[type=number] { width: 70px; }
#msg { color: #fdd663; min-height: 1.2em; }
</style></head>
<body>
<div id="screen"><img id="panel" src="/panel.jpg" alt="panel"><div id="nodev" hidden>no device</div></div>
<div id="side">
<h3>paneld: simulated panel</h3>
<table id="state"></table>
<fieldset><legend>USB</legend>
<button id="plug" data-post="/usb?state=plug">plug</button>
<button id="unplug" data-post="/usb?state=unplug">unplug</button></fieldset>
<fieldset><legend>microcontroller</legend>
temp <input id="temp" type="number" min="0" max="255" value="30">
pump <input id="pump" type="number" min="0" max="65535" value="1500"><br>
<label><input id="suspend" type="checkbox"> USB suspend</label>
<button id="mcu" data-post="/mcu">set</button></fieldset>
<fieldset><legend>kernel log</legend>
<input id="line" size="28" value="&lt;6&gt;[1.0] tft underrun recover done">
<button id="kmsg" data-post="/kmsg">write</button></fieldset>
<div id="msg"></div>
</div>
<script>
const img = document.getElementById('panel'), nodev = document.getElementById('nodev');
const $ = (id) => document.getElementById(id);
let asked = 0;
// One picture at a time: the next is asked for when the last has arrived,
// at most at the panel's 30 frames per second.
function nextFrame(delay) {
  setTimeout(() => { asked = performance.now(); img.src = '/panel.jpg?t=' + Date.now(); }, delay);
}
img.onload = () => { nodev.hidden = true; nextFrame(Math.max(0, 33 - (performance.now() - asked))); };
img.onerror = () => { nodev.hidden = false; nextFrame(500); };
if (img.complete) nextFrame(0);

const stateNames = { '-1': 'not running', '0': 'stopping', '1': 'running', '99': 'not reported' };
function row(name, value) { return '<tr><td>' + name + '</td><td>' + value + '</td></tr>'; }
function text(v) { return v === null || v === undefined ? '-' : String(v).replace(/[<&]/g, ''); }
function showState(s) {
  const p = s.panel, l = s.link, level = p.backlight === null ? 1000 : Number(p.backlight);
  img.style.filter = 'brightness(' + Math.max(0, Math.min(1, level / 1000)) + ')';
  if (!s.device) nodev.hidden = false;
  let when = '-';
  if (l.time) when = new Date(l.time * 1000).toLocaleTimeString();
  $('state').innerHTML =
    row('device', s.device ? (s.daemon_running ? 'running' : 'daemon not running') : 'no device') +
    row('backlight', text(p.backlight) + (p.backlight === null ? '' : ' / 1000')) +
    row('rotation', text(p.rotator_angle) + '°') +
    row('overlay plane', p.fb1_enabled ? 'on (buffer ' + p.fb1_shown + ')' : 'off') +
    row('video plane', p.fb0 ? p.fb0.width + '×' + p.fb0.height + ' at ' + p.fb0.x + ',' + p.fb0.y : '-') +
    row('clock screen', text(stateNames[String(l.clock_state)] || '-')) +
    row('offline screen', text(stateNames[String(l.offline_state)] || '-')) +
    row('USB controller', text(s.usb)) +
    row('microcontroller', 'temp ' + text(s.mcu.temp) + ', pump ' + text(s.mcu.pump) +
        ', suspend ' + text(s.mcu.suspend)) +
    row('last command', l.last_command === undefined ? '-' : text(l.last_command) + ' at ' + when);
}
function pollState() {
  fetch('/state.json').then((r) => r.json()).then(showState)
    .catch(() => { nodev.hidden = false; }).finally(() => setTimeout(pollState, 500));
}
pollState();

function post(url) {
  fetch(url, { method: 'POST' }).then((r) => r.json())
    .then((j) => { $('msg').textContent = j.ok ? j.result : j.error; })
    .catch((e) => { $('msg').textContent = String(e); });
}
function requestOf(b) {
  if (b.id === 'mcu')
    return b.dataset.post + '?temp=' + $('temp').value + '&pump=' + $('pump').value +
      '&suspend=' + ($('suspend').checked ? 1 : 0);
  if (b.id === 'kmsg') return b.dataset.post + '?line=' + encodeURIComponent($('line').value);
  return b.dataset.post;
}
document.querySelectorAll('[data-post]').forEach((b) => { b.onclick = () => post(requestOf(b)); });
</script>
</body></html>
)html";
