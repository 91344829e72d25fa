// Declarations of the sonora module: Node.js (require('.../bindings/napi')) and ArkTS
// (import sonora from 'libsonora.so').
//
// Threads: every call is made on the script thread that created the Player (a call from another
// thread throws an Error). Events and captured blocks are delivered on that same thread, from the
// event loop, never on an audio thread.

/** Options of a Player: the audio stream. Defaults: 16 kHz mono 16-bit raw PCM, 20 ms blocks. */
export interface PlayerOptions {
  /** Samples per second: 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 64000 or 96000. Default 16000. */
  sampleRate?: number;
  /** 1 .. 8. Default 1. */
  channels?: number;
  /** 8, 16, 24 or 32. Default 16. Capture needs 16. */
  bitsPerSample?: number;
  /** Bytes per block, a whole number of sample frames and at most one second. Default 640 (20 ms). */
  block?: number;
  /** Blocks played ahead; the renderer thins a backlog beyond twice this (below 50). 0 .. 50, default 3. */
  bufferFrameCount?: number;
  /** Coding of appended data: 4 raw PCM (default), 0 AMR, 1 G.711 A-law, 2 G.711 mu-law, 3 G.729. */
  type?: number;
  /** Capture source (the platform's source type). Default 0. */
  source?: number;
  /** Window number carried with the engine's events. Default 1. */
  window?: number;
  /** Playback ends by itself ('autostop') once everything appended has played. Default false. */
  autoStop?: boolean;
  /** Echo cancellation of the capture (16-bit mono, 8000 or 16000 Hz). Default false. */
  aec?: boolean;
  /** Noise suppression (16-bit mono, 8000 or 16000 Hz). Default false. */
  ns?: boolean;
  /**
   * The echo canceller of `aec`: 'mobile' (WebRTC's mobile canceller, the default and the
   * device's) or 'full' (WebRTC's full-band canceller with the engine's echo-path estimate;
   * desktop builds; 16-bit mono at 8000, 16000, 32000 or 48000 Hz, blocks of whole 10 ms).
   */
  canceller?: 'mobile' | 'full';
}

export interface CaptureOptions {
  /** 'fixed': a linear gain weighted by loudness (default); 'agc': automatic gain control. */
  gainType?: 'fixed' | 'agc';
  /** 'fixed': linear gain 0 .. 1000 (default 1); 'agc': maximum gain in dB, 0 .. 60. */
  gain?: number;
  /** Blocks waiting for the script at most (1 .. 1024, default 16); more are dropped and counted. */
  maxQueued?: number;
  /** Capture source type passed to the platform. Default 0. */
  source?: number;
}

export type Stream = 'playback' | 'capture';

export interface StreamInfo {
  stream: Stream;
}

export interface InterruptionInfo extends StreamInfo {
  /** 'force': the system has already acted; 'share': the application is asked to act. */
  force: 'force' | 'share';
  hint: 'none' | 'resume' | 'pause' | 'stop' | 'duck' | 'unduck';
  /** The stream was ended (a system stop): start it again to go on. */
  stopped: boolean;
}

export interface StreamErrorInfo extends StreamInfo {
  /** true: the stream could not go on and was ended. */
  fatal: boolean;
}

export interface DropInfo {
  /** captureDropped at the time of the event. */
  dropped: number;
}

export interface PlayerEvents {
  /** A stream started (start(), startCapture()). */
  start: (info: StreamInfo) => void;
  /** A stream did not start. */
  failed: (info: StreamInfo) => void;
  /** An autoStop playback has played out. */
  autostop: () => void;
  /** Another application or a call took the audio (see InterruptionInfo). */
  interruption: (info: InterruptionInfo) => void;
  /** Captured blocks were lost: the script (or the engine) fell behind. */
  drop: (info: DropInfo) => void;
  /** The platform reported a stream error. */
  streamError: (info: StreamErrorInfo) => void;
  /** A listener or the capture callback threw; without a listener it becomes a process warning. */
  error: (error: unknown) => void;
}

