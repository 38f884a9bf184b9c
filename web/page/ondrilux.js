'use strict';
// The synth's window as a page: the engine runs in an AudioWorklet (its
// WebAssembly module), this script plays the window's part.

// PORTS, the plugin's control ports ([symbol, index, minimum, maximum, default]),
// and VERSION come from ondrilux_ports.js, written from the plugins' table.
const PLUGIN_URI = 'https://ondrilux.org/lv2/ondrilux';
// The plugin's state keys of a tuning (its URI + '#'), each a Scala file's
// text: the page's address and presets keep a tuning so too.
const TUNING_KEYS = { scale: 'scale_text', map: 'keyboard_map_text' };
// The names of texts restored from the address or a preset (no file names them).
const RESTORED_NAMES = { scale: 'scale.scl', map: 'keyboard.kbm' };
const IMPORTS = { wasi_snapshot_preview1: { proc_exit() {} } };
const OPTIONS = [
  [120, 80, 60, 'OR'], [200, 80, 60, 'AND'], [280, 80, 60, 'XOR'],
  [90, 140, 200, 'Shift bits by 2 to left'],
  [90, 160, 300, 'Rotate bits by 2 to left, leaving leftmost bit untouched'],
  [90, 180, 300, 'Unconditionally make bits 4-8 from left = 0'],
  [90, 200, 420, 'If from left, bit3 is 0 and bit4 is 1, make bit4 = 0. If bit3 is 1 and bit4 is 1, make bit3 = 0'],
  [90, 220, 300, 'If from left bits 4-5 are 0, make them 1'],
  [90, 240, 300, 'If from left, bits 3-5 are 0, make bits 2-6 = 1'],
  [90, 260, 350, 'Unconditionally flip value of bit 5 from left'],
  [90, 280, 300, 'Unconditionally reverse bits 2-4 from left'],
  [90, 300, 350, 'From left, reverse bits 2-4 And paste them at bit position 4'],
  [90, 320, 400, 'From left, swap the positions in the bit pattern of bits 2-3 And 5-6'],
];
const HELP = ['', 'All the bit operations are performed on a sinewave.', '',
  'Choose an operation. Pull the top and bottom of green rectangle into suitable range for the sound to move smoothly as you play.', '',
  'Can only be played with a virtual or real midi keyboard.', '',
  'Use the ADSR sliders to shape the Attack, Decay, Sustain and Release of the note as you play the keyboard.', '',
  'The way the application works is that each sample value of the sinewave is first converted to an integer that can be',
  'represented on the bits of one byte. Then operations are performed on the individual bits like shift them, re-arrange',
  'them, flip them, and so on. The 8 bit pattern is finally converted back to a sample value, and output as the new waveform.', ''].join('\n');
const KEY_ROWS = ['zsxdcvgbhnjm', 'q2w3e4r5t6y7ui'.replace('4', '')];
const $ = (id) => document.getElementById(id);

const settings = Object.fromEntries(PORTS.map(([s, , , , d]) => [s, d]));
let node = null, analyser = null, starting = null, heldNotes = 0, octave = 3, midiAccess = null, openInput = null;
// The Scala files in force, each { name, text } or null; and a copy of the
// engine on this thread, which checks and names a tuning before the worklet's
// engine takes it, and follows the tuning messages the worklet's engine takes.
let tuning = { scale: null, map: null }, compiled = null, copying = null, copy = null;
const pending = [];
// What the page's own keys hold: computer keys by key, screen keys by pointer.
const heldKeys = new Map(), downKeys = new Map();

// Settings <-> the address's fragment, by the plugin's port symbols.
function readFragment() {
  const fragment = new URLSearchParams(location.hash.slice(1));
  for (const [k, v] of fragment) {
    const port = PORTS.find((p) => p[0] === k);
    const n = Math.round(Number(v));
    if (port && Number.isFinite(n)) settings[k] = Math.min(port[3], Math.max(port[2], n));
  }
  const t = restoredTuning((key) => fragment.get(key));
  if (t.scale || t.map || tuning.scale || tuning.map) tuneTo(t);
}
function writeFragment() {
  const texts = Object.entries(TUNING_KEYS).filter(([f]) => tuning[f]).map(([f, key]) => [key, tuning[f].text]);
  history.replaceState(null, '', '#' + new URLSearchParams([...PORTS.map(([s]) => [s, settings[s]]), ...texts]));
}

