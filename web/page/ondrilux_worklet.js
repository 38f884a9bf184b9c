// The engine in the audio thread: one WebAssembly engine, rendered in
// 128-frame quanta, each message applied at its own frame.
class OndriluxProcessor extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const o = options.processorOptions;
    const instance = new WebAssembly.Instance(o.module, { wasi_snapshot_preview1: { proc_exit() {} } });
    this.m = instance.exports;
    this.m._initialize();
    this.engine = this.m.ondrilux_new();
    // The module's memory never grows, so views of its frames stay valid:
    // a whole quantum is copied without making a view each time.
    const at = this.m.ondrilux_render(this.engine, 0);
    this.frames = new Float32Array(this.m.memory.buffer, at, 4096);
    this.quantum = this.frames.subarray(0, 128);
    // [frame, kind, a, b]: kind 0 a MIDI message a (a short message, or a
    // system-exclusive message's bytes), kind 1 control port a = b, kind 2 the
    // MIDI input closed, kind 3 a tuning: Scala files' texts a of lengths b.
    this.events = [];
    for (const [port, value] of o.controls) this.m.ondrilux_control(this.engine, port, value);
    this.apply([0, 3, ...o.tuning]);
    for (const e of o.events || []) this.add(e);
    this.port.onmessage = (e) => this.add(e.data);
  }

  // In frame order; a message for a frame already played plays at once.
  add(e) {
    let i = this.events.length;
    while (i > 0 && this.events[i - 1][0] > e[0]) --i;
    this.events.splice(i, 0, e);
  }

  // Bytes into the module's input (no allocation for a tuning message): their count.
  input(bytes) {
    const at = this.m.ondrilux_input(this.engine, bytes.length); // 0: no memory, which the engine says
    if (at) new Uint8Array(this.m.memory.buffer, at, bytes.length).set(bytes);
    return bytes.length;
  }

  apply([, kind, a, b]) {
    if (kind === 0 && typeof a === 'number') this.m.ondrilux_midi(this.engine, a);
    else if (kind === 0) this.m.ondrilux_system_exclusive(this.engine, this.input(a));
    else if (kind === 1) this.m.ondrilux_control(this.engine, a, b);
    else if (kind === 2) this.m.ondrilux_midi_close(this.engine);
    else {
      this.input(a);
      this.m.ondrilux_tuning(this.engine, ...b);
    }
  }

  process(inputs, outputs) {
    const out = outputs[0][0];
    const n = out.length;
    let done = 0;
    while (done < n) {
      while (this.events.length && this.events[0][0] <= currentFrame + done) this.apply(this.events.shift());
      const stop = this.events.length ? Math.min(n, this.events[0][0] - currentFrame) : n;
      this.m.ondrilux_render(this.engine, stop - done);
      out.set(stop - done === 128 ? this.quantum : this.frames.subarray(0, stop - done), done);
      done = stop;
    }
    for (let c = 1; c < outputs[0].length; ++c) outputs[0][c].set(out);
    return true;
  }
}
registerProcessor('ondrilux', OndriluxProcessor);
