// The browser module's render cost per frame, as the page's worklet pays it
// (128-frame quanta, each copied out of the module's memory), in node's V8,
// the engine of Chromium: a held A4 under each operation, as
// BM_HeldNoteExpressive holds it natively (its CPU column / 128).
// Usage: node bench/web_render_cost.mjs build/web/ondrilux.wasm [NATIVE [ROUNDS]]
// NATIVE, the native cost to compare with: ns per frame, or the path of
// build/bench/ondrilux_bench, which then runs alternately with the module
// ROUNDS times (default 5), as a busy machine needs; the medians and their
// ratio close the report.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';

const [wasmPath, native, roundsArgument] = process.argv.slice(2);
const module = new WebAssembly.Module(fs.readFileSync(wasmPath));
const m = new WebAssembly.Instance(module, { wasi_snapshot_preview1: { proc_exit() {} } }).exports;
m._initialize();
const out = new Float32Array(128);
// Ten minutes of sound under each operation, a few hundred ms of CPU time:
// long enough that what node and V8 still do after starting up is lost in it.
const kFrames = 48000 * 600;
const kOperations = 13;
const mean = (xs) => xs.reduce((a, b) => a + b) / xs.length;
const median = (xs) => {
  const s = [...xs].sort((a, b) => a - b);
  return (s[(s.length - 1) >> 1] + s[s.length >> 1]) / 2;
};
const print = (xs) => xs.map((x) => x.toFixed(1)).join(' ');

// ns per frame of a held note under `operation`, after one second of it.
function heldNoteCost(operation) {
  const engine = m.ondrilux_new();
  m.ondrilux_control(engine, 2, operation);
  m.ondrilux_midi(engine, 0x90 | (69 << 8) | (100 << 16));
  // The module's memory never grows: one view of its frames serves every call.
  const frames = new Float32Array(m.memory.buffer, m.ondrilux_render(engine, 128), 128);
  for (let f = 0; f < 48000; f += 128) { m.ondrilux_render(engine, 128); out.set(frames); }
  const start = process.cpuUsage();
  for (let f = 0; f < kFrames; f += 128) { m.ondrilux_render(engine, 128); out.set(frames); }
  const used = process.cpuUsage(start); // CPU time, as Google Benchmark's CPU column
  m.ondrilux_free(engine);
  return (used.user + used.system) * 1000 / kFrames;
}

// ns per frame of the module under each operation.
function moduleCost() {
  return Array.from({ length: kOperations }, (_, i) => heldNoteCost(i + 1));
}
heldNoteCost(1); // a warm-up, not counted

// ns per frame of the native engine under each operation.
function nativeCost(bench) {
  const report = JSON.parse(execFileSync(bench, ['--benchmark_filter=^BM_HeldNoteExpressive/',
    '--benchmark_format=json'], { encoding: 'utf8', maxBuffer: 1 << 24 }));
  const ns = { ns: 1, us: 1e3, ms: 1e6, s: 1e9 };
  return report.benchmarks.map((b) => b.cpu_time * ns[b.time_unit] / 128); // a quantum an iteration
}

if (native === undefined) {
  const results = moduleCost();
  console.log(`ns per frame, operations 1 to 13: ${print(results)}`);
  console.log(`mean ${mean(results).toFixed(2)} ns per frame (${(1e9 / mean(results) / 48000).toFixed(0)} x real time)`);
} else {
  const rounds = Number(roundsArgument ?? 5);
  const fixed = Number.isFinite(Number(native)) ? Number(native) : undefined;
  const modules = [], natives = [];
  for (let round = 1; round <= rounds; ++round) {
    const web = moduleCost();
    const own = fixed === undefined ? nativeCost(native) : [fixed];
    modules.push(mean(web));
    natives.push(mean(own));
    console.log(`round ${round}: module ${print(web)}, mean ${mean(web).toFixed(2)}; native` +
      (fixed === undefined ? ` ${print(own)}, mean` : '') + ` ${mean(own).toFixed(2)} ns per frame`);
  }
  const [web, own] = [median(modules), median(natives)];
  console.log(`medians of ${rounds} rounds: module ${web.toFixed(2)}, native ${own.toFixed(2)} ns per frame; ` +
    `the module costs ${(web / own).toFixed(2)} x the native engine`);
}
