'use strict';

// How fast the Node.js reader parses a recorded stream: it writes FILE to createChunkParser in
// 64 KiB pieces, as a pipe delivers them, over and over for about SECONDS (default 3), and
// prints chunks and megabytes (10^6 bytes) per second.
//
//     node bench/reader_throughput.js FILE [SECONDS]
//
// The reader's tests leave a recording in their work folder (build/native/e2e-node/recorded.bin
// under CTest); `dualcap > FILE` makes another.

const fs = require('fs');
const path = require('path');
const { once } = require('events');
// The reader of this tree, not whichever dualcap may be installed.
const { createChunkParser } = require(path.join(__dirname, '..', 'readers', 'node'));

const PIECE_BYTES = 64 * 1024;

async function parseOnce(pieces) {
  const parser = createChunkParser();
  let chunks = 0;
  parser.on('data', () => { chunks++; });
  const ended = once(parser, 'end');
  for (const piece of pieces) {
    if (!parser.write(piece)) await once(parser, 'drain');
  }
  parser.end();
  await ended;
  return { parser, chunks };
}

async function main() {
  const [file, secondsArg = '3'] = process.argv.slice(2);
  const seconds = Number(secondsArg);
  if (!file || !(seconds > 0)) {
    console.error('usage: node bench/reader_throughput.js FILE [SECONDS]');
    process.exit(2);
  }
  let data;
  try {
    data = fs.readFileSync(file);
  } catch (error) {
    console.error(`${file}: ${error.message}`);
    process.exit(1);
  }
  const pieces = [];
  for (let at = 0; at < data.length; at += PIECE_BYTES) {
    pieces.push(data.subarray(at, at + PIECE_BYTES));
  }

  let passes = 0;
  let chunkCount = 0;
  let byteCount = 0;
  let last;
  let elapsed;
  const start = process.hrtime.bigint();
  do {
    try {
      last = await parseOnce(pieces);
    } catch (error) {
      console.error(`${file}: ${error.message}`);
      process.exit(1);
    }
    if (last.parser.offset === 0) {
      console.error(`${file}: no whole chunk in it`);
      process.exit(1);
    }
    chunkCount += last.chunks;
    byteCount += last.parser.offset;
    passes++;
    elapsed = Number(process.hrtime.bigint() - start) / 1e9;
  } while (elapsed < seconds);

  const note = last.parser.truncated
    ? `, its last ${last.parser.truncatedBytes} bytes a cut chunk` : '';
  console.log(`${file}: ${data.length} bytes${note}; ${passes} passes in ${elapsed.toFixed(2)} s`);
  const perSecond = Math.round(chunkCount / elapsed).toLocaleString('en-US');
  console.log(`${perSecond} chunks/s, ${(byteCount / elapsed / 1e6).toFixed(1)} MB/s`);
}

main();