function portOf(symbol) { return PORTS.find((p) => p[0] === symbol)[1]; }
function setControl(symbol, value) {
  settings[symbol] = value;
  send([0, 1, portOf(symbol), value]);
  writeFragment();
}
function send(event) { if (node) node.port.postMessage(event); else pending.push(event); }

// Audio: browsers start it only after a click or a key.
function engineModule() {
  return compiled ??= WebAssembly.compileStreaming ? WebAssembly.compileStreaming(fetch('ondrilux.wasm'))
    : fetch('ondrilux.wasm').then((r) => r.arrayBuffer()).then((b) => WebAssembly.compile(b));
}
async function makeNode(context, events) {
  await context.audioWorklet.addModule('ondrilux_worklet.js');
  return new AudioWorkletNode(context, 'ondrilux', {
    numberOfInputs: 0, outputChannelCount: [1],
    processorOptions: { module: await engineModule(), events, tuning: tuningInput(tuning),
      controls: PORTS.map(([s, port]) => [port, settings[s]]) } });
}
function startAudio() {
  if (!starting) starting = (async () => {
    const context = new AudioContext({ sampleRate: 48000, latencyHint: 'interactive' });
    const n = await makeNode(context, []);
    n.connect(context.destination);
    analyser = context.createAnalyser();
    n.connect(analyser);
    await context.resume();
    node = n;
    pending.splice(0).forEach((e) => node.port.postMessage(e));
    $('audio-state').textContent = `Sound on: 48000 frames per second${context.sampleRate === 48000 ? '' :
      `, converted to the device's ${context.sampleRate}`}.`;
    $('audio-state').classList.add('on');
  })().catch((e) => { $('audio-state').textContent = 'No sound: ' + e.message; });
  return starting;
}

// The same engine offline, for a render of messages at their frames
// ([frame, message]): resolves to the samples as base64 of 32-bit floats.
window.ondriluxRenderOffline = async (messages, frames) => {
  const context = new OfflineAudioContext(1, frames, 48000);
  const n = await makeNode(context, messages.map(([f, m]) => [f, 0, m]));
  n.connect(context.destination);
  const data = (await context.startRendering()).getChannelData(0);
  const bytes = new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  let s = '';
  for (let i = 0; i < bytes.length; i += 0x8000) s += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(s);
};
window.ondriluxSettings = settings;
// The loudest sample of the last few milliseconds played.
window.ondriluxPeak = () => {
  if (!analyser) return 0;
  const a = new Float32Array(analyser.fftSize);
  analyser.getFloatTimeDomainData(a);
  return a.reduce((m, v) => Math.max(m, Math.abs(v)), 0);
};

// MIDI in: the note state mirrors the engine's note handling on its channel.
function midi(bytes) {
  const [status, d1 = 0, d2 = 0] = bytes;
  if (status === 0xf0) return exclusive(bytes);
  if (status >= 0xf0 || bytes.length > 3) return;
  send([0, 0, status | (d1 << 8) | (d2 << 16)]);
  const kind = status & 0xf0;
  if (settings.channel !== 0 && (status & 0x0f) + 1 !== settings.channel) return;
  if (kind === 0x90 && d2 > 0) heldNotes++;
  else if (kind === 0x80 || kind === 0x90 || (kind === 0xb0 && (d1 === 120 || d1 === 123)))
    heldNotes = kind === 0xb0 ? 0 : Math.max(0, heldNotes - 1);
  else return;
  $('status-gate').textContent = heldNotes > 0 ? 'On' : 'Off';
}
// The page's own keys play on the channel listened to (1 when it is every one).
function play(note, on) {
  startAudio();
  const status = (on ? 0x90 : 0x80) | Math.max(0, settings.channel - 1);
  if (note >= 0 && note < 128) midi([status, note, on ? 100 : 0]);
}
// A MIDI input closed, switched or the page left: no key-up or pedal lift
// will come, so every key goes up and the pedal lifts now.
function releaseEverything() {
  send([0, 2]);
  heldKeys.clear();
  for (const k of downKeys.values()) k.classList.remove('down');
  downKeys.clear();
  heldNotes = 0;
  if ($('status-gate').textContent) $('status-gate').textContent = 'Off';
}

