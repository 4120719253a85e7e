"""Waiting for sessions: the four slots handed out in order to threads and event loops alike, and one watcher
thread for all of a process's sessions.

The library has no way to call back when a session ends, so one thread polls the sessions that run: often
while one is young (a small file is done in milliseconds), less often as they age, and not at all while
none runs. Every waiter, blocking or asyncio, is woken by it; nobody else sleeps in a loop.
"""
from __future__ import annotations

import asyncio
import os
import threading
import time
from collections import deque
from typing import Callable, Optional

from ._header import MAX_SESSIONS
from ._module import Module, State

# Polling interval: a tenth of the youngest session's age, within these bounds.
_POLL_MIN_S = 0.0002
_POLL_MAX_S = 0.005


def settle(fut: asyncio.Future[None]) -> None:
    """Resolve an asyncio future (on its loop's thread) unless it has been cancelled meanwhile."""
    if not fut.done():
        fut.set_result(None)


class _Grant:
    """One waiter for a slot: a thread blocked on an event, or an asyncio future."""

    def __init__(self, future: Optional[asyncio.Future[None]] = None) -> None:
        self.future = future
        self.event = threading.Event() if future is None else None
        self.granted = False

    def give(self) -> bool:
        """Hand the slot over; False if the waiter can no longer take it (its event loop has closed)."""
        if self.event is not None:
            self.granted = True
            self.event.set()
            return True
        assert self.future is not None
        fut = self.future
        try:
            fut.get_loop().call_soon_threadsafe(lambda: settle(fut))
        except RuntimeError:
            return False
        self.granted = True
        return True


class Slots:
    """The library's four sessions as permits, granted first come first served."""

    def __init__(self, count: int = MAX_SESSIONS) -> None:
        self._lock = threading.RLock()  # re-entrant for a forgotten Extraction's __del__, as the session lock
        self._free = count
        self._queue: deque[_Grant] = deque()

    def acquire(self) -> None:
        with self._lock:
            if self._free and not self._queue:
                self._free -= 1
                return
            grant = _Grant()
            self._queue.append(grant)
        assert grant.event is not None
        try:
            grant.event.wait()
        except BaseException:  # Ctrl-C while queued: give back what may have been granted meanwhile
            self._withdraw(grant)
            raise

    async def acquire_async(self) -> None:
        with self._lock:
            if self._free and not self._queue:
                self._free -= 1
                return
            grant = _Grant(asyncio.get_running_loop().create_future())
            self._queue.append(grant)
        assert grant.future is not None
        try:
            await grant.future
        except BaseException:  # cancelled while queued
            self._withdraw(grant)
            raise

    def _withdraw(self, grant: _Grant) -> None:
        with self._lock:
            if not grant.granted:
                self._queue.remove(grant)
                return
        self.release()

    def release(self) -> None:
        with self._lock:
            while self._queue:
                if self._queue.popleft().give():  # the slot passes straight to the next waiter
                    return
            self._free += 1


class Watch:
    """One running session as the watcher sees it."""

    def __init__(self, sid: int) -> None:
        self.sid = sid
        self.started = time.monotonic()
        self.ended = threading.Event()
        self.state = State.PENDING
        self.on_end: list[Callable[[], None]] = []
        self.release_on_end: Optional[Callable[[], None]] = None  # set when the owner has let go


class Watcher:
    """The one thread that notices sessions ending."""

    def __init__(self, lib: Module) -> None:
        self._lib = lib
        self._cond = threading.Condition()
        self._watched: dict[int, Watch] = {}
        self._thread: Optional[threading.Thread] = None

    def watch(self, sid: int) -> Watch:
        w = Watch(sid)
        with self._cond:
            self._watched[sid] = w
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name="audioextract-watcher", daemon=True)
                self._thread.start()
            self._cond.notify()
        return w

    def when_ended(self, w: Watch, fn: Callable[[], None]) -> None:
        """Call fn (on the watcher's thread) once w has ended, or now if it has."""
        with self._cond:
            if not w.ended.is_set():
                w.on_end.append(fn)
                return
        fn()

    def let_go(self, w: Watch, release: Callable[[], None]) -> None:
        """The owner is gone: run release (which frees the session) once it has ended, without waiting."""
        with self._cond:
            if not w.ended.is_set():
                w.release_on_end = release
                return
        release()

    def _run(self) -> None:
        while True:
            with self._cond:
                while not self._watched:
                    self._cond.wait()
                watched = list(self._watched.values())
            youngest = max(w.started for w in watched)
            for w in watched:
                state = self._lib.status(w.sid)
                if state >= State.DONE:
                    self._end(w, State(state))
            age = time.monotonic() - youngest
            time.sleep(min(_POLL_MAX_S, max(_POLL_MIN_S, age / 10)))

    def _end(self, w: Watch, state: State) -> None:
        with self._cond:
            del self._watched[w.sid]
            w.state = state
            w.ended.set()
            callbacks, release = w.on_end, w.release_on_end
            w.on_end = []
        for fn in callbacks + ([release] if release is not None else []):
            try:
                fn()
            except Exception:  # one waiter's failure must not stop the watcher for every other
                pass


_hub_lock = threading.Lock()
_hub: Optional[tuple[Slots, Watcher]] = None


def _forget_in_child() -> None:
    # A forked child has no watcher thread and none of its parent's sessions.
    global _hub
    _hub = None


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_in_child)


def hub(lib: Module) -> tuple[Slots, Watcher]:
    global _hub
    with _hub_lock:
        if _hub is None:
            _hub = (Slots(), Watcher(lib))
        return _hub

