'use strict';

const assert = require('node:assert');
const { once } = require('node:events');
const fs = require('node:fs');
const path = require('node:path');
const { Readable } = require('node:stream');
const { test } = require('node:test');
const {
  RATE, SOURCES, MAX_PAYLOAD, ChunkStreamError, createChunkParser, spawnCapture,
} = require('..');

const exe = process.env.DUALCAP;
let realChunks = null; // what the real run gave, for the tests of cut streams
// The tones of the test server's devices (tests/e2e/with_server.py), by tag.
const TONES = [440, 1000];

// Goertzel: the power of one frequency in the samples.
function tonePower(samples, frequency) {
  const coefficient = 2 * Math.cos(2 * Math.PI * frequency / RATE);
  let previous = 0;
  let before = 0;
  for (const sample of samples) {
    [previous, before] = [sample + coefficient * previous - before, previous];
  }
  return previous * previous + before * before - coefficient * previous * before;
}

// Chunks as dualcap writes them, little-endian whatever the host.
const encode = (chunks) => Buffer.concat(chunks.map(({ tag, samples }) => {
  const bytes = Buffer.alloc(5 + 2 * samples.length);
  bytes.writeUInt8(tag, 0);
  bytes.writeUInt32LE(2 * samples.length, 1);
  samples.forEach((sample, i) => bytes.writeInt16LE(sample, 5 + 2 * i));
  return bytes;
}));

// Parses the pieces as a pipe would deliver them, read by async iteration.
async function parse(pieces) {
  const parser = createChunkParser();
  const result = { parser, chunks: [], events: [], error: null };
  parser.on('truncated', (event) => result.events.push(event));
  try {
    for await (const chunk of Readable.from(pieces).pipe(parser)) result.chunks.push(chunk);
  } catch (error) {
    result.error = error;
  }
  return result;
}

test('a real run: each source keeps time with its own tone, and the chunks are the bytes written',
  { skip: !exe && 'DUALCAP is not set', timeout: 30000 }, async (t) => {
    const capture = spawnCapture({ path: exe, env: process.env });
    t.after(capture.stop);
    const written = [];
    capture.process.stdout.on('data', (bytes) => written.push(bytes));
    const chunks = [];
    const arrivals = [];
    let stopTimer = null;
    const deadline = setTimeout(capture.stop, 10000); // should a source never come
    capture.chunks.on('data', (chunk) => {
      chunks.push(chunk);
      arrivals.push(performance.now());
      // Long enough that a chunk held up 100 ms on a busy machine (seen under Wine) moves
      // the rate measured from arrivals by well under the 10% allowed.
      if (!stopTimer && new Set(chunks.map((c) => c.tag)).size === 2) {
        stopTimer = setTimeout(capture.stop, 3000);
      }
    });
    await once(capture.chunks, 'end');
    clearTimeout(deadline);
    await capture.stop();
    const heard = [chunks.length, written.length];
    assert.ok(capture.process.exitCode !== null || capture.process.signalCode !== null);
    for (const tag of [0, 1]) {
      const mine = chunks.map((c, i) => ({ ...c, at: arrivals[i] })).filter((c) => c.tag === tag);
      assert.ok(mine.length > 1, `chunks of tag ${tag}: ${mine.length}`);
      const samples = mine.slice(1).reduce((sum, c) => sum + c.samples.length, 0);
      const seconds = (mine.at(-1).at - mine[0].at) / 1000;
      const all = Int16Array.from(mine.flatMap((c) => [...c.samples]));
      const ratio = tonePower(all, TONES[tag]) / tonePower(all, TONES[1 - tag]);
      t.diagnostic(`tag ${tag}: ${(samples / seconds).toFixed(0)} samples/s, ` +
        `${TONES[tag]} Hz ${ratio.toExponential(1)} times ${TONES[1 - tag]} Hz`);
      assert.ok(Math.abs(samples / (RATE * seconds) - 1) < 0.1,
        `tag ${tag}: ${samples} samples in ${seconds.toFixed(3)} s`);
      assert.ok(ratio > 100, `tag ${tag}: its tone only ${ratio} times the other's`);
    }
    const recorded = Buffer.concat(written);
    if (process.env.DUALCAP_TEST_WORK) {
      fs.writeFileSync(path.join(process.env.DUALCAP_TEST_WORK, 'recorded.bin'), recorded);
    }
    // Windows has no way to ask a child to stop: stop() ends it where it is, which may be
    // inside a chunk. Elsewhere the chunk in hand comes out first.
    const whole = encode(chunks);
    const cut = recorded.length - whole.length;
    t.diagnostic(`${recorded.length} bytes written, ${cut} of them in a chunk cut short`);
    assert.ok(recorded.subarray(0, whole.length).equals(whole), `${recorded.length} bytes written`);
    assert.ok(cut >= 0 && (cut === 0 || process.platform === 'win32'), `${cut} bytes cut off`);
    assert.deepStrictEqual([capture.chunks.truncated, capture.chunks.truncatedBytes],
      [cut > 0, cut]);
    // Nothing comes after stop().
    await new Promise((resolve) => setTimeout(resolve, 200));
    assert.deepStrictEqual([chunks.length, written.length], heard);
    realChunks = chunks;
  });

