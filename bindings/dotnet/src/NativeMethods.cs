// The C interface of include/quendal/quendal.h as P/Invoke declarations, and the handle of one
// scan. Texts cross it as UTF-8 bytes with their lengths, converted by hand (Scanner.cs): the
// marshaller's string conversions would use the system's ANSI code page on Windows.
using System;
using System.Runtime.InteropServices;

namespace Quendal
{
    internal static class NativeMethods
    {
        // libquendal.so on Linux (found through the loader's path, e.g. LD_LIBRARY_PATH),
        // quendal.dll on Windows.
        internal const string Library = "quendal";

        internal const int StatusPending = -1;
        internal const int StatusOk = 0;
        internal const int StatusFailed = 1;
        internal const int StatusCancelled = 2;

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate int ProgressCallback(IntPtr progress, IntPtr userData);

        [StructLayout(LayoutKind.Sequential)]
        internal struct Progress
        {
            public int Phase;
            public uint Reserved;
            public ulong FilesDone;
            public ulong FilesTotal;
            public ulong BytesHashed;
            public ulong BytesToHash;
        }

        [StructLayout(LayoutKind.Sequential)]
        internal struct Options
        {
            public ulong StructSize;
            public IntPtr ClientDir;
            public ulong ClientDirLength;
            public IntPtr ManifestPath;
            public ulong ManifestPathLength;
            public IntPtr CachePath;
            public ulong CachePathLength;
            public IntPtr Progress;
            public IntPtr UserData;
        }

        [StructLayout(LayoutKind.Sequential)]
        internal struct Summary
        {
            public ulong StructSize;
            public ulong ExpectedFiles;
            public ulong HealthyFiles;
            public ulong MissingFiles;
            public ulong ModifiedFiles;
            public ulong CriticalMismatches;
            public ulong BytesToDownload;
        }

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr quendal_version();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern ScanHandle quendal_scan_create(ref Options options);

        // The marshaller holds a reference on the handle for the length of each call, so a
        // Dispose meanwhile frees the scan only once the call has returned.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int quendal_scan_run(ScanHandle scan);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void quendal_scan_cancel(ScanHandle scan);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr quendal_scan_report(ScanHandle scan, out ulong length);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr quendal_scan_warning(ScanHandle scan, out ulong length);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr quendal_scan_failure(ScanHandle scan, out ulong length);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int quendal_scan_failure_kind(ScanHandle scan);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int quendal_scan_summary(ScanHandle scan, ref Summary summary);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void quendal_scan_destroy(IntPtr scan);
    }

    /// <summary>One scan of the library. Released (quendal_scan_destroy) when the last call
    /// that uses it has returned, never while quendal_scan_run is running.</summary>
    internal sealed class ScanHandle : SafeHandle
    {
        private ScanHandle() : base(IntPtr.Zero, true)
        {
        }

        public override bool IsInvalid
        {
            get { return handle == IntPtr.Zero; }
        }

        protected override bool ReleaseHandle()
        {
            NativeMethods.quendal_scan_destroy(handle);
            return true;
        }
    }
}