// A system-exclusive message, when the player lets them in: a tuning message
// retunes the engine and its copy here, which names the tuning in force. One
// longer than any tuning message is left out: the worklet's engine would
// allocate room for it on the audio thread.
function exclusive(bytes) {
  if (!$('sysex').checked || bytes.length > 1024) return;
  send([0, 0, bytes]);
  withCopy((c) => {
    c.m.ondrilux_control(c.engine, portOf('channel'), settings.channel);
    c.m.ondrilux_system_exclusive(c.engine, writeInput(c, bytes));
    showTuning();
  });
}
// System exclusive from Web MIDI needs the player's leave: asked for only now.
async function letInExclusive(e) {
  if (!e.target.checked) return;
  try {
    useMidiAccess(await navigator.requestMIDIAccess({ sysex: true }));
  } catch {
    e.target.checked = false;
    showTuning('The browser lets in no System Exclusive messages.');
  }
}
function useMidiAccess(access) {
  if (openInput) openInput.onmidimessage = null; // its port comes again through `access`
  openInput = null;
  midiAccess = access;
  access.addEventListener('statechange', fillMidiList);
  fillMidiList();
}

// A tuning as the engine reads it: Scala files' texts one after another (the
// scale's file name and text, the keyboard map's), and their lengths.
function tuningInput(t) {
  const parts = [t.scale?.name, t.scale?.text, t.map?.name, t.map?.text].map((s) => new TextEncoder().encode(s ?? ''));
  const bytes = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  parts.reduce((at, p) => (bytes.set(p, at), at + p.length), 0);
  return [bytes, parts.map((p) => p.length)];
}
function withCopy(use) {
  copying ??= engineModule().then((module) => WebAssembly.instantiate(module, IMPORTS)).then((instance) => {
    const m = instance.exports;
    m._initialize();
    copy = { m, engine: m.ondrilux_new() };
  });
  return copying.then(() => use(copy));
}
function writeInput(c, bytes) {
  const at = c.m.ondrilux_input(c.engine, bytes.length); // 0: no memory, which the engine says
  if (at) new Uint8Array(c.m.memory.buffer, at, bytes.length).set(bytes);
  return bytes.length;
}
function cString(c, at) {
  const bytes = new Uint8Array(c.m.memory.buffer, at);
  return new TextDecoder().decode(bytes.subarray(0, bytes.indexOf(0)));
}
// `t` in force when the engine takes it; else what is wrong, the tuning in force kept.
function tuneTo(t) {
  const [bytes, lengths] = tuningInput(t);
  const big = [[t.scale, lengths[1]], [t.map, lengths[3]]].find(([, n]) => n > 1 << 20);
  if (big) return showTuning(`${big[0].name}: too large for a Scala file (over 1 MiB)`);
  return withCopy((c) => {
    writeInput(c, bytes);
    const refusal = c.m.ondrilux_tuning(c.engine, ...lengths);
    if (refusal) return showTuning(cString(c, refusal));
    tuning = t;
    send([0, 3, bytes, lengths]);
    writeFragment();
    showTuning();
  });
}
function showTuning(refusal = '') {
  $('tuning-name').textContent = (copy && cString(copy, copy.m.ondrilux_tuning_name(copy.engine))) || '12-TET';
  $('tuning-fault').textContent = refusal;
}
// Scala files and presets, from the file chooser or dropped on the page.
async function openFiles(files) {
  let t = { ...tuning };
  for (const file of files) {
    const kind = /\.(scl|kbm|ttl)$/i.exec(file.name)?.[1].toLowerCase();
    if (!kind) return showTuning(`${file.name}: no Scala scale (.scl), keyboard map (.kbm) or preset (.ttl)`);
    const text = await file.text();
    if (kind === 'ttl') {
      const preset = readPreset(text);
      applySettings(preset.values);
      t = preset.tuning;
    } else {
      t[kind === 'scl' ? 'scale' : 'map'] = { name: file.name, text };
    }
  }
  return tuneTo(t);
}
// The tuning kept under the state's keys, from `text(key)`: a text or null.
function restoredTuning(text) {
  const file = (f) => (text(TUNING_KEYS[f]) === null ? null : { name: RESTORED_NAMES[f], text: text(TUNING_KEYS[f]) });
  return { scale: file('scale'), map: file('map') };
}

