"""Python bindings of libquendal: scan an installed game client against an update manifest in
this process, with progress and a cancel from any thread.

    import quendal
    result = quendal.scan("client", "manifest.json", cache="hashes.json",
                          progress=lambda p: print(p.phase, p.files_done, p.files_total))
    for action in result.report["repairActions"]:
        print(action["path"], action["reason"])

The report (``result.report_bytes``, parsed as ``result.report``) and the failure messages are
exactly the quendal program's. The library is the one named by the ``library`` argument, else
by the environment variable QUENDAL_LIBRARY, else the one ``ctypes.util.find_library`` finds.
"""

import ctypes
import ctypes.util
import json
import os
import threading
from typing import Callable, NamedTuple, Optional, Union

__all__ = ["Progress", "Scan", "ScanError", "ScanResult", "Summary", "load_library", "scan"]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

PHASES = ("reading_manifest", "loading_cache", "checking_files", "storing_cache", "encoding")

_STATUS_OK, _STATUS_FAILED, _STATUS_CANCELLED = 0, 1, 2


class Progress(NamedTuple):
    """The counters of a scan at one moment (see quendal.h): phase is one of PHASES."""
    phase: str
    files_done: int
    files_total: int
    bytes_hashed: int
    bytes_to_hash: int


class Summary(NamedTuple):
    """The report's summary counters, as the library hands them over."""
    expected_files: int
    healthy_files: int
    missing_files: int
    modified_files: int
    critical_mismatches: int
    bytes_to_download: int


class ScanResult(NamedTuple):
    report_bytes: bytes      # the compact JSON report, as the program writes it (no line feed)
    report: dict             # report_bytes parsed
    summary: Summary
    warning: Optional[str]   # the cache warning ("Ignoring ...") when the cache was not usable


class ScanError(Exception):
    """A scan that failed or was cancelled: ``message`` is the program's one-line message
    ("Scan cancelled." for a cancel), ``kind`` is "failed", "cancelled" or "out_of_memory"
    (the library's failure kind; an unknown one reads as "failed"), and ``cancelled`` is
    ``kind == "cancelled"``."""

    def __init__(self, message: str, kind: str):
        super().__init__(message)
        self.message = message
        self.kind = kind
        self.cancelled = kind == "cancelled"


# quendal_failure_kind values.
_FAILURE_KINDS = {1: "failed", 2: "cancelled", 3: "out_of_memory"}


class _NativeProgress(ctypes.Structure):
    _fields_ = [("phase", ctypes.c_int32), ("reserved", ctypes.c_uint32),
                ("files_done", ctypes.c_uint64), ("files_total", ctypes.c_uint64),
                ("bytes_hashed", ctypes.c_uint64), ("bytes_to_hash", ctypes.c_uint64)]


_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.POINTER(_NativeProgress), ctypes.c_void_p)


class _NativeOptions(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint64),
                ("client_dir", ctypes.c_char_p), ("client_dir_length", ctypes.c_uint64),
                ("manifest_path", ctypes.c_char_p), ("manifest_path_length", ctypes.c_uint64),
                ("cache_path", ctypes.c_char_p), ("cache_path_length", ctypes.c_uint64),
                ("progress", _CALLBACK), ("user_data", ctypes.c_void_p)]


class _NativeSummary(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint64)] + [
        (name, ctypes.c_uint64) for name in Summary._fields]


_libraries = {}
_libraries_lock = threading.Lock()


def load_library(path: Optional[str] = None) -> ctypes.CDLL:
    """The library at `path`, else at $QUENDAL_LIBRARY, else the system's libquendal, with its
    functions declared. Raises OSError when there is none."""
    path = path or os.environ.get("QUENDAL_LIBRARY") or ctypes.util.find_library("quendal")
    if not path:
        raise OSError("libquendal not found: pass library=..., set QUENDAL_LIBRARY or install "
                      "the quendal package")
    with _libraries_lock:
        if path in _libraries:
            return _libraries[path]
        lib = ctypes.CDLL(path)
        text_out = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint64)]
        for name, restype, argtypes in (
                ("quendal_version", ctypes.c_char_p, []),
                ("quendal_scan_create", ctypes.c_void_p, [ctypes.POINTER(_NativeOptions)]),
                ("quendal_scan_run", ctypes.c_int32, [ctypes.c_void_p]),
                ("quendal_scan_cancel", None, [ctypes.c_void_p]),
                ("quendal_scan_status", ctypes.c_int32, [ctypes.c_void_p]),
                ("quendal_scan_failure_kind", ctypes.c_int32, [ctypes.c_void_p]),
                ("quendal_scan_report", ctypes.c_void_p, text_out),
                ("quendal_scan_warning", ctypes.c_void_p, text_out),
                ("quendal_scan_failure", ctypes.c_void_p, text_out),
                ("quendal_scan_summary", ctypes.c_int32,
                 [ctypes.c_void_p, ctypes.POINTER(_NativeSummary)]),
                ("quendal_scan_destroy", None, [ctypes.c_void_p])):
            function = getattr(lib, name)
            function.restype, function.argtypes = restype, argtypes
        _libraries[path] = lib
        return lib


