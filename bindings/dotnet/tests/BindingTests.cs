// Tests of the .NET binding against the real library and program, as a console program that
// Mono runs in CI (scripts/test-bindings):
//
//   mcs -target:library -out:Quendal.dll bindings/dotnet/src/*.cs
//   mcs -r:Quendal.dll -out:BindingTests.exe bindings/dotnet/tests/BindingTests.cs
//   LD_LIBRARY_PATH=build QUENDAL_BINARY=build/quendal mono BindingTests.exe
//
// Exit status 0 when every test passed.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading;
using System.Threading.Tasks;
using Quendal;

internal static class BindingTests
{
    private static readonly string Repo = FindRepo();
    private static readonly string Client = Path.Combine(Repo, "examples", "client");
    private static readonly string Manifest = Path.Combine(Repo, "examples", "manifest.json");
    private static readonly string Binary =
        Environment.GetEnvironmentVariable("QUENDAL_BINARY") ?? Path.Combine(Repo, "build", "quendal");

    private static int Main()
    {
        var tests = new Dictionary<string, Action>
        {
            { "report is the program's and progress ends at the totals", ReportAndProgress },
            { "cancel from another thread leaves the cache as it was", CancelKeepsTheCache },
            { "a missing manifest gives the program's message", MissingManifest },
        };
        int failed = 0;
        foreach (var test in tests)
        {
            try
            {
                test.Value();
                Console.WriteLine("ok     " + test.Key);
            }
            catch (Exception error)
            {
                failed++;
                Console.WriteLine("FAILED " + test.Key + "\n" + error);
            }
        }
        Console.WriteLine("dotnet: {0} passed, {1} failed", tests.Count - failed, failed);
        return failed == 0 ? 0 : 1;
    }

    // Report runs synchronously on the scanning thread, so what a test sees is in order.
    private sealed class Recorder : IProgress<ScanProgress>
    {
        public readonly List<ScanProgress> Seen = new List<ScanProgress>();
        public Action<ScanProgress> Also;

        public void Report(ScanProgress value)
        {
            Seen.Add(value);
            if (Also != null) Also(value);
        }
    }

    private static void ReportAndProgress()
    {
        string program = RunProgram("--client-dir", Client, "--manifest", Manifest);
        var recorder = new Recorder();
        ScanResult result = Scanner.ScanAsync(new ScanOptions(Client, Manifest), recorder).Result;
        Equal(WithoutScannedAt(program), WithoutScannedAt(result.ReportText) + "\n", "report");
        ScanSummary s = result.Summary;
        Equal("8 5 1 2 1 262", string.Join(" ", new[] { s.ExpectedFiles, s.HealthyFiles,
              s.MissingFiles, s.ModifiedFiles, s.CriticalMismatches, s.BytesToDownload }), "summary");
        Equal(null, result.Warning, "warning");
        ScanProgress last = recorder.Seen.Last(p => p.Phase == ScanPhase.CheckingFiles);
        Equal("CheckingFiles 8/8 files 291/291 bytes", last.ToString(), "last checking progress");
        Equal(ScanPhase.Encoding, recorder.Seen.Last().Phase, "last phase");
    }

    private static void CancelKeepsTheCache()
    {
        string dir = TempDirectory();
        try
        {
            // Two sparse files of 1 GiB: seconds of hashing, nothing on the disk.
            string client = Path.Combine(dir, "big");
            Directory.CreateDirectory(client);
            var files = new List<string>();
            foreach (string name in new[] { "a.bin", "b.bin" })
            {
                using (var file = new FileStream(Path.Combine(client, name), FileMode.Create))
                {
                    file.SetLength(1L << 30);
                }
                files.Add("{\"path\":\"" + name + "\",\"size\":1073741824,\"sha256\":\"" +
                          new string('0', 64) + "\",\"blobPath\":\"b/" + name +
                          "\",\"policy\":\"required\"}");
            }
            string manifest = Path.Combine(dir, "big.json");
            File.WriteAllText(manifest, "{\"schemaVersion\":\"velor-tirn-manifest.v3\"," +
                "\"channel\":\"live\",\"releaseVersion\":\"1.2.0\"," +
                "\"publishedAt\":\"2026-01-31T00:00:00Z\",\"hashAlgorithm\":\"sha256\"," +
                "\"downloadBaseUrl\":\"https://cdn.example.invalid/\",\"files\":[" +
                string.Join(",", files) + "],\"signature\":{\"algorithm\":\"ed25519\"," +
                "\"keyId\":\"k\",\"signature\":\"s\"}}");
            string cache = Path.Combine(dir, "cache.json");
            File.WriteAllText(cache, "{\n  \"schemaVersion\": \"velor-tirn-client-hash-cache.v2\"," +
                "\n  \"clientRoot\": \"\",\n  \"manifestSignature\": \"x\",\n" +
                "  \"generatedAt\": \"2026-01-31T00:00:00Z\",\n  \"entries\": {}\n}");
            byte[] before = File.ReadAllBytes(cache);

            var source = new CancellationTokenSource();
            var recorder = new Recorder();
            int cancels = 0;  // cancels started from the progress handler
            recorder.Also = p =>
            {
                // A collection at every call: a callback the collector could reach would be
                // gone by the next one.
                GC.Collect();
                GC.WaitForPendingFinalizers();
                if (p.Phase != ScanPhase.CheckingFiles || cancels > 0) return;
                cancels++;
                // The cancel comes from another thread while the files are being hashed.
                var canceller = new Thread(source.Cancel);
                canceller.Start();
                canceller.Join();
            };
            var options = new ScanOptions(client, manifest) { CachePath = cache };
            try
            {
                // As await does: the exception itself, not an AggregateException.
                Scanner.ScanAsync(options, recorder, source.Token).GetAwaiter().GetResult();
                throw new Exception("the scan completed");
            }
            catch (QuendalCanceledException cancelled)
            {
                Equal("Scan cancelled.", cancelled.Message, "message");
                Equal(ScanStatus.Cancelled, cancelled.Status, "status");
                Equal(source.Token, cancelled.CancellationToken, "token");
            }
            Equal(1, cancels, "cancels");
            Equal(Convert.ToBase64String(before), Convert.ToBase64String(File.ReadAllBytes(cache)),
                  "cache bytes");
            Equal("big big.json cache.json", string.Join(" ", Directory.GetFileSystemEntries(dir)
                  .Select(Path.GetFileName).OrderBy(n => n, StringComparer.Ordinal)), "files");
        }
        finally
        {
            Directory.Delete(dir, true);
        }
    }