export class Player {
  /** Throws a TypeError naming the option for a bad value. */
  constructor(options?: PlayerOptions);
  /** Starts playback; false when the device did not start ('failed' follows). */
  start(): boolean;
  /** Stops playback, dropping what is queued; false when it was not playing. */
  stop(): boolean;
  /** Queues PCM (cut into blocks); false when refused: not playing, paused, 50 blocks queued. */
  append(pcm: Int16Array | Uint8Array): boolean;
  pause(): boolean;
  resume(): boolean;
  /** Queues a partial block as a short block. */
  flush(): void;
  /** Drops what is queued. */
  clear(): void;
  /** Track gain, linear, 0 .. 1000 (default 1). */
  volume: number;
  /** Blocks queued for playback. */
  readonly queued: number;
  /** Playback runs. */
  readonly working: boolean;
  /** This Player captures. */
  readonly capturing: boolean;
  /** Captured blocks lost in the current (or last) capture run: the script's and the engine's. */
  readonly captureDropped: number;
  /**
   * Starts capturing: onBlock receives every processed block and its capture time (ms since the
   * epoch). The process has one microphone: throws an Error while another Player captures.
   * false when the device did not start.
   */
  startCapture(onBlock: (pcm: Int16Array, timestampMs: number) => void, options?: CaptureOptions): boolean;
  /** No block is delivered after it returns. false when not capturing. */
  stopCapture(): boolean;
  on<E extends keyof PlayerEvents>(event: E, listener: PlayerEvents[E]): this;
  off<E extends keyof PlayerEvents>(event: E, listener: PlayerEvents[E]): this;
}

export interface SendConfigOptions {
  /** 'mf': four-tone symbols at 44100 Hz (default); 'tone': six triangle tones at 48000 Hz. */
  format?: 'mf' | 'tone';
  /** Repetitions, 1 .. 100 (default 1). */
  times?: number;
}

/**
 * Plays `text` (as UTF-8) as a sound-wave configuration. Settles when the transmission has played
 * out; rejected (error.code 'ERR_SONORA_STOPPED') when stopConfig() cut it short.
 */
export function sendConfig(text: string, options?: SendConfigOptions): Promise<void>;
/** Ends every pending sendConfig within about 100 ms. */
export function stopConfig(): void;

/** The engine's version. */
export const version: string;

/** Desktop only: the texts the receiver's decoders find in mono PCM (mf first, then tone). */
export function decode(pcm: Int16Array, sampleRate: number, options?: { format?: 'mf' | 'tone' | 'auto' }): string[];

/** Desktop only: the virtual audio device behind the streams. */
export const virtualDevice: {
  reset(): void;
  /** Everything rendered since reset(), all renderers in order. */
  rendered(): Int16Array;
  /** What the virtual microphone delivered since reset() (before processing). */
  captured(): Int16Array;
  setCaptureSource(pcm: Int16Array | Uint8Array, loop?: boolean): void;
  setEcho(delayMs: number, gain: number): void;
  setEchoImpulseResponse(ir: Float32Array): boolean;
  roomImpulseResponse(rate: number, lengthMs: number, rt60Ms: number, drrDb: number, seed?: number): Float32Array;
  setCaptureNoise(rmsDbfs: number, seed?: number): boolean;
  setPlatformRequestMs(ms: number): void;
  setCaptureCallbackMs(ms: number): void;
  setCallbackJitterMs(ms: number): void;
  setMicrophonePermission(granted: boolean): void;
  failNextRendererStart(result: number): void;
  failNextCapturerStart(result: number): void;
  injectRendererInterrupt(force: number, hint: number): void;
  injectCapturerInterrupt(force: number, hint: number): void;
  injectRendererError(error: number): void;
  injectCapturerError(error: number): void;
  setManualClock(on: boolean): void;
  pumpRender(requests: number): number;
  pumpCapture(requests: number): number;
  /** The engine's log lines on standard error (default true). */
  setLogEnabled(on: boolean): void;
};
