"""The analysis on a worker thread, so that Ctrl-C stops it and long fits show their progress.

ctypes releases the GIL during the call, and the main thread waits for it in short steps: a
KeyboardInterrupt reaches the main thread at once, which then asks the study layer to stop (the
run ends at its next batch of bootstrap replicates) and raises it once the run has returned, so
that the study is never freed under a running analysis.
"""
from __future__ import annotations

import ctypes
import sys
import threading
import time
from typing import Any, Callable, List, Optional

# Progress is shown for fits that take longer than this, redrawn at most this often (seconds).
PROGRESS_AFTER = 2.0
_REDRAW = 0.2
_WAIT_STEP = 0.05

_PROGRESS = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_int32, ctypes.c_void_p)


def _declare(lib: Any) -> None:
    if getattr(lib, "_talven_interrupt_declared", False):
        return
    lib.talven_request_stop.restype = None
    lib.talven_request_stop.argtypes = [ctypes.c_int32]
    lib.talven_study_on_progress.restype = None
    lib.talven_study_on_progress.argtypes = [ctypes.c_void_p, _PROGRESS, ctypes.c_void_p]
    lib._talven_interrupt_declared = True


def interactive() -> bool:
    """True in an interactive interpreter (the REPL, ``python -i``, IPython, Jupyter)."""
    return hasattr(sys, "ps1") or bool(sys.flags.interactive) or "IPython" in sys.modules


class _Display:
    """A stderr line rewritten in place, or a tqdm bar when tqdm is installed."""

    def __init__(self) -> None:
        self.bar: Any = None
        self.shown = False
        self.last = 0.0
        try:
            from tqdm.auto import tqdm  # type: ignore
            self.tqdm: Any = tqdm
        except ImportError:
            self.tqdm = None

    def update(self, done: int, total: int, elapsed: float) -> None:
        if total <= 0:
            return
        if self.tqdm is not None:
            if self.bar is None:
                self.bar = self.tqdm(total=total, desc="Bootstrap", unit="replicate")
            self.bar.update(done - self.bar.n)
            return
        now = time.monotonic()
        if self.shown and now - self.last < _REDRAW and done < total:
            return
        self.last = now
        left = ""
        if 0 < done < total:
            left = f", about {_clock(elapsed * (total - done) / done)} left"
        sys.stderr.write(f"\rBootstrap: {done}/{total} replicates, {_clock(elapsed)} elapsed"
                         f"{left}  ")
        sys.stderr.flush()
        self.shown = True

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.shown:
            sys.stderr.write("\n")
            sys.stderr.flush()


def _clock(seconds: float) -> str:
    whole = int(seconds + 0.5)
    return f"{whole // 60}:{whole % 60:02d}"


def run(lib: Any, handle: Any, progress: Optional[bool], analyse: Callable[[], int]) -> int:
    """analyse(), the study layer's analysis of the study `handle`, on a worker thread; its
    result, or KeyboardInterrupt."""
    _declare(lib)
    show = interactive() if progress is None else bool(progress)
    state = {"done": 0, "total": 0}

    def report(done: int, total: int, _context: Any) -> None:
        state["done"], state["total"] = done, total

    callback = _PROGRESS(report)
    lib.talven_study_on_progress(handle, callback, None)
    result: List[int] = []
    failure: List[BaseException] = []

    # Thread.join and is_alive are not used to wait: a KeyboardInterrupt inside join can leave
    # is_alive() False while the thread still runs (CPython 3.11), and the study would then be
    # freed under a running analysis.
    finished = threading.Event()

    def work() -> None:
        try:
            result.append(analyse())
        except BaseException as error:  # handed to the caller's thread
            failure.append(error)
        finally:
            finished.set()

    worker = threading.Thread(target=work, name="talven-fit", daemon=True)
    display = _Display() if show else None
    started = time.monotonic()
    interrupted = False
    worker.start()
    try:
        while not finished.is_set():
            try:
                finished.wait(_WAIT_STEP)
                elapsed = time.monotonic() - started
                if display is not None and elapsed >= PROGRESS_AFTER and not interrupted:
                    display.update(state["done"], state["total"], elapsed)
            except KeyboardInterrupt:
                interrupted = True
                lib.talven_request_stop(1)
    finally:
        if display is not None:
            display.close()
        lib.talven_study_on_progress(handle, _PROGRESS(), None)
    if interrupted:
        # A request that came as the run was returning would otherwise stop the next fit.
        lib.talven_request_stop(0)
        raise KeyboardInterrupt
    if failure:
        raise failure[0]
    return result[0]