def _path_bytes(path: Optional[PathLike]) -> Optional[bytes]:
    # The library takes UTF-8 paths; os.fsencode gives the bytes the system uses for them.
    return None if path is None else os.fsencode(os.fspath(path))


class Scan:
    """One scan, run once by run() on the calling thread. cancel() may be called from any
    thread, before or during run(); progress(Progress) is called on the thread of run(), at
    most about 20 times a second and once at the end of each phase. An exception raised by it
    cancels the scan and is raised again by run()."""

    def __init__(self, client_dir: PathLike, manifest: PathLike, cache: Optional[PathLike] = None,
                 progress: Optional[Callable[[Progress], None]] = None, *,
                 library: Optional[str] = None):
        self._lib = load_library(library)
        self._progress = progress
        self._progress_error = None
        # Kept in fields: the library calls the callback as long as the handle lives.
        self._callback = _CALLBACK(self._on_progress)
        texts = [_path_bytes(client_dir), _path_bytes(manifest), _path_bytes(cache)]
        options = _NativeOptions()
        options.struct_size = ctypes.sizeof(_NativeOptions)
        options.client_dir, options.client_dir_length = texts[0], len(texts[0])
        options.manifest_path, options.manifest_path_length = texts[1], len(texts[1])
        if texts[2] is not None:
            options.cache_path, options.cache_path_length = texts[2], len(texts[2])
        options.progress = self._callback
        self._lock = threading.Lock()
        self._running = False
        self._ran = False
        self._handle = self._lib.quendal_scan_create(ctypes.byref(options))  # copies the texts
        if not self._handle:
            raise MemoryError("quendal_scan_create failed")

    def _on_progress(self, native, _user_data):
        if self._progress is None:
            return 0
        p = native.contents
        try:
            self._progress(Progress(PHASES[p.phase] if 0 <= p.phase < len(PHASES) else str(p.phase),
                                    p.files_done, p.files_total, p.bytes_hashed, p.bytes_to_hash))
            return 0
        except BaseException as error:  # nothing may unwind into the library
            self._progress_error = error
            return 1

    def _text(self, function) -> Optional[str]:
        length = ctypes.c_uint64()
        pointer = function(self._handle, ctypes.byref(length))
        return ctypes.string_at(pointer, length.value).decode("utf-8", "replace") if pointer else None

    def run(self) -> ScanResult:
        """Runs the scan; returns its result or raises ScanError (or the progress callback's
        exception)."""
        with self._lock:
            if self._ran or not self._handle:
                raise RuntimeError("a Scan runs once")
            self._ran = self._running = True
        try:
            status = self._lib.quendal_scan_run(self._handle)  # ctypes lets go of the GIL
        finally:
            with self._lock:
                self._running = False
        try:
            if self._progress_error is not None:
                raise self._progress_error
            if status != _STATUS_OK:
                kind = self._lib.quendal_scan_failure_kind(self._handle)
                raise ScanError(self._text(self._lib.quendal_scan_failure) or "",
                                _FAILURE_KINDS.get(kind, "failed"))
            length = ctypes.c_uint64()
            pointer = self._lib.quendal_scan_report(self._handle, ctypes.byref(length))
            report = ctypes.string_at(pointer, length.value)
            native = _NativeSummary(struct_size=ctypes.sizeof(_NativeSummary))
            self._lib.quendal_scan_summary(self._handle, ctypes.byref(native))
            summary = Summary(*(getattr(native, name) for name in Summary._fields))
            return ScanResult(report, json.loads(report), summary,
                              self._text(self._lib.quendal_scan_warning))
        finally:
            self.close()

    def cancel(self) -> None:
        """Asks the scan to stop; returns at once. Too late once files have been checked."""
        with self._lock:  # the handle cannot go away meanwhile
            if self._handle:
                self._lib.quendal_scan_cancel(self._handle)

    def close(self) -> None:
        """Frees the handle; while run() is running, that happens when it returns."""
        with self._lock:
            if self._running or not self._handle:
                return
            handle, self._handle = self._handle, None
        self._lib.quendal_scan_destroy(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None) and hasattr(self, "_lock"):
            self.close()


def scan(client_dir: PathLike, manifest: PathLike, cache: Optional[PathLike] = None,
         progress: Optional[Callable[[Progress], None]] = None, *,
         cancel: Optional[threading.Event] = None, library: Optional[str] = None) -> ScanResult:
    """Runs one scan on this thread (see Scan) and returns its result or raises ScanError.
    Setting the event `cancel`, from any thread, cancels the scan."""
    current = Scan(client_dir, manifest, cache, progress, library=library)
    if cancel is None:
        return current.run()
    done = threading.Event()

    def watch():
        while not done.is_set():
            if cancel.wait(0.05):
                current.cancel()
                return

    watcher = threading.Thread(target=watch, name="quendal-cancel", daemon=True)
    watcher.start()
    try:
        return current.run()
    finally:
        done.set()
        watcher.join()