test('a stream cut anywhere, or written in any pieces, gives the same whole chunks', async () => {
  // Without a real run, a few chunks of other sizes and extreme samples stand in for its first.
  const made = [[0, [1, -2, 32767]], [1, [-32768]], [1, [5, 6]], [0, [0]]]
    .map(([tag, samples]) => ({ source: SOURCES[tag], tag, samples: Int16Array.from(samples) }));
  const expected = realChunks ? realChunks.slice(0, 4) : made;
  const whole = encode(expected);
  const ends = expected.map((c, i) => encode(expected.slice(0, i + 1)).length);
  for (let cut = 0; cut <= whole.length; cut++) {
    const { chunks, parser, events } = await parse([whole.subarray(0, cut)]);
    const count = ends.filter((end) => end <= cut).length;
    const done = count ? ends[count - 1] : 0;
    assert.deepStrictEqual(chunks, expected.slice(0, count), `cut at ${cut}`);
    assert.deepStrictEqual([parser.offset, parser.truncated, parser.truncatedBytes, events],
      [done, cut > done, cut - done, cut > done ? [{ offset: done, bytes: cut - done }] : []]);
    // Each chunk's samples are its own, not a view of a buffer that is reused.
    chunks.forEach((c) => assert.strictEqual(c.samples.buffer.byteLength, c.samples.byteLength));
  }
  const splits = [...Array(whole.length - 1)]
    .map((_, i) => [whole.subarray(0, i + 1), whole.subarray(i + 1)]);
  for (const pieces of [...splits, [...whole].map((byte) => Buffer.of(byte))]) {
    const { chunks, parser } = await parse(pieces);
    assert.deepStrictEqual(chunks, expected, `${pieces.length} pieces`);
    assert.strictEqual(parser.truncated, false);
  }
});

test('a header that cannot be right fails the stream, after the chunks before it', async () => {
  const good = encode([{ tag: 1, samples: Int16Array.of(7, -7, 0) }]);
  for (const [tag, length, problem] of [
    [2, 2, 'unknown source tag 2'],
    [0, 0, 'impossible payload length 0'],
    [1, 3, 'impossible payload length 3'],
    [0, MAX_PAYLOAD + 2, `impossible payload length ${MAX_PAYLOAD + 2}`],
  ]) {
    const header = Buffer.of(tag, 0, 0, 0, 0);
    header.writeUInt32LE(length, 1);
    const { chunks, error } = await parse([Buffer.concat([good, header, Buffer.alloc(4)])]);
    assert.ok(error instanceof ChunkStreamError, problem);
    assert.deepStrictEqual([error.message, error.offset], [`${problem} at byte 11`, 11]);
    assert.deepStrictEqual(chunks.map((c) => c.samples), [Int16Array.of(7, -7, 0)]);
  }
});

test('a program that is not there is an error on the chunks, not a crash', async () => {
  const capture = spawnCapture({ path: path.join(__dirname, 'no-such-dualcap') });
  const [error] = await once(capture.chunks, 'error');
  assert.match(error.message, /^cannot start .*no-such-dualcap: /);
  assert.strictEqual(error.code, 'ENOENT');
  await capture.stop();
});
