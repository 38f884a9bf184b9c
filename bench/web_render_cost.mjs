// The browser module's render cost per frame, as the page's worklet pays it
// (128-frame quanta, each copied out of the module's memory), in node's V8,
// the engine of Chromium: a held A4 under each operation, as BM_HeldNote
// holds it natively (compare its CPU column / 256). Usage: node bench/web_render_cost.mjs build/web/ondrilux.wasm
import fs from 'node:fs';

const module = new WebAssembly.Module(fs.readFileSync(process.argv[2]));
const m = new WebAssembly.Instance(module, { wasi_snapshot_preview1: { proc_exit() {} } }).exports;
m._initialize();
const out = new Float32Array(128);
const kFrames = 48000 * 60;
const results = [];
for (let operation = 1; operation <= 13; ++operation) {
  const engine = m.ondrilux_new();
  m.ondrilux_control(engine, 2, operation);
  m.ondrilux_midi(engine, 0x90 | (69 << 8) | (100 << 16));
  // The module's memory never grows: one view of its frames serves every call.
  const frames = new Float32Array(m.memory.buffer, m.ondrilux_render(engine, 128), 128);
  for (let f = 0; f < 48000; f += 128) { m.ondrilux_render(engine, 128); out.set(frames); }
  const start = process.cpuUsage();
  for (let f = 0; f < kFrames; f += 128) { m.ondrilux_render(engine, 128); out.set(frames); }
  const used = process.cpuUsage(start); // CPU time, as Google Benchmark's CPU column
  results.push((used.user + used.system) * 1000 / kFrames);
  m.ondrilux_free(engine);
}
const mean = results.reduce((a, b) => a + b) / results.length;
console.log(`ns per frame, operations 1 to 13: ${results.map((r) => r.toFixed(1)).join(' ')}`);
console.log(`mean ${mean.toFixed(2)} ns per frame (${(1e9 / mean / 48000).toFixed(0)} x real time)`);
