// Runs a scan of libquendal on a thread of its own and hands back its result as a task.
using System;
using System.Runtime.ExceptionServices;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Quendal
{
    public static class Scanner
    {
        /// <summary>The library's version, "MAJOR.MINOR.PATCH".</summary>
        public static string LibraryVersion
        {
            get { return Marshal.PtrToStringAnsi(NativeMethods.quendal_version()); }
        }

        /// <summary>Scans the client of <paramref name="options"/> on a thread of its own.
        /// <paramref name="progress"/> gets Report calls on that thread, at most about 20 a
        /// second and once at the end of each phase (a Progress&lt;T&gt; created on a UI thread
        /// posts them there). Cancelling <paramref name="cancellationToken"/> cancels the scan
        /// until its files have been checked; later the scan completes.</summary>
        /// <returns>The result of a completed scan, whatever it found.</returns>
        /// <exception cref="QuendalException">The scan failed; its message is the
        /// program's.</exception>
        /// <exception cref="QuendalCanceledException">The scan was cancelled.</exception>
        /// <exception cref="ArgumentException">A path is missing or has no UTF-8 form.</exception>
        public static async Task<ScanResult> ScanAsync(
            ScanOptions options, IProgress<ScanProgress> progress = null,
            CancellationToken cancellationToken = default(CancellationToken))
        {
            if (options == null) throw new ArgumentNullException("options");
            cancellationToken.ThrowIfCancellationRequested();
            var run = new ScanRun(options, progress);
            // The run blocks its thread for as long as the scan takes.
            return await Task.Factory.StartNew(() => run.Execute(cancellationToken),
                                               CancellationToken.None,
                                               TaskCreationOptions.LongRunning,
                                               TaskScheduler.Default).ConfigureAwait(false);
        }
    }

    internal sealed class ScanRun
    {
        private static readonly UTF8Encoding Utf8 = new UTF8Encoding(false, true);

        private readonly IProgress<ScanProgress> _progress;
        // The library calls it until the handle is gone: held here, and kept alive explicitly
        // past the run, so the collector never frees it under the library.
        private readonly NativeMethods.ProgressCallback _callback;
        private readonly ScanHandle _handle;
        private Exception _progressError;

        internal ScanRun(ScanOptions options, IProgress<ScanProgress> progress)
        {
            _progress = progress;
            _callback = OnProgress;
            byte[] client = Utf8Path(options.ClientDirectory, "ClientDirectory", true);
            byte[] manifest = Utf8Path(options.ManifestPath, "ManifestPath", true);
            byte[] cache = Utf8Path(options.CachePath, "CachePath", false);
            var pinned = new GCHandle[3];
            try
            {
                var native = new NativeMethods.Options();
                native.StructSize = (ulong)Marshal.SizeOf(typeof(NativeMethods.Options));
                native.ClientDir = Pin(client, ref pinned[0]);
                native.ClientDirLength = (ulong)client.Length;
                native.ManifestPath = Pin(manifest, ref pinned[1]);
                native.ManifestPathLength = (ulong)manifest.Length;
                if (cache != null)
                {
                    native.CachePath = Pin(cache, ref pinned[2]);
                    native.CachePathLength = (ulong)cache.Length;
                }
                native.Progress = Marshal.GetFunctionPointerForDelegate(_callback);
                // The library copies the texts: they need no pinning past this call.
                _handle = NativeMethods.quendal_scan_create(ref native);
            }
            finally
            {
                foreach (GCHandle handle in pinned)
                {
                    if (handle.IsAllocated) handle.Free();
                }
            }
            if (_handle.IsInvalid) throw new OutOfMemoryException("quendal_scan_create failed");
        }

        internal ScanResult Execute(CancellationToken cancellationToken)
        {
            using (_handle)
            {
                int status;
                // Disposing the registration waits for a cancel that is running, so the cancel
                // never meets a freed handle.
                using (cancellationToken.Register(Cancel))
                {
                    status = NativeMethods.quendal_scan_run(_handle);
                }
                GC.KeepAlive(_callback);
                if (_progressError != null) ExceptionDispatchInfo.Capture(_progressError).Throw();
                if (status == NativeMethods.StatusCancelled)
                {
                    throw new QuendalCanceledException(Text(NativeMethods.quendal_scan_failure),
                                                       cancellationToken);
                }
                if (status != NativeMethods.StatusOk)
                {
                    int kind = NativeMethods.quendal_scan_failure_kind(_handle);
                    throw new QuendalException(Text(NativeMethods.quendal_scan_failure),
                                               ScanStatus.Failed,
                                               kind == (int)FailureKind.OutOfMemory
                                                   ? FailureKind.OutOfMemory
                                                   : FailureKind.Failed);
                }
                var summary = new NativeMethods.Summary();
                summary.StructSize = (ulong)Marshal.SizeOf(typeof(NativeMethods.Summary));
                NativeMethods.quendal_scan_summary(_handle, ref summary);
                return new ScanResult(Bytes(NativeMethods.quendal_scan_report),
                                      new ScanSummary(summary),
                                      Text(NativeMethods.quendal_scan_warning));
            }
        }

        private void Cancel()
        {
            NativeMethods.quendal_scan_cancel(_handle);
        }

        // Runs on the scanning thread. Nothing may unwind into the library: an exception of the
        // progress handler cancels the scan and is thrown again by Execute.
        private int OnProgress(IntPtr native, IntPtr userData)
        {
            if (_progress == null) return 0;
            try
            {
                var p = (NativeMethods.Progress)Marshal.PtrToStructure(
                    native, typeof(NativeMethods.Progress));
                _progress.Report(new ScanProgress((ScanPhase)p.Phase, p.FilesDone, p.FilesTotal,
                                                  p.BytesHashed, p.BytesToHash));
                return 0;
            }
            catch (Exception error)
            {
                _progressError = error;
                return 1;
            }
        }

        private delegate IntPtr TextGetter(ScanHandle scan, out ulong length);

        private byte[] Bytes(TextGetter getter)
        {
            ulong length;
            IntPtr data = getter(_handle, out length);
            if (data == IntPtr.Zero) return null;
            if (length > int.MaxValue) throw new OutOfMemoryException("the report is over 2 GiB");
            var bytes = new byte[length];
            Marshal.Copy(data, bytes, 0, (int)length);
            return bytes;
        }

        private string Text(TextGetter getter)
        {
            byte[] bytes = Bytes(getter);
            return bytes == null ? null : Encoding.UTF8.GetString(bytes);
        }

        private static byte[] Utf8Path(string path, string name, bool required)
        {
            if (path == null)
            {
                if (required) throw new ArgumentException(name + " is required", name);
                return null;
            }
            try
            {
                return Utf8.GetBytes(path);
            }
            catch (EncoderFallbackException error)
            {
                throw new ArgumentException(name + " has no UTF-8 form", name, error);
            }
        }

        private static IntPtr Pin(byte[] bytes, ref GCHandle handle)
        {
            handle = GCHandle.Alloc(bytes, GCHandleType.Pinned);
            return handle.AddrOfPinnedObject();
        }
    }
}