function fillMidiList() {
  const list = $('midi-list'), chosen = list.value || 'keyboard';
  list.replaceChildren(new Option('computer keyboard', 'keyboard'));
  if (midiAccess) for (const input of midiAccess.inputs.values())
    if (input.state !== 'disconnected') list.add(new Option(input.name, input.id));
  list.value = [...list.options].some((o) => o.value === chosen) ? chosen : 'keyboard';
  openMidi();
}
function openMidi() {
  const id = $('midi-list').value;
  if (openInput && openInput.id !== id) { openInput.onmidimessage = null; openInput = null; releaseEverything(); }
  const input = midiAccess && id !== 'keyboard' ? midiAccess.inputs.get(id) : null;
  if (input && input !== openInput) {
    openInput = input;
    input.onmidimessage = (e) => { startAudio(); midi(e.data); };
  }
  $('status-midi').textContent = id === 'keyboard' || input ? 'MIDI IN' : 'No MIDI IN';
}

// The range bar: its edges are rows of its 246-row surface.
let draggingTop = false, draggingBottom = false;
function drawRange() {
  const top = settings.range_top, bottom = settings.range_bottom, rect = $('range-rect');
  if (top === bottom) return; // the picture stays as it was
  rect.style.top = Math.min(top, bottom) + 'px';
  rect.style.height = Math.abs(bottom - top) + 'px';
  rect.classList.toggle('reversed', top > bottom);
}
function dragRangeBar(y) {
  if (!draggingBottom) {
    if (settings.range_top - 5 < y && y < settings.range_top + 5) draggingTop = true;
    if (draggingTop && y >= 2 && y <= 243) { setControl('range_top', y); drawRange(); }
  }
  if (!draggingTop) {
    if (settings.range_bottom - 5 < y && y < settings.range_bottom + 5) draggingBottom = true;
    if (draggingBottom && y >= 4 && y <= 245) { setControl('range_bottom', y); drawRange(); }
  }
}
function setUpRangeBar() {
  const bar = $('range-bar');
  const row = (e) => Math.floor((e.clientY - bar.getBoundingClientRect().top) * 250 /
    bar.getBoundingClientRect().height) - 2;
  bar.addEventListener('pointerdown', (e) => {
    bar.setPointerCapture(e.pointerId);
    dragRangeBar(row(e));
    draggingTop = draggingBottom = false; // the click that follows every press
  });
  bar.addEventListener('pointermove', (e) => { if (e.buttons & 1) dragRangeBar(row(e)); });
  for (const type of ['pointerup', 'pointercancel', 'pointerenter', 'pointerleave'])
    bar.addEventListener(type, () => { draggingTop = draggingBottom = false; });
}

