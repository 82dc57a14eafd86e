'use strict';

const { spawn } = require('child_process');
const os = require('os');
const { Transform } = require('stream');

const RATE = 16000;
const SOURCES = Object.freeze(['mic', 'system']);
const MAX_PAYLOAD = 16 * 1024 * 1024;
const HEADER_BYTES = 5;
// How long a process that outlives SIGTERM gets before SIGKILL.
const KILL_AFTER_MS = 2000;

class ChunkStreamError extends Error {
  constructor(message, offset) {
    super(message);
    this.name = 'ChunkStreamError';
    this.offset = offset;
  }
}

// The stream is little-endian. On a little-endian host its bytes are the samples as they are;
// elsewhere each sample is decoded.
const toSamples = os.endianness() === 'LE'
  ? (bytes) => new Int16Array(bytes.buffer, bytes.byteOffset, bytes.length / 2)
  : (bytes) => {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.length);
    const samples = new Int16Array(bytes.length / 2);
    for (let i = 0; i < samples.length; i++) samples[i] = view.getInt16(2 * i, true);
    return samples;
  };

class ChunkParser extends Transform {
  constructor() {
    super({ readableObjectMode: true });
    this.offset = 0;
    this.truncated = false;
    this.truncatedBytes = 0;
    // Input not parsed yet: _pieces[_first] from _head on, then the later pieces whole. Bytes
    // are copied once, into the chunk they belong to, however the input was cut.
    this._pieces = [];
    this._first = 0;
    this._head = 0;
    this._buffered = 0;
    this._tag = -1; // the header in hand (its bytes consumed), or -1
    this._length = 0;
    this._failure = null;
  }

  _transform(data, encoding, callback) {
    if (data.length > 0) {
      this._pieces.push(data);
      this._buffered += data.length;
    }
    for (;;) {
      if (this._tag < 0) {
        if (this._buffered < HEADER_BYTES) break;
        this._readHeader();
        const length = this._length;
        const problem = this._tag > 1 ? `unknown source tag ${this._tag}`
          : length === 0 || length % 2 !== 0 || length > MAX_PAYLOAD
            ? `impossible payload length ${length}` : null;
        if (problem !== null) {
          const error = new ChunkStreamError(`${problem} at byte ${this.offset}`, this.offset);
          this._fail(error, callback);
          return;
        }
      }
      // A corrupt length costs memory only as far as the input really goes.
      if (this._buffered < this._length) break;
      const bytes = new Uint8Array(this._length);
      this._consume(this._length, bytes);
      const tag = this._tag;
      this._tag = -1;
      this.offset += HEADER_BYTES + this._length;
      this.push({ source: SOURCES[tag], tag, samples: toSamples(bytes) });
    }
    callback();
  }

  _flush(callback) {
    const bytes = this._buffered + (this._tag < 0 ? 0 : HEADER_BYTES);
    if (bytes > 0) {
      // What dualcap writes is whole chunks, then at most one cut short when its output failed.
      this.truncated = true;
      this.truncatedBytes = bytes;
      this._pieces = [];
      this._buffered = 0;
      this.emit('truncated', { offset: this.offset, bytes });
    }
    callback();
  }

  // Failing destroys the stream, which would throw away chunks pushed but not read yet; so
  // the error waits until they are out (see read).
  _fail(error, callback) {
    if (this.readableLength === 0) callback(error);
    else this._failure = { error, callback };
  }

  read(size) {
    const chunk = super.read(size);
    if (this._failure !== null && this.readableLength === 0) {
      const { error, callback } = this._failure;
      this._failure = null;
      callback(error);
    }
    return chunk;
  }

  _readHeader() {
    let bytes = this._pieces[this._first];
    let at = this._head;
    if (bytes.length - at >= HEADER_BYTES) {
      this._consume(HEADER_BYTES, null);
    } else {
      bytes = new Uint8Array(HEADER_BYTES);
      this._consume(HEADER_BYTES, bytes);
      at = 0;
    }
    this._tag = bytes[at];
    this._length = (bytes[at + 1] | bytes[at + 2] << 8 | bytes[at + 3] << 16) +
      bytes[at + 4] * 0x1000000;
  }

  // Takes n buffered bytes, copying them into `into` unless it is null.
  _consume(n, into) {
    for (let done = 0; done < n;) {
      const piece = this._pieces[this._first];
      const step = Math.min(n - done, piece.length - this._head);
      if (into !== null) into.set(piece.subarray(this._head, this._head + step), done);
      done += step;
      this._head += step;
      if (this._head === piece.length) {
        this._pieces[this._first++] = undefined;
        this._head = 0;
      }
    }
    this._buffered -= n;
    // Spent slots go now and then, so that a chunk written byte by byte costs no more than one
    // written at once.
    if (this._first === this._pieces.length) {
      this._pieces = [];
      this._first = 0;
    } else if (this._first >= 1024 && this._first * 2 >= this._pieces.length) {
      this._pieces = this._pieces.slice(this._first);
      this._first = 0;
    }
  }
}

function createChunkParser() {
  return new ChunkParser();
}

function spawnCapture(options = {}) {
  const { path = 'dualcap', env, stderr = 'inherit', stopGraceMs = 500 } = options;
  const chunks = createChunkParser();
  const child = spawn(path, [], { env, stdio: ['ignore', 'pipe', stderr], windowsHide: true });

  let running = true;
  let exited;
  const exit = new Promise((resolve) => { exited = resolve; });
  const onExit = () => {
    running = false;
    exited();
  };
  child.once('exit', onExit);
  child.on('error', (error) => {
    const started = child.pid !== undefined;
    if (!started) onExit();
    const reason = error.code === 'ENOENT' && !started
      ? 'no such program (is dualcap installed and on PATH, or at the path given?)'
      : error.message;
    const failure = new Error(`${started ? '' : 'cannot start '}${path}: ${reason}`,
      { cause: error });
    failure.code = error.code;
    chunks.destroy(failure);
  });
  // 'close' follows the end of the chunks, and an error too; it settles stop() either way.
  const closed = new Promise((resolve) => chunks.once('close', resolve));
  child.stdout.pipe(chunks);

  const exitWithin = (ms) => new Promise((resolve) => {
    const timer = setTimeout(resolve, ms, false);
    exit.then(() => {
      clearTimeout(timer);
      resolve(true);
    });
  });

  let stopping = null;
  const stop = () => {
    stopping ??= (async () => {
      if (running) {
        if (process.platform === 'win32') {
          // A parent cannot send a console Ctrl+C to its child alone; this is TerminateProcess.
          child.kill();
        } else {
          // SIGINT stops capture, and the process then stays by design: the grace lets the
          // chunk in hand come out before SIGTERM ends it.
          child.kill('SIGINT');
          if (!await exitWithin(stopGraceMs)) {
            child.kill('SIGTERM');
            if (!await exitWithin(KILL_AFTER_MS)) child.kill('SIGKILL');
          }
        }
        await exit;
      }
      await closed;
    })();
    return stopping;
  };

  return { chunks, process: child, stop };
}

module.exports = {
  RATE,
  SOURCES,
  MAX_PAYLOAD,
  ChunkStreamError,
  ChunkParser,
  createChunkParser,
  spawnCapture,
};
