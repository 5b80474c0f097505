// Types of web-smart-card.js: the Web Smart Card API (WICG draft) over the tessera-smartcard host.
import type { PortLike } from './tessera-smartcard.js';

export type SmartCardResponseCode =
  | 'no-service' | 'no-smartcard' | 'not-ready' | 'not-transacted' | 'proto-mismatch'
  | 'reader-unavailable' | 'removed-card' | 'reset-card' | 'server-too-busy' | 'sharing-violation'
  | 'system-cancelled' | 'unknown-reader' | 'unpowered-card' | 'unresponsive-card'
  | 'unsupported-card' | 'unsupported-feature';
export type SmartCardProtocol = 'raw' | 't0' | 't1';
export type SmartCardAccessMode = 'shared' | 'exclusive' | 'direct';
export type SmartCardDisposition = 'leave' | 'reset' | 'unpower' | 'eject';
export type SmartCardConnectionState =
  | 'absent' | 'present' | 'swallowed' | 'powered' | 'negotiable' | 't0' | 't1' | 'raw';

export class SmartCardError extends DOMException {
  constructor(message: string, options: { responseCode: SmartCardResponseCode });
  readonly responseCode: SmartCardResponseCode;
}

export interface SmartCardReaderStateFlagsIn {
  unaware?: boolean; ignore?: boolean; unavailable?: boolean; empty?: boolean; present?: boolean;
  exclusive?: boolean; inuse?: boolean; mute?: boolean; unpowered?: boolean;
}
export interface SmartCardReaderStateFlagsOut {
  ignore: boolean; changed: boolean; unavailable: boolean; unknown: boolean; empty: boolean;
  present: boolean; exclusive: boolean; inuse: boolean; mute: boolean; unpowered: boolean;
}
export interface SmartCardReaderStateIn {
  readerName: string;
  currentState: SmartCardReaderStateFlagsIn;
  currentCount?: number;
}
export interface SmartCardReaderStateOut {
  readerName: string;
  eventState: SmartCardReaderStateFlagsOut;
  eventCount: number;
  answerToReset: ArrayBuffer;
}
export interface SmartCardGetStatusChangeOptions {
  /** Milliseconds; absent means no limit. */
  timeout?: number;
  signal?: AbortSignal;
}
export interface SmartCardConnectOptions { preferredProtocols?: SmartCardProtocol[] }
export interface SmartCardConnectResult {
  connection: SmartCardConnection;
  activeProtocol?: SmartCardProtocol;
}
export interface SmartCardConnectionStatus {
  readerName: string;
  state: SmartCardConnectionState;
  answerToReset: ArrayBuffer;
}
export type BufferSourceLike = ArrayBuffer | ArrayBufferView | number[];

export interface SmartCardConnection {
  disconnect(disposition?: SmartCardDisposition): Promise<void>;
  transmit(sendBuffer: BufferSourceLike, options?: { protocol?: SmartCardProtocol }): Promise<ArrayBuffer>;
  startTransaction(transaction: () => Promise<SmartCardDisposition | undefined> | SmartCardDisposition | undefined,
    options?: { signal?: AbortSignal }): Promise<void>;
  status(): Promise<SmartCardConnectionStatus>;
  control(controlCode: number, data?: BufferSourceLike): Promise<ArrayBuffer>;
  getAttribute(tag: number): Promise<ArrayBuffer>;
  /** Always rejects with "NotSupportedError": the host has no such command. */
  setAttribute(tag: number, value: BufferSourceLike): Promise<never>;
}

export interface SmartCardContext {
  listReaders(): Promise<string[]>;
  getStatusChange(readerStates: SmartCardReaderStateIn[], options?: SmartCardGetStatusChangeOptions):
    Promise<SmartCardReaderStateOut[]>;
  connect(readerName: string, accessMode: SmartCardAccessMode, options?: SmartCardConnectOptions):
    Promise<SmartCardConnectResult>;
  /** Not in the draft: ends this context's host processes now. */
  close(): void;
}

export interface SmartCardReaderEvent {
  type: 'added' | 'removed' | 'inserted' | 'ejected';
  readerName: string;
  /** The card's ATR for 'inserted'; empty otherwise. */
  answerToReset: ArrayBuffer;
}

export interface SmartCardResourceManager {
  establishContext(): Promise<SmartCardContext>;
  /** Not in the draft: reader and card events until the signal aborts or the loop breaks. */
  watchReaders(options?: { signal?: AbortSignal }): AsyncGenerator<SmartCardReaderEvent, void, undefined>;
  /** Not in the draft: releases every context and ends every host process it started. */
  close(): void;
}

export interface SmartCardOptions {
  /** A new port to a new host process; by default runtime.connectNative(HOST_NAME). */
  connectPort?: () => PortLike;
  /** How dwState of SCardStatus reads; by default from the platform this runs on. */
  platform?: 'pcsclite' | 'windows';
  /** Time for each ordinary call's answer (ms), as in createClient. */
  timeoutMs?: number;
}

export function createSmartCard(options?: SmartCardOptions): SmartCardResourceManager;
export const RESPONSE_CODES: Readonly<Record<number, SmartCardResponseCode>>;
export function exceptionFor(result: { result: number; resultName: string }, call: string): Error;
export function flagsToState(flags?: SmartCardReaderStateFlagsIn, count?: number): number;
export function stateToFlags(state: number): SmartCardReaderStateFlagsOut;
export function connectionState(state: number, protocol: number, platform: 'pcsclite' | 'windows'):
  SmartCardConnectionState | undefined;