function setUpControls() {
  OPTIONS.forEach(([x, y, w, text], i) => {
    const label = document.createElement('label');
    label.className = 'option' + (w * 1.0 < text.length * 6.2 ? ' small' : '');
    Object.assign(label.style, { left: x + 'px', top: y + 'px', width: w + 'px' });
    const radio = Object.assign(document.createElement('input'), { type: 'radio', name: 'operation', value: i + 1 });
    radio.id = 'option-' + (i + 11);
    radio.addEventListener('change', () => setControl('operation', i + 1));
    label.append(radio, text);
    $('client').insertBefore(label, i < 3 ? $('static') : $('attack'));
  });
  for (const [id, symbol] of [['static', 'static_value'], ['attack', 'attack'], ['decay', 'decay'],
    ['sustain', 'sustain'], ['release', 'release']])
    $(id).addEventListener('input', () => setControl(symbol, Number($(id).value)));
  // The expressive controls, each by its port symbol; a number out of range
  // is brought back into it, and no number at all (a field cleared, whose
  // value is '', which Number reads as 0) shows the control's value again.
  for (let c = 1; c <= 16; ++c) document.querySelector('[data-port=channel]').add(new Option(c, c));
  for (const field of document.querySelectorAll('[data-port]')) {
    const [symbol, , min, max] = PORTS.find((p) => p[0] === field.dataset.port);
    Object.assign(field, { min, max });
    field.addEventListener('change', () => {
      const v = field.type === 'checkbox' ? Number(field.checked)
        : field.value === '' ? NaN : Math.round(Number(field.value));
      if (symbol === 'channel') releaseEverything(); // no key-up comes on the old channel
      if (Number.isFinite(v)) setControl(symbol, Math.min(max, Math.max(min, v)));
      showSettings();
    });
  }
}
function showSettings() {
  $('option-' + (settings.operation + 10)).checked = true;
  for (const [id, symbol] of [['static', 'static_value'], ['attack', 'attack'], ['decay', 'decay'],
    ['sustain', 'sustain'], ['release', 'release']]) $(id).value = settings[symbol];
  for (const field of document.querySelectorAll('[data-port]')) {
    if (field.type === 'checkbox') field.checked = settings[field.dataset.port] !== 0;
    else field.value = settings[field.dataset.port];
  }
  $('range-rect').style.height = '0';
  drawRange();
}
function applySettings(values) {
  for (const [s] of PORTS) if (s in values) setControl(s, values[s]);
  showSettings();
}

// The keyboard on screen: two octaves from C3, for the mouse and fingers.
function setUpKeyboard() {
  const kb = $('keyboard'), down = downKeys;
  let white = 0;
  for (let note = 48; note <= 72; ++note) {
    const black = [1, 3, 6, 8, 10].includes(note % 12);
    const key = document.createElement('div');
    key.className = 'key ' + (black ? 'black' : 'white');
    key.dataset.note = note;
    key.style.left = (black ? white * 31 - 10 : white++ * 31) + 'px';
    kb.append(key);
  }
  const release = (id) => { const k = down.get(id); if (k) { k.classList.remove('down'); play(+k.dataset.note, false); down.delete(id); } };
  kb.addEventListener('pointerdown', (e) => {
    const k = e.target.closest('.key');
    if (!k) return;
    kb.releasePointerCapture?.(e.pointerId);
    release(e.pointerId); down.set(e.pointerId, k); k.classList.add('down'); play(+k.dataset.note, true);
  });
  kb.addEventListener('pointerover', (e) => {
    const k = e.target.closest('.key');
    if (k && (e.buttons & 1) && down.has(e.pointerId) && down.get(e.pointerId) !== k) {
      release(e.pointerId); down.set(e.pointerId, k); k.classList.add('down'); play(+k.dataset.note, true);
    }
  });
  for (const type of ['pointerup', 'pointercancel']) kb.addEventListener(type, (e) => release(e.pointerId));
  kb.addEventListener('pointerleave', (e) => release(e.pointerId));
}
function setUpComputerKeys() {
  const held = heldKeys;
  document.addEventListener('keydown', (e) => {
    if (e.ctrlKey || e.altKey || e.metaKey || e.target.matches('input[type=text], input[type=number], textarea, select')) return;
    startAudio();
    if (e.key === 'ArrowLeft' || e.key === 'ArrowRight') {
      octave = Math.min(8, Math.max(0, octave + (e.key === 'ArrowLeft' ? -1 : 1)));
      $('octave').textContent = 'C' + octave;
      return;
    }
    const k = e.key.toLowerCase();
    const row = KEY_ROWS.findIndex((r) => r.includes(k));
    if (row < 0 || e.repeat || held.has(k)) return;
    const note = 12 * (octave + 1 + row) + KEY_ROWS[row].indexOf(k);
    held.set(k, note);
    play(note, true);
  });
  document.addEventListener('keyup', (e) => {
    const k = e.key.toLowerCase();
    if (held.has(k)) { play(held.get(k), false); held.delete(k); }
  });
}

