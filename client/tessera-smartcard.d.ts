// Types of the tessera-smartcard client (tessera-smartcard.js and encodings.js).

/** A PC/SC handle: 16 lower-case hex digits, most significant first. */
export type Handle = string;
export type Bytes = Uint8Array | ArrayLike<number>;

export const HOST_NAME: string;
export const SCARD_SCOPE_USER: 0;
export const SCARD_SCOPE_TERMINAL: 1;
export const SCARD_SCOPE_SYSTEM: 2;
export const SCARD_SHARE_EXCLUSIVE: 1;
export const SCARD_SHARE_SHARED: 2;
export const SCARD_SHARE_DIRECT: 3;
export const SCARD_PROTOCOL_UNDEFINED: 0;
export const SCARD_PROTOCOL_T0: 1;
export const SCARD_PROTOCOL_T1: 2;
export const SCARD_PROTOCOL_ANY: 3;
export const SCARD_LEAVE_CARD: 0;
export const SCARD_RESET_CARD: 1;
export const SCARD_UNPOWER_CARD: 2;
export const SCARD_EJECT_CARD: 3;
export const SCARD_STATE_UNAWARE: number;
export const SCARD_STATE_IGNORE: number;
export const SCARD_STATE_CHANGED: number;
export const SCARD_STATE_UNKNOWN: number;
export const SCARD_STATE_UNAVAILABLE: number;
export const SCARD_STATE_EMPTY: number;
export const SCARD_STATE_PRESENT: number;
export const SCARD_STATE_ATRMATCH: number;
export const SCARD_STATE_EXCLUSIVE: number;
export const SCARD_STATE_INUSE: number;
export const SCARD_STATE_MUTE: number;
export const SCARD_STATE_UNPOWERED: number;
export const INFINITE: number;
export const SCARD_AUTOALLOCATE: number;
export const PNP_NOTIFICATION: string;
export const MAX_RESPONSE: number;
export const MAX_ATR: 36;
export const DEFAULT_TIMEOUT_MS: number;
export const RESULT_CODES: Readonly<Record<string, number>>;
export const BYTE_KEYS_S: readonly string[];
export const BYTE_KEYS_W: readonly string[];
export const CONTEXT_MEMBERS: readonly string[];
export const CARD_MEMBERS: readonly string[];
export const READER_STATE_SIZE: 200;

export type FailureReason = 'argument' | 'timeout' | 'skipped' | 'disconnected' | 'reply';

export class TesseraError extends Error {
  readonly reason: FailureReason;
  readonly call?: string;
  readonly requestId?: string;
}

export interface PortLike {
  postMessage(message: object): void;
  onMessage: { addListener(listener: (message: any) => void): void };
  onDisconnect: { addListener(listener: (port?: any) => void): void };
  disconnect?(): void;
}

export interface CallResult {
  /** The PC/SC result code, unsigned. */
  result: number;
  /** Its PC/SC name, e.g. "SCARD_W_REMOVED_CARD". */
  resultName: string;
  ok: boolean;
}

export interface ReaderState {
  reader: string;
  currentState: number;
  eventState?: number;
  atr?: Uint8Array;
  userData?: Bytes;
}

export interface ReaderStateResult {
  reader: string;
  currentState: number;
  eventState: number;
  atr: Uint8Array;
  userData: Uint8Array;
}

export interface CallOptions {
  /** Time for the answer, counted from when the host starts on the request. */
  timeoutMs?: number;
}

export interface Client {
  SCardAccessStartedEvent(opts?: CallOptions): Promise<CallResult>;
  SCardEstablishContext(scope?: number, opts?: CallOptions): Promise<CallResult & { context: Handle }>;
  SCardReleaseContext(context: Handle, opts?: CallOptions): Promise<CallResult>;
  SCardCancel(context: Handle, opts?: CallOptions): Promise<CallResult>;
  SCardListReaderGroups(context: Handle, opts?: CallOptions): Promise<CallResult & { groups: string[] }>;
  SCardListReaders(context: Handle, groups?: string[] | null, opts?: CallOptions):
    Promise<CallResult & { readers: string[] }>;
  SCardConnect(context: Handle, reader: string, shareMode?: number, preferredProtocols?: number,
    opts?: CallOptions): Promise<CallResult & { card: Handle; activeProtocol: number }>;
  SCardReconnect(card: Handle, shareMode?: number, preferredProtocols?: number, initialization?: number,
    opts?: CallOptions): Promise<CallResult & { activeProtocol: number }>;
  SCardDisconnect(card: Handle, disposition?: number, opts?: CallOptions): Promise<CallResult>;
  SCardBeginTransaction(card: Handle, opts?: CallOptions): Promise<CallResult>;
  SCardEndTransaction(card: Handle, disposition?: number, opts?: CallOptions): Promise<CallResult>;
  SCardTransmit(card: Handle, sendPci: number | Uint8Array, apdu: Bytes,
    opts?: CallOptions & { maxResponse?: number; receivePci?: Uint8Array }):
    Promise<CallResult & { response: Uint8Array; receivePci: Uint8Array | null }>;
  SCardControl(card: Handle, controlCode: number, input?: Bytes | null,
    opts?: CallOptions & { outputLength?: number }): Promise<CallResult & { output: Uint8Array }>;
  SCardGetAttrib(card: Handle, attributeId: number, opts?: CallOptions & { length?: number }):
    Promise<CallResult & { attribute: Uint8Array; length: number }>;
  SCardStatus(card: Handle, opts?: CallOptions): Promise<CallResult & {
    readerNames: string[]; state: number; protocol: number; atr: Uint8Array;
  }>;
  SCardGetStatusChange(context: Handle, timeout: number, readerStates: ReaderState[], opts?: CallOptions):
    Promise<CallResult & { readerStates: ReaderStateResult[] }>;
  close(): void;
  readonly closed: boolean;
  readonly pendingCount: number;
}

export function connect(hostName?: string, options?: { timeoutMs?: number }): Client;
export function createClient(port: PortLike, options?: { timeoutMs?: number; idPrefix?: string }): Client;
export function pciRecord(protocol: number): Uint8Array;
export function ctlCode(code: number, platform: 'pcsclite' | 'windows'): number;

export function handleFromReply(reply: Record<string, string>, members: readonly string[]): Handle;
export function handleToKeys(handle: Handle, byteKeys: readonly string[]): Record<string, number>;
export function toByteList(bytes: Bytes | null | undefined): string;
export function fromByteList(text: string): Uint8Array;
export function fromNumberText(text: string): number;
export function fromMultiString(bytes: Uint8Array): string[];
export function toMultiString(names: string[]): Uint8Array;
export function encodeReaderStates(states: ReaderState[]): Uint8Array;
export function decodeReaderStates(bytes: Uint8Array): ReaderStateResult[];
export function resultName(code: number): string;
