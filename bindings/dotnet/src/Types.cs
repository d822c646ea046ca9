// What a scan takes and gives: its options, its progress, its result and its failures.
using System;
using System.Text;
using System.Threading;

namespace Quendal
{
    /// <summary>The steps of a scan, in the order they run. Without a cache path there is no
    /// LoadingCache and no StoringCache.</summary>
    public enum ScanPhase
    {
        ReadingManifest = 0,
        LoadingCache = 1,
        CheckingFiles = 2,
        StoringCache = 3,
        Encoding = 4,
    }

    /// <summary>How a scan ended.</summary>
    public enum ScanStatus
    {
        Ok = 0,
        Failed = 1,
        Cancelled = 2,
    }

    /// <summary>What ended a scan that did not complete (quendal_failure_kind). A kind that a
    /// later library adds reads as Failed.</summary>
    public enum FailureKind
    {
        Failed = 1,
        Cancelled = 2,
        OutOfMemory = 3,
    }

    /// <summary>One scan's inputs: paths as the quendal program takes them.</summary>
    public sealed class ScanOptions
    {
        public ScanOptions(string clientDirectory, string manifestPath)
        {
            ClientDirectory = clientDirectory;
            ManifestPath = manifestPath;
        }

        /// <summary>The installed client's directory. Required.</summary>
        public string ClientDirectory { get; set; }

        /// <summary>The update manifest. Required.</summary>
        public string ManifestPath { get; set; }

        /// <summary>The hash cache file, read before the scan and replaced after it; null for
        /// none.</summary>
        public string CachePath { get; set; }
    }

    /// <summary>The counters of a scan at one moment; every counter only grows. BytesToHash
    /// grows while files are checked and is final at the last report of CheckingFiles.</summary>
    public struct ScanProgress
    {
        public ScanProgress(ScanPhase phase, ulong filesDone, ulong filesTotal, ulong bytesHashed,
                            ulong bytesToHash)
        {
            Phase = phase;
            FilesDone = filesDone;
            FilesTotal = filesTotal;
            BytesHashed = bytesHashed;
            BytesToHash = bytesToHash;
        }

        public ScanPhase Phase { get; private set; }
        public ulong FilesDone { get; private set; }
        public ulong FilesTotal { get; private set; }
        public ulong BytesHashed { get; private set; }
        public ulong BytesToHash { get; private set; }

        public override string ToString()
        {
            return string.Format("{0} {1}/{2} files {3}/{4} bytes", Phase, FilesDone, FilesTotal,
                                 BytesHashed, BytesToHash);
        }
    }

    /// <summary>The report's summary counters.</summary>
    public sealed class ScanSummary
    {
        internal ScanSummary(NativeMethods.Summary summary)
        {
            ExpectedFiles = summary.ExpectedFiles;
            HealthyFiles = summary.HealthyFiles;
            MissingFiles = summary.MissingFiles;
            ModifiedFiles = summary.ModifiedFiles;
            CriticalMismatches = summary.CriticalMismatches;
            BytesToDownload = summary.BytesToDownload;
        }

        public ulong ExpectedFiles { get; private set; }
        public ulong HealthyFiles { get; private set; }
        public ulong MissingFiles { get; private set; }
        public ulong ModifiedFiles { get; private set; }
        /// <summary>Missing or modified files of policy critical: while not 0, do not start the
        /// game.</summary>
        public ulong CriticalMismatches { get; private set; }
        public ulong BytesToDownload { get; private set; }
    }

    /// <summary>A completed scan, whatever it found.</summary>
    public sealed class ScanResult
    {
        internal ScanResult(byte[] report, ScanSummary summary, string warning)
        {
            Report = report;
            Summary = summary;
            Warning = warning;
        }

        /// <summary>The compact JSON scan report, byte for byte what the quendal program writes
        /// (without its final line feed). Parse it with the JSON reader of your choice.</summary>
        public byte[] Report { get; private set; }

        /// <summary>The report as text.</summary>
        public string ReportText
        {
            get { return Encoding.UTF8.GetString(Report); }
        }

        public ScanSummary Summary { get; private set; }

        /// <summary>The cache warning the program prints ("Ignoring ..."), or null.</summary>
        public string Warning { get; private set; }
    }

    /// <summary>A scan that failed: the message is the quendal program's one-line message, such
    /// as "Failed to read manifest 'm.json': No such file or directory".</summary>
    public class QuendalException : Exception
    {
        public QuendalException(string message, ScanStatus status, FailureKind kind)
            : base(message)
        {
            Status = status;
            Kind = kind;
        }

        public ScanStatus Status { get; private set; }

        /// <summary>Failed, or OutOfMemory when memory ran out (the message names the
        /// step).</summary>
        public FailureKind Kind { get; private set; }
    }

    /// <summary>A scan that was cancelled: the message is the library's "Scan cancelled.".
    /// The hash cache file is left as it was.</summary>
    public class QuendalCanceledException : OperationCanceledException
    {
        public QuendalCanceledException(string message, CancellationToken token)
            : base(message, token)
        {
        }

        public ScanStatus Status
        {
            get { return ScanStatus.Cancelled; }
        }
    }
}
