// What the browser tests play, and the native renderer's output for it.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

// At 480 ticks a beat and 120 beats a minute a tick is 50 frames.
const kFramesPerTick = 50;
// [tick, status, data1, data2]: a note, a legato note over it, one alone.
export const kSong = [
  [10, 0x90, 60, 100], [400, 0x90, 64, 90], [600, 0x80, 60, 0], [1000, 0x80, 64, 0],
  [1100, 0x90, 81, 127], [1500, 0x90, 81, 0], [1520, 0x90, 36, 60], [1900, 0x80, 36, 0],
];
// Bends (the wheel by steps, RPN 0 setting 12 semitones, a bend mid-glide) and
// glides (legato, one arriving mid-glide, detached).
const wheel = (tick, value) => [tick, 0xe0, value & 0x7f, value >> 7];
export const kExpressiveSong = [
  [10, 0x90, 48, 100], ...Array.from({ length: 20 }, (_, i) => wheel(100 + 10 * i, 8192 + 431 * i)),
  [310, 0xb0, 101, 0], [312, 0xb0, 100, 0], [314, 0xb0, 6, 12], wheel(320, 4005), [400, 0x90, 55, 60],
  [450, 0x80, 48, 0], [470, 0x90, 60, 127], wheel(500, 8192), wheel(520, 12000), [700, 0x80, 55, 0],
  [720, 0x80, 60, 0], [800, 0x90, 72, 90], [900, 0x90, 67, 30], wheel(920, 1000), [1000, 0x80, 72, 0],
  [1040, 0x80, 67, 0], [1100, 0x90, 36, 80], [1150, 0x80, 36, 0], [1160, 0x90, 84, 80], [1300, 0x80, 84, 0],
];
// The same under a tuning, with a real-time tuning message during the first
// note: key 48 25 cents above 12-TET's, at once.
export const kTunedSong = [...kExpressiveSong, [205, [0xf0, 0x7f, 0x7f, 8, 2, 0, 1, 48, 48, 0x20, 0, 0xf7]]]
  .sort((a, b) => a[0] - b[0]);
export const kTailSeconds = 0.5;
export const songFrames = (song = kSong) => song[song.length - 1][0] * kFramesPerTick + kTailSeconds * 48000;
export const kSongFrames = songFrames();

// The song's messages at their frames: [frame, status | data1 << 8 | data2 << 16]
// ([frame, bytes] for a system-exclusive message).
export function songEvents(song = kSong) {
  return song.map(([tick, s, d1, d2]) => [tick * kFramesPerTick, Array.isArray(s) ? s : s | (d1 << 8) | (d2 << 16)]);
}

function midiFile(song) {
  const track = [];
  let last = 0;
  for (const [tick, s, d1, d2] of song) {
    let delta = tick - last, vlq = [delta & 0x7f];
    last = tick;
    while ((delta >>= 7) > 0) vlq.unshift((delta & 0x7f) | 0x80);
    if (Array.isArray(s)) track.push(...vlq, 0xf0, s.length - 1, ...s.slice(1)); // F0, length, the rest
    else track.push(...vlq, s, d1, d2);
  }
  track.push(0, 0xff, 0x2f, 0);
  const n = track.length;
  return Buffer.from([0x4d, 0x54, 0x68, 0x64, 0, 0, 0, 6, 0, 0, 0, 1, 480 >> 8, 480 & 0xff,
    0x4d, 0x54, 0x72, 0x6b, n >>> 24, (n >> 16) & 0xff, (n >> 8) & 0xff, n & 0xff, ...track]);
}

// ondrilux-render's float samples for the song with these options.
export function nativeRender(renderer, options, song = kSong) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'ondrilux-web-'));
  try {
    fs.writeFileSync(path.join(dir, 'song.mid'), midiFile(song));
    execFileSync(renderer, [...options, '--tail', String(kTailSeconds), path.join(dir, 'song.mid'),
      path.join(dir, 'song.wav')]);
    const wav = fs.readFileSync(path.join(dir, 'song.wav'));
    for (let at = 12; at + 8 <= wav.length; at += 8 + wav.readUInt32LE(at + 4)) {
      if (wav.toString('latin1', at, at + 4) === 'data') {
        const bytes = wav.subarray(at + 8, at + 8 + wav.readUInt32LE(at + 4));
        return new Float32Array(bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length));
      }
    }
    throw new Error('no data chunk in the renderer\'s WAV file');
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

// Where two renders differ first, or -1 when they are equal bit for bit.
export function firstDifference(a, b) {
  if (a.length !== b.length) return Math.min(a.length, b.length);
  const x = new Uint32Array(a.buffer, a.byteOffset, a.length);
  const y = new Uint32Array(b.buffer, b.byteOffset, b.length);
  for (let i = 0; i < x.length; ++i) if (x[i] !== y[i]) return i;
  return -1;
}
