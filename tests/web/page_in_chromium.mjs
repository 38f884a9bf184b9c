// The page in Debian's chromium, served by python's http.server: it loads
// without a console error; its worklet renders, offline, what ondrilux-render
// renders under each operation, bit for bit, also after a drag of the range
// bar, a click on an option, a scale chosen and the presets that glide; an
// injected MIDI input plays, a blur ends its held note, a tuning dump names the
// tuning; screenshots at 100 % and 200 %.
// Usage: node page_in_chromium.mjs WEB_DIR ondrilux-render OUT_DIR SCALE.scl
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import puppeteer from 'puppeteer-core';
import { firstDifference, kExpressiveSong, kTunedSong, nativeRender, songEvents, songFrames } from './song.mjs';

const [webDir, renderer, outDir, scalePath] = process.argv.slice(2);
const port = 20000 + (process.pid % 20000);
const server = spawn('python3', ['-m', 'http.server', String(port), '--bind', '127.0.0.1',
  '--directory', webDir], { stdio: 'ignore' });
const url = `http://127.0.0.1:${port}/`;
let failures = 0;
const fail = (text) => { ++failures; console.log('FAIL: ' + text); };
const browser = await puppeteer.launch({ executablePath: '/usr/bin/chromium', headless: true,
  args: ['--no-sandbox', '--autoplay-policy=no-user-gesture-required'] });
