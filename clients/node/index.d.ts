/** One application playing sound, as `list` gives it. */
export interface Session {
  exe: string;
  name: string;
  /** Its volume in percent of its own level. */
  vol: number;
}

export interface CallOptions {
  /** Milliseconds to wait for the reply; the instance's timeout by default. */
  timeout?: number;
  signal?: AbortSignal;
}

export interface DuckedOptions extends CallOptions {
  /** Milliseconds the restore waits; the next ducked block cancels it. */
  hold?: number;
  /** Spare this program's own sound first (the default). */
  spareSelf?: boolean;
}

export type Names = string | readonly string[];

export class Appduck {
  constructor(options?: { path?: string; timeout?: number });
  readonly path: string;
  timeout: number;
  list(options?: CallOptions): Promise<Session[]>;
  /** Resolves to `bajados`: 1 when a name matched a session. */
  duck(percent: number, names: Names, options?: CallOptions): Promise<number>;
  restore(options?: CallOptions): Promise<void>;
  /** False from an appduck that has no spare. */
  spare(names?: Names, options?: CallOptions): Promise<boolean>;
  ducked<T>(percent: number, names: Names, fn: () => T | Promise<T>,
            options?: DuckedOptions): Promise<T>;
  /** Resolves to appduck's exit status. */
  close(options?: { timeout?: number }): Promise<number | string | null>;
}

export function ducked<T>(percent: number, names: Names, fn: () => T | Promise<T>,
                          options?: DuckedOptions): Promise<T>;
export function findAppduck(path?: string): string;

export class AppduckError extends Error {}
export class AppduckNotFoundError extends AppduckError {
  /** Each place looked at, and why it did not serve. */
  readonly tried: [string, string][];
  readonly code: "ENOENT";
}
export class AppduckGoneError extends AppduckError {
  readonly status: number | string | null;
}
export class AppduckTimeoutError extends AppduckError {}

declare const appduck: {
  Appduck: typeof Appduck;
  ducked: typeof ducked;
  findAppduck: typeof findAppduck;
  AppduckError: typeof AppduckError;
  AppduckNotFoundError: typeof AppduckNotFoundError;
  AppduckGoneError: typeof AppduckGoneError;
  AppduckTimeoutError: typeof AppduckTimeoutError;
};
export default appduck;
