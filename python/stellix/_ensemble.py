"""stellix.ensemble: many independent runs on whatever executor the caller has.

The library runs on the calling thread and releases the GIL for the length of
a call, so a thread pool runs members in parallel without pickling anything.
Any concurrent.futures.Executor works the same way (a process pool, Dask's
client.get_executor(), mpi4py's MPIPoolExecutor): a member is a mapping of
simulate's keyword arguments, and both it and its result pickle. Each member
computes the bits it would compute alone, so neither the executor nor the
number of its workers changes a result.
"""

import concurrent.futures as futures_
import functools
import locale
import math
import os
import shutil
import sys
import tempfile
import threading
import time

from . import _library
from ._member import Batch, MemberResult, _Stop, expected_seconds, run_batch

# How long a cancelled ensemble waits for its running members to stop at a
# whole step (each checks about every 0.2 s) before it gives up on them.
STOP_GRACE_SECONDS = 1.0
# How long of that the members have to answer before what has not started
# is cancelled: more than a library call of a member that checks between
# calls.
ANSWER_SECONDS = 0.5
# Outside this process a task costs milliseconds of some core's time (its
# pickling, the scheduler's round trip, the worker's bookkeeping), taken
# from the members on a machine with no core to spare. Short members
# therefore travel in batches of about this many seconds, but never so few
# batches that a worker would sit idle while another ends the ensemble.
BATCH_SECONDS = 0.5
BATCHES_PER_WORKER = 4


class EnsembleInterrupted(KeyboardInterrupt):
    """Ctrl-C cancelled the ensemble. `results`, in member order, holds the
    MemberResult of every member that finished, failed, or stopped at a whole
    step (its error a MemberInterrupted), and None for a member that never
    started or did not answer in time."""

    def __init__(self, message, results):
        super().__init__(message)
        self.results = results


def cores():
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _run_file(record, k):
    """The absolute path member k records to, or None. A member that asks for
    the library's output.csv would share it with every other member."""
    if isinstance(record, (str, bytes, os.PathLike)):
        return os.path.abspath(os.fsdecode(record))
    if not record:
        return None
    raise ValueError("member %d records to the shared output.csv; give each member a file of "
                     "its own (record='run-%d.csv')" % (k, k))


def _prepare(members):
    """The members as dicts with absolute run file paths, and a result for
    each that is no mapping. Raises ValueError, before anything runs, when a
    member has no run file of its own."""
    prepared, early, owners = [], {}, {}
    for k, member in enumerate(members):
        try:
            settings = dict(member)
        except (TypeError, ValueError) as error:
            early[k] = MemberResult(k, error=TypeError("member %d is not a mapping of simulate's "
                                                       "keyword arguments: %s" % (k, error)))
            prepared.append(None)
            continue
        path = _run_file(settings.get("record"), k)
        settings["record"] = path
        if path is not None:
            key = os.path.normcase(os.path.realpath(path))
            if key in owners:
                raise ValueError("members %d and %d both record to %s"
                                 % (owners[key], k, path))
            owners[key] = k
        prepared.append(settings)
    return prepared, early


class _Bar:
    """One progress bar over members and steps, on standard error."""

    WIDTH = 30

    def __init__(self, totals):
        self.totals = totals
        self.steps = [0] * len(totals)
        self.finished = 0
        self._lock = threading.Lock()
        self._start = time.monotonic()
        self._drawn = 0.0

    def add(self, k, count):
        with self._lock:
            self.steps[k] = min(self.steps[k] + count, self.totals[k])

    def finish(self, k):
        with self._lock:
            self.steps[k] = self.totals[k]
            self.finished += 1

    def draw(self, force=False):
        now = time.monotonic()
        if sys.stderr is None or (not force and now - self._drawn < 0.1):
            return
        self._drawn = now
        done, total = sum(self.steps), max(sum(self.totals), 1)
        filled = self.WIDTH * done // total
        sys.stderr.write("\rensemble [%s%s] %3d%% %d/%d members %d/%d steps %.1f s" % (
            "#" * filled, "." * (self.WIDTH - filled), 100 * done // total, self.finished,
            len(self.totals), done, sum(self.totals), now - self._start))
        sys.stderr.flush()

    def close(self):
        self.draw(force=True)
        if sys.stderr is not None:
            sys.stderr.write("\n")
            sys.stderr.flush()