    private static void MissingManifest()
    {
        string absent = Path.Combine(TempDirectory(), "absent.json");
        string message = "Failed to read manifest '" + absent + "': No such file or directory";
        Equal(message + "\n", RunProgram(1, "--client-dir", Client, "--manifest", absent), "program");
        try
        {
            Scanner.ScanAsync(new ScanOptions(Client, absent)).GetAwaiter().GetResult();
            throw new Exception("the scan completed");
        }
        catch (QuendalException error)
        {
            Equal(message, error.Message, "message");
            Equal(ScanStatus.Failed, error.Status, "status");
            Equal(FailureKind.Failed, error.Kind, "kind");
        }
        Directory.Delete(Path.GetDirectoryName(absent));
    }

    // ---- helpers ----

    private static string RunProgram(params string[] arguments)
    {
        return RunProgram(0, arguments);
    }

    // The program's standard output for exit status 0, its standard error otherwise.
    private static string RunProgram(int expectedStatus, params string[] arguments)
    {
        var start = new ProcessStartInfo(Binary, string.Join(" ", arguments.Select(Quote)))
        {
            UseShellExecute = false,
            RedirectStandardOutput = true,
            RedirectStandardError = true,
            StandardOutputEncoding = Encoding.UTF8,
            StandardErrorEncoding = Encoding.UTF8,
        };
        using (Process process = Process.Start(start))
        {
            Task<string> err = process.StandardError.ReadToEndAsync();
            string output = process.StandardOutput.ReadToEnd();
            process.WaitForExit();
            Equal(expectedStatus, process.ExitCode, "exit status of " + start.Arguments);
            return expectedStatus == 0 ? output : err.Result;
        }
    }

    private static string Quote(string argument)
    {
        return "\"" + argument.Replace("\\", "\\\\").Replace("\"", "\\\"") + "\"";
    }

    private static string WithoutScannedAt(string report)
    {
        var pattern = new Regex("\"scannedAt\":\"[^\"]*\"");
        Equal(1, pattern.Matches(report).Count, "scannedAt in " + report);
        return pattern.Replace(report, "\"scannedAt\":\"\"");
    }

    private static void Equal<T>(T expected, T actual, string what)
    {
        if (!EqualityComparer<T>.Default.Equals(expected, actual))
        {
            throw new Exception(string.Format("{0}: expected {1}, got {2}", what, expected, actual));
        }
    }

    private static string TempDirectory()
    {
        string dir = Path.Combine(Path.GetTempPath(), "quendal-dotnet-" + Guid.NewGuid().ToString("N"));
        Directory.CreateDirectory(dir);
        return dir;
    }

    private static string FindRepo()
    {
        string dir = AppDomain.CurrentDomain.BaseDirectory;
        string fromEnvironment = Environment.GetEnvironmentVariable("QUENDAL_REPO");
        if (fromEnvironment != null) return Path.GetFullPath(fromEnvironment);
        while (dir != null && !File.Exists(Path.Combine(dir, "include", "quendal", "quendal.h")))
        {
            dir = Path.GetDirectoryName(dir.TrimEnd(Path.DirectorySeparatorChar));
        }
        return dir ?? Directory.GetCurrentDirectory();
    }
}
