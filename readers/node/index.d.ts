/// <reference types="node" />

import { ChildProcess } from 'child_process';
import { Transform } from 'stream';

/** Samples per second of every source: 16,000. */
export const RATE: 16000;

/** The source names by tag: tag 0 is the microphone, tag 1 the system playback (loopback). */
export const SOURCES: readonly ['mic', 'system'];

/** The largest payload a header may claim, in bytes (16 MiB); a header claiming more is corrupt. */
export const MAX_PAYLOAD: number;

export type Source = 'mic' | 'system';

/** One chunk of the stream: what one capture packet of one source gave. */
export interface Chunk {
  source: Source;
  tag: 0 | 1;
  /**
   * Mono, 16,000 samples per second, full scale ±32767. The array has a buffer of its own.
   * Within one source the chunks are one continuous signal: concatenate them to get its audio.
   */
  samples: Int16Array;
}

/** Where the input ended inside a chunk, and how many bytes that chunk had (header included). */
export interface Truncation {
  offset: number;
  bytes: number;
}

/**
 * A header that cannot be right: an unknown source tag, or a payload length that is zero, odd or
 * over MAX_PAYLOAD. The parser fails with it (an 'error' event) once the chunks before it are out.
 */
export class ChunkStreamError extends Error {
  constructor(message: string, offset: number);
  /** The byte offset in the stream of the bad chunk's header. */
  readonly offset: number;
}

/**
 * Takes the bytes of a stream, cut into writes in any way, and gives its chunks as objects.
 *
 * Should the input end inside a chunk, that chunk is dropped: `truncated` becomes true and a
 * 'truncated' event comes before 'end', which still comes.
 */
export class ChunkParser extends Transform {
  /** Whether the input ended inside a chunk (known once the input has ended). */
  readonly truncated: boolean;
  /** How many bytes the chunk cut by the end had, header included; 0 if none was cut. */
  readonly truncatedBytes: number;
  /** The bytes of whole chunks parsed so far. */
  readonly offset: number;

  read(size?: number): Chunk | null;
  [Symbol.asyncIterator](): AsyncIterableIterator<Chunk>;

  on(event: 'data', listener: (chunk: Chunk) => void): this;
  on(event: 'truncated', listener: (truncation: Truncation) => void): this;
  on(event: 'error', listener: (error: Error) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
  once(event: 'data', listener: (chunk: Chunk) => void): this;
  once(event: 'truncated', listener: (truncation: Truncation) => void): this;
  once(event: 'error', listener: (error: Error) => void): this;
  once(event: string | symbol, listener: (...args: any[]) => void): this;
}

export function createChunkParser(): ChunkParser;

export interface CaptureOptions {
  /** The program to run: 'dualcap' by default, looked up on PATH. */
  path?: string;
  /** Its environment (`process.env` by default). */
  env?: NodeJS.ProcessEnv;
  /** Its standard error, where it says which sources started and what failed ('inherit'). */
  stderr?: 'inherit' | 'pipe' | 'ignore';
  /** After SIGINT, how long to wait for the chunk in hand before ending the process (500 ms). */
  stopGraceMs?: number;
}

export interface Capture {
  /**
   * The chunks as they come, from the program's standard output. A program that cannot be
   * started (not found, for one) is an 'error' here, with the cause's `code` (e.g. 'ENOENT').
   */
  readonly chunks: ChunkParser;
  readonly process: ChildProcess;
  /**
   * Stops capture and ends the process; resolves once it has exited and `chunks` has ended (or
   * been destroyed), so `chunks` must be read meanwhile. Calling it again gives the same promise.
   *
   * dualcap stops capturing on Ctrl+C (SIGINT on Linux) but then stays until it is ended from
   * outside, writing nothing more. So on Linux and macOS this sends SIGINT, waits `stopGraceMs`,
   * then sends SIGTERM (and SIGKILL should the process still be there 2 s later).
   *
   * On Windows a parent cannot send Ctrl+C to its child, and `kill()` is TerminateProcess: the
   * process ends at once. Chunks already in the pipe still come out; a chunk cut short by the end
   * is dropped and reported through `chunks.truncated` and the 'truncated' event.
   */
  stop(): Promise<void>;
}

/** Runs dualcap and parses what it writes. */
export function spawnCapture(options?: CaptureOptions): Capture;