try {
  for (let i = 0; i < 50; ++i) {
    if (await fetch(url).then(() => true, () => false)) break;
    await new Promise((r) => setTimeout(r, 100));
  }
  const page = await browser.newPage();
  const errors = [];
  page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
  page.on('pageerror', (e) => errors.push(e.message));
  // This machine has no ALSA, so no Web MIDI: one input of our own.
  await page.evaluateOnNewDocument(() => {
    const input = { id: 'test-in', name: 'Test keyboard', state: 'connected', onmidimessage: null };
    window.testMidi = (bytes) => input.onmidimessage?.({ data: new Uint8Array(bytes) });
    const access = Object.assign(new EventTarget(), { inputs: new Map([['test-in', input]]) });
    window.testPlugIn = (id, name) => {
      access.inputs.set(id, { id, name, state: 'connected', onmidimessage: null });
      access.dispatchEvent(new Event('statechange'));
    };
    window.sysexAsked = [];
    navigator.requestMIDIAccess = async (options) => (window.sysexAsked.push(options?.sysex === true), access);
  });
  await page.setViewport({ width: 640, height: 620 });
  await page.goto(url, { waitUntil: 'networkidle0' });

  const render = async (song) => new Float32Array(Buffer.from(await page.evaluate(
    (e, n) => window.ondriluxRenderOffline(e, n), songEvents(song), songFrames(song)), 'base64').buffer);
  const compare = async (what, options, song) => {
    const at = firstDifference(nativeRender(renderer, ['--quick-start', ...options], song)
      .subarray(0, songFrames(song)), await render(song));
    if (at >= 0) fail(`${what}: the page's render differs from ondrilux-render at frame ${at}`);
  };
  for (let operation = 1; operation <= 13; ++operation) {
    await page.evaluate((o) => { window.ondriluxSettings.operation = o; }, operation);
    await compare(`operation ${operation}`, ['--operation', String(operation)]);
  }

  // The top edge dragged from row 40 to 70, the bottom one from 90 to 150, option 17.
  const bar = await (await page.$('#range-bar')).boundingBox();
  const drag = async (from, to) => {
    await page.mouse.move(bar.x + 10, bar.y + 2.5 + from);
    await page.mouse.down();
    for (let y = from; y !== to; y += Math.sign(to - from)) await page.mouse.move(bar.x + 10, bar.y + 2.5 + y);
    await page.mouse.move(bar.x + 10, bar.y + 2.5 + to);
    await page.mouse.up();
  };
  await drag(40, 70);
  await drag(90, 150);
  await page.click('#option-17');
  const s = await page.evaluate(() => ({ ...window.ondriluxSettings, hash: location.hash }));
  if (s.range_top !== 70 || s.range_bottom !== 150 || s.operation !== 7)
    fail(`after the drags and the click: top ${s.range_top}, bottom ${s.range_bottom}, operation ${s.operation}`);
  if (!s.hash.includes('range_top=70')) fail(`the address does not hold the settings: ${s.hash}`);
  await compare('dragged range and option 17', ['--top', '70', '--bottom', '150', '--operation', '7']);

  // The scale given to the file chooser plays as ondrilux-render's --scale, a
  // tuning message too; the address and a saved preset keep it, 12-TET ends it.
  const waitName = (name) => page.waitForFunction((n) => document.getElementById('tuning-name').textContent === n,
    { timeout: 5000 }, name).catch(() => fail(`the tuning is not named "${name}"`));
  const choose = async (file) => (await page.$('#tuning-files')).uploadFile(file).then(() => waitName('19 equal divisions of the octave'));
  const equal = () => page.click('#equal-temperament').then(() => waitName('12-TET'));
  await choose(scalePath);
  await compare('the scale chosen', ['--expressive', '--top', '70', '--bottom', '150', '--operation', '7', '--scale', scalePath], kTunedSong);
  if (!(await page.evaluate(() => location.hash)).includes('&scale_text=')) fail('the address holds no scale');
  const saved = path.join(outDir, 'ondrilux-preset.ttl');
  fs.rmSync(saved, { force: true });
  await (await page.createCDPSession()).send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: outDir });
  await page.click('#save-preset');
  for (let i = 0; i < 50 && !fs.existsSync(saved); ++i) await new Promise((r) => setTimeout(r, 100));
  await equal();
  await choose(saved);
  await equal();
  await page.evaluate(() => window.scrollTo(0, 0)); // where the clicks below it left the page

  // Presets that glide sound as the renderer with their values (the last stays).
  for (const label of ['Singing lead', 'Gliding bass']) {
    const preset = await page.$$eval('#presets option', (o, l) => o.find((x) => x.text === l).value, label);
    await page.select('#presets', preset);
    const v = JSON.parse(preset);
    await compare(label, ['--expressive', '--operation', v.operation, '--static', v.static_value,
      '--attack', v.attack, '--decay', v.decay, '--sustain', v.sustain, '--release', v.release,
      '--top', v.range_top, '--bottom', v.range_bottom, '--bend-range', v.bend_range, '--glide', v.glide,
      '--velocity', v.velocity, ...(v.glide_legato ? ['--glide-legato'] : [])].map(String), kExpressiveSong);
    if (await page.$eval('[data-port=glide]', (f) => f.value) !== String(v.glide)) fail(`${label}: no glide`);
  }

  // A number field cleared shows its control's value again (the preset's 7, 120, 60).
  for (const [port, value] of [['bend_range', 7], ['glide', 120], ['velocity', 60]]) {
    await page.focus(`[data-port=${port}]`);
    await page.keyboard.down('Control');
    await page.keyboard.press('KeyA');
    await page.keyboard.up('Control');
    await page.keyboard.press('Backspace');
    await page.keyboard.press('Tab'); // the change lands as the field loses focus
    const now = await page.$eval(`[data-port=${port}]`, (f, p) => [f.value, window.ondriluxSettings[p]], port);
    if (now[0] !== String(value) || now[1] !== value) fail(`${port} cleared: field "${now[0]}", control ${now[1]}`);
  }

  // A keyboard plugged in shows up in the list.
  await page.evaluate(() => window.testPlugIn('later-in', 'Later keyboard'));
  const names = await page.$$eval('#midi-list option', (o) => o.map((x) => x.textContent));
  if (names.join('|') !== 'computer keyboard|Test keyboard|Later keyboard') fail(`the MIDI list: ${names}`);

  // The injected input, chosen in the list, plays a note.
  await page.select('#midi-list', 'test-in');
  await page.evaluate(() => window.testMidi([0x90, 69, 100]));
  await new Promise((r) => setTimeout(r, 500));
  const played = await page.evaluate(() => ({ gate: document.getElementById('status-gate').textContent,
    midi: document.getElementById('status-midi').textContent, peak: window.ondriluxPeak() }));
  if (played.gate !== 'On' || played.midi !== 'MIDI IN' || !(played.peak > 0.01))
    fail(`the injected note: status "${played.midi}" "${played.gate}", peak ${played.peak}`);
  // Held by its key and the pedal, it ends when the page loses focus.
  await page.evaluate(() => { window.testMidi([0xb0, 64, 127]); window.dispatchEvent(new Event('blur')); });
  let left = 1; // the preset's 150 ms release, however late the audio thread plays it
  for (let i = 0; i < 30 && left !== 0; ++i) left = await new Promise((r) => setTimeout(r, 100))
    .then(() => page.evaluate(() => window.ondriluxPeak()));
  if (left !== 0) fail(`a held note plays on after a blur: peak ${left}`);
  await page.evaluate(() => window.testMidi([0x80, 69, 0]));

  // Tuning messages come in once the player lets them, a bulk dump naming the tuning.
  await page.click('#sysex');
  const dump = [0x7e, 0, 8, 1, 0, ...Buffer.from('25 cents sharp'.padEnd(16)), ...Array.from({ length: 128 }, (_, k) => [k, 32, 0]).flat()];
  await page.evaluate((d) => window.testMidi(d), [0xf0, ...dump, dump.reduce((x, b) => x ^ b) & 0x7f, 0xf7]);
  await waitName('25 cents sharp');
  if (await page.evaluate(() => window.sysexAsked.join()) !== 'false,true') fail('System Exclusive asked for before its box');

  for (const scale of [1, 2]) {
    await page.setViewport({ width: 640, height: 760, deviceScaleFactor: scale });
    await page.screenshot({ path: path.join(outDir, `page-${scale * 100}.png`) });
  }
  if (errors.length) fail('console errors: ' + errors.join(' | '));
} finally {
  await browser.close();
  server.kill();
}
console.log(failures ? `${failures} failures` : 'the page plays as ondrilux-render, bit for bit');
process.exit(failures ? 1 : 0);
