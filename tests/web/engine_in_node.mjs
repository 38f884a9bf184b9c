// The WebAssembly module under node, as the page's worklet drives it (render
// quanta of 128 frames, each message at its frame), against ondrilux-render,
// bit for bit, under each operation, the window's defaults, bends and glides,
// and a Scala scale with a tuning message.
// Usage: node engine_in_node.mjs ondrilux.wasm ondrilux-render SCALE.scl
import fs from 'node:fs';
import { firstDifference, kExpressiveSong, kSongFrames, kTunedSong, nativeRender, songEvents, songFrames } from './song.mjs';

const [wasmPath, renderer, scalePath] = process.argv.slice(2);
const module = new WebAssembly.Module(fs.readFileSync(wasmPath));
const instance = new WebAssembly.Instance(module, { wasi_snapshot_preview1: { proc_exit() {} } });
const m = instance.exports;
m._initialize();

// Bytes into the module's input, for the call that reads them: their count.
const input = (engine, bytes) =>
  (new Uint8Array(m.memory.buffer, m.ondrilux_input(engine, bytes.length), bytes.length).set(bytes), bytes.length);
const play = (engine, message) => (typeof message === 'number' ? m.ondrilux_midi(engine, message)
  : m.ondrilux_system_exclusive(engine, input(engine, message)));
function wasmRender(controls, song, scale) {
  const engine = m.ondrilux_new();
  for (const [port, value] of controls) m.ondrilux_control(engine, port, value);
  // A scale as the page gives it: its file's name ("s"), then its text.
  if (scale && m.ondrilux_tuning(engine, 1, input(engine, new TextEncoder().encode('s' + scale)) - 1, 0, 0)) throw Error('refused');
  const frames = songFrames(song), out = new Float32Array(frames), events = songEvents(song);
  let done = 0, next = 0;
  while (done < frames) {
    const end = Math.min(done + 128, frames);
    while (done < end) {
      while (next < events.length && events[next][0] <= done) play(engine, events[next++][1]);
      const stop = next < events.length ? Math.min(end, events[next][0]) : end;
      const at = m.ondrilux_render(engine, stop - done);
      out.set(new Float32Array(m.memory.buffer, at, stop - done), done);
      done = stop;
    }
  }
  m.ondrilux_free(engine);
  return out;
}

let failures = 0;
const kOperationPort = 2;
for (let operation = 1; operation <= 13; ++operation) {
  const native = nativeRender(renderer, ['--quick-start', '--operation', String(operation)]);
  const web = wasmRender([[kOperationPort, operation]]);
  const at = firstDifference(native.subarray(0, kSongFrames), web);
  const sounding = web.some((v) => v !== 0);
  if (at >= 0 || !sounding) {
    ++failures;
    console.log(`operation ${operation}: ` + (at < 0 ? 'silent' :
      `differs at frame ${at}: native ${native[at]}, module ${web[at]}`));
  }
}
// Every other control by its port: the range, static value and envelope.
const controls = [[3, 77], [4, 40], [5, 300], [6, 20], [7, 900], [8, 120], [9, 30], [2, 9]];
const native = nativeRender(renderer, ['--quick-start', '--static', '77', '--attack', '40',
  '--decay', '300', '--sustain', '20', '--release', '900', '--top', '120',
  '--bottom', '30', '--operation', '9']);
const at = firstDifference(native.subarray(0, kSongFrames), wasmRender(controls));
if (at >= 0) { ++failures; console.log(`controls: differ at frame ${at}`); }
// Bend range 12, glide 13, legato 14, velocity 15 as the renderer's options;
// the song sounds otherwise unbent.
const plain = nativeRender(renderer, ['--quick-start'], kExpressiveSong);
for (const [options, ports] of [
  [['--glide', '120', '--glide-legato', '--velocity', '60'], [[13, 120], [14, 1], [15, 60]]],
  [['--glide', '200', '--bend-range', '24', '--operation', '4'], [[13, 200], [12, 24], [2, 4]]]]) {
  const native = nativeRender(renderer, ['--quick-start', '--expressive', ...options], kExpressiveSong);
  const d = firstDifference(native.subarray(0, plain.length), wasmRender(ports, kExpressiveSong));
  if (d >= 0 || firstDifference(plain, native) < 0)
    console.log(`${options.join(' ')}: ${d < 0 ? 'as unbent' : 'differs at frame ' + d}`, ++failures);
}
// A scale from its text, and a tuning message during a held note.
const tuned = nativeRender(renderer, ['--quick-start', '--expressive', '--scale', scalePath], kTunedSong);
const d = firstDifference(tuned, wasmRender([], kTunedSong, fs.readFileSync(scalePath, 'utf8')));
if (d >= 0 || firstDifference(tuned, nativeRender(renderer, ['--quick-start', '--expressive'], kTunedSong)) < 0)
  console.log(`--scale ${scalePath}: ${d < 0 ? 'as untuned' : 'differs at frame ' + d}`, ++failures);
console.log(failures ? `${failures} renders differ` : 'the module renders as ondrilux-render, bit for bit');
process.exit(failures ? 1 : 0);