def _total_steps(settings):
    try:
        return max(int(settings["steps"]), 1)
    except (KeyError, TypeError, ValueError):
        return 1


def _outcomes(batch, future):
    """The results of a finished future's members; a failure of the executor
    itself (a worker that died, a result that did not pickle) is each
    member's."""
    try:
        return future.result()
    except BaseException as error:  # a worker's KeyboardInterrupt is its members' too
        return [MemberResult(k, error=error) for k in batch]


def _workers(executor):
    """How many members `executor` runs at once, as far as it tells."""
    client = getattr(executor, "_client", None)  # Dask's ClientExecutor
    try:
        if client is not None:
            chosen = getattr(executor, "_kwargs", {}).get("workers")
            if isinstance(chosen, (list, tuple, set)) and chosen:
                return len(chosen)
            return sum(client.nthreads().values()) or cores()
        return int(getattr(executor, "_max_workers", None) or cores())
    except Exception:  # an executor's private parts are only a hint
        return cores()


def _batches(executor, prepared):
    """The members' indices, in order, grouped into the tasks they are
    submitted as: one member a task on a thread pool, where a task costs
    microseconds; elsewhere consecutive members of about equal expected time,
    at least BATCHES_PER_WORKER batches a worker and none much longer than
    BATCH_SECONDS unless one member is."""
    indices = [k for k, settings in enumerate(prepared) if settings is not None]
    if isinstance(executor, futures_.ThreadPoolExecutor) or not indices:
        return [[k] for k in indices]
    costs = [expected_seconds(prepared[k]) for k in indices]
    total = sum(costs)
    workers = _workers(executor)
    count = workers * max(BATCHES_PER_WORKER, math.ceil(total / (BATCH_SECONDS * workers)))
    if total <= 0 or count >= len(indices):
        return [[k] for k in indices]
    # Member k goes to the batch its cost's midpoint falls in.
    batches, before = [[] for _ in range(count)], 0.0
    for k, cost in zip(indices, costs):
        batches[min(int((before + cost / 2) / total * count), count - 1)].append(k)
        before += cost
    return [batch for batch in batches if batch]


class _Gathering:
    """The results as they come, and printed text written to sys.stdout in
    member order as soon as every member before it has finished."""

    def __init__(self, count, early, bar):
        self.results = [early.get(k) for k in range(count)]
        self.finished = [k in early for k in range(count)]
        self.bar = bar
        self.printed = 0
        self.futures = {}

    def take(self, future):
        batch = self.futures.pop(future)
        for k, result in zip(batch, _outcomes(batch, future)):
            self.results[k] = result
            self.finished[k] = True
            if self.bar is not None:
                self.bar.finish(k)

    def take_done(self):
        for future in [f for f in self.futures if f.done() and not f.cancelled()]:
            self.take(future)

    def write_text(self):
        while self.printed < len(self.results) and self.finished[self.printed]:
            result = self.results[self.printed]
            self.printed += 1
            if result is None or result.text is None:
                continue
            text, result.text = result.text, None
            try:
                sys.stdout.write(text.decode(locale.getpreferredencoding(False),
                                             "surrogateescape"))
                sys.stdout.flush()
            except Exception as error:  # the member's text is lost: the member failed
                result.error, result.fingerprint = error, None

    def wait(self):
        while self.futures:
            done, _ = futures_.wait(list(self.futures), timeout=0.1,
                                    return_when=futures_.FIRST_COMPLETED)
            for future in done:
                if future in self.futures:
                    self.take(future)
            self.write_text()
            if self.bar is not None:
                self.bar.draw()

    def cancel(self):
        """Waits a little for the members to answer the stop, cancels what
        has not started, and waits a little more for the rest. Returns
        whether a member may still run: one that did not answer in time, or
        one whose future was cancelled while it ran."""
        deadline = time.monotonic() + STOP_GRACE_SECONDS
        # Running members stop at their next whole step, and queued ones
        # that start meanwhile return at once. Asking first keeps the
        # results of those that ran: Dask's executor reports a running task
        # as pending, and would let it be cancelled.
        self._wait_until(time.monotonic() + ANSWER_SECONDS)
        cancelled = False
        for future in list(self.futures):
            if future.cancel():
                cancelled = True
                for k in self.futures.pop(future):
                    self.finished[k] = True
        self._wait_until(deadline)
        self.write_text()
        return cancelled or bool(self.futures)

    def _wait_until(self, deadline):
        while self.futures and time.monotonic() < deadline:
            futures_.wait(list(self.futures), timeout=max(deadline - time.monotonic(), 0),
                          return_when=futures_.ALL_COMPLETED)
            self.take_done()