// Presets: the plugin's factory presets, and the page's settings as one.
async function loadPresets() {
  const text = await (await fetch('presets.ttl')).text();
  for (const block of text.split(/\n\s*\n/)) {
    const label = /rdfs:label "([^"]*)"/.exec(block);
    if (label) $('presets').add(new Option(label[1], JSON.stringify(readPreset(block).values)));
  }
}
// A preset's port values, and its tuning: the state's texts under their keys,
// named whole or with a prefix, each a short or a long Turtle string.
function readPreset(turtle) {
  const values = {};
  for (const [, s, v] of turtle.matchAll(/lv2:symbol\s+"(\w+)"\s*;\s*pset:value\s+([-+\d.eE]+)/g)) values[s] = Number(v);
  return { values, tuning: restoredTuning((key) => {
    const literal = new RegExp(`(?:<${PLUGIN_URI}#|\\b\\w*:)${key}>?\\s+("""[^]*?"""|"(?:[^"\\\\\\n]|\\\\.)*")`).exec(turtle)?.[1];
    return literal === undefined ? null : literal.replace(/^"(?:"")?|(?:"")?"$/g, '').replace(/\\(?:u(\w{4})|U(\w{8})|(.))/g,
      (_, u, U, c) => (u || U ? String.fromCodePoint(parseInt(u || U, 16)) : { t: '\t', b: '\b', n: '\n', r: '\r', f: '\f' }[c] ?? c));
  }) };
}
function savePreset() {
  const ports = PORTS.map(([s]) => `[ lv2:symbol "${s}" ; pset:value ${settings[s]} ]`).join(' ,\n        ');
  // JSON's escapes are Turtle's, for a short string.
  const state = Object.entries(TUNING_KEYS).filter(([f]) => tuning[f])
    .map(([f, key]) => `<${PLUGIN_URI}#${key}> ${JSON.stringify(tuning[f].text)}`);
  const ttl = '@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n' +
    '@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n@prefix state: <http://lv2plug.in/ns/ext/state#> .\n\n' +
    `<>\n    a pset:Preset ;\n    lv2:appliesTo <${PLUGIN_URI}> ;\n    rdfs:label "From the web page" ;\n    lv2:port ${ports}` +
    (state.length ? ` ;\n    state:state [\n        ${state.join(' ;\n        ')}\n    ]` : '') + ' .\n';
  const a = Object.assign(document.createElement('a'), { download: 'ondrilux-preset.ttl',
    href: URL.createObjectURL(new Blob([ttl], { type: 'text/turtle' })) });
  a.click();
  URL.revokeObjectURL(a.href);
}

function setUpMenu() {
  const menu = $('menu');
  $('menu-button').addEventListener('click', () => { menu.hidden = !menu.hidden; });
  $('about-version').textContent = 'Ondrilux v' + VERSION;
  $('menu-about').addEventListener('click', () => { menu.hidden = true; $('about').showModal(); });
  $('menu-help').addEventListener('click', () => {
    menu.hidden = true;
    $('help-text').value = HELP;
    $('help').showModal();
  });
}

readFragment();
setUpControls();
setUpRangeBar();
setUpKeyboard();
setUpComputerKeys();
setUpMenu();
showSettings();
writeFragment();
document.addEventListener('pointerdown', startAudio, { once: true });
$('midi-list').addEventListener('change', openMidi);
$('presets').addEventListener('change', (e) => { if (e.target.value) applySettings(JSON.parse(e.target.value)); });
$('save-preset').addEventListener('click', savePreset);
$('open-files').addEventListener('click', () => $('tuning-files').click());
$('tuning-files').addEventListener('change', (e) => openFiles(e.target.files).finally(() => { e.target.value = ''; }));
$('equal-temperament').addEventListener('click', () => tuneTo({ scale: null, map: null }));
$('sysex').addEventListener('change', letInExclusive);
document.addEventListener('dragover', (e) => e.preventDefault());
document.addEventListener('drop', (e) => { e.preventDefault(); openFiles(e.dataTransfer.files); });
window.addEventListener('hashchange', () => { readFragment(); applySettings(settings); });
window.addEventListener('blur', releaseEverything);
document.addEventListener('visibilitychange', () => { if (document.hidden) releaseEverything(); });
fillMidiList();
loadPresets().catch(() => {});
if (navigator.requestMIDIAccess) navigator.requestMIDIAccess().then(useMidiAccess, () => {});
else $('sysex').disabled = true;
