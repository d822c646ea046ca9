export type Phase =
  'reading_manifest' | 'loading_cache' | 'checking_files' | 'storing_cache' | 'encoding';

export const PHASES: readonly Phase[];

/** One line of the program's progress channel (schemas/quendal-progress.schema.json). */
export interface ProgressEvent {
  event: 'progress';
  phase: Phase;
  filesDone: number;
  filesTotal: number;
  bytesHashed: number;
  bytesToHash: number;
}

export interface ScanOptions {
  clientDir: string;
  manifest: string;
  /** The hash cache file, read before the scan and replaced after it. */
  cache?: string;
  /** The quendal executable; default "quendal" on the PATH. */
  program?: string;
  signal?: AbortSignal;
  onProgress?: (event: ProgressEvent) => void;
  env?: NodeJS.ProcessEnv;
}

export interface ScanResult {
  /** The scan report (schemas/quendal-scan-report.schema.json), parsed. */
  report: any;
  /** The report's bytes as the program wrote them, without the final line feed. */
  reportBytes: Buffer;
  summary: {
    expectedFiles: number;
    healthyFiles: number;
    missingFiles: number;
    modifiedFiles: number;
    criticalMismatches: number;
    bytesToDownload: number;
  };
  /** Warning lines of standard error, such as an unusable cache's "Ignoring ...". */
  warnings: string[];
}

export class QuendalError extends Error {
  /** 1 for a run that failed, 2 for a command line the program refused. */
  exitStatus: number | null;
  stderr: string;
}

export function scan(options: ScanOptions): Promise<ScanResult>;