def ensemble(members, executor=None, progress=False):
    """Runs every member, a mapping of stellix.simulate's keyword arguments
    (bodies, dt, steps, interval, store, record, print), on `executor`, any
    concurrent.futures.Executor (None: a thread pool with one worker per
    core), and returns one MemberResult per member, in member order.

    Each member starts from a copy of its bodies (the member's own arrays are
    not changed) and computes the same bits as stellix.simulate would alone,
    whatever the executor and its number of workers. A member that records
    names its run file (record="runs/m3.csv"); the file is written beside its
    target and renamed into place when complete. Two members naming the same
    file, or a member asking for the shared output.csv (record=True), raise
    ValueError before anything runs. Printed text is written to sys.stdout
    in member order. A failing member does not stop the others: its result's
    `error` holds the exception, and its `fingerprint` is None. On any
    executor but a thread pool, short consecutive members travel to a worker
    as one task of about half a second; a worker that dies fails each member
    of its task with the executor's exception.

    Ctrl-C cancels the ensemble: members not yet started never start,
    running members stop at a whole step within about a second, and
    EnsembleInterrupted is raised with the results so far as its `results`.
    progress=True draws one bar over members and steps on standard error.
    """
    prepared, early = _prepare(list(members))
    library_path = getattr(_library.library(), "_name", None)
    owned = executor is None
    if owned:
        executor = futures_.ThreadPoolExecutor(cores(), thread_name_prefix="stellix-ensemble")
    marker = tempfile.mkdtemp(prefix="stellix-ensemble-")
    stop = threading.Event()
    bar = _Bar([_total_steps(s) if s else 1 for s in prepared]) if progress else None
    gathering = _Gathering(len(prepared), early, bar)
    lingering = False
    try:
        _submit(executor, prepared, library_path, marker, stop, gathering)
        gathering.wait()
    except BaseException as error:
        # Whatever ends the ensemble early ends its members too.
        _stop(stop, marker)
        lingering = gathering.cancel()
        if not isinstance(error, KeyboardInterrupt):
            raise
        done = sum(result is not None for result in gathering.results)
        raise EnsembleInterrupted("the ensemble was cancelled; %d of %d members have results"
                                  % (done, len(prepared)), gathering.results) from None
    finally:
        stop.set()
        if owned:
            executor.shutdown(wait=True, cancel_futures=True)
        # Members in other processes learn of the end from the marker alone:
        # while one may still run, or start, the marker stays for it to find.
        if not lingering or isinstance(executor, futures_.ThreadPoolExecutor):
            shutil.rmtree(marker, ignore_errors=True)
        if bar is not None:
            bar.close()
    gathering.write_text()
    return gathering.results


def _stop(event, marker):
    event.set()
    try:
        with open(os.path.join(marker, "stop"), "w"):
            pass
    except OSError:  # members elsewhere then finish on their own
        pass


def _submit(executor, prepared, library_path, marker, event, gathering):
    path = os.path.join(marker, "stop")
    for batch in _batches(executor, prepared):
        # Only a member alone on a thread of this process reports its steps.
        report = None
        if gathering.bar is not None and len(batch) == 1:
            report = functools.partial(gathering.bar.add, batch[0])
        task = Batch(batch, [prepared[k] for k in batch], library_path,
                     _Stop(path, event, report))
        gathering.futures[executor.submit(run_batch, task)] = batch
