# The `treetally` command as a process: it parses the command line (cli_parser), runs the chosen
# subcommand (cli_commands) on standard output, and ends. Every failure ends as one line on
# standard error and an exit status (README, "The command"): 1 for input that cannot be read or
# gives no answer, 2 for a usage error, 3 for lack of memory, 4 for output that cannot be
# written; Ctrl-C, SIGTERM, SIGHUP and a closed pipe end the process by their signal once the
# work has unwound; a fault of the package itself shows its traceback and exits 70.
"""treetally: quartet and quintet topologies of gene-tree files, from the command line."""

from __future__ import annotations

import argparse
import contextlib
import errno
import os
import signal
import sys
import threading
import traceback
import warnings
from types import FrameType
from typing import IO, Any, Dict, Iterator, NoReturn, Optional, Sequence, TextIO, Type, Union, cast

from .cli_commands import (
    Runner, run_blobs, run_check, run_info, run_nanuq, run_species_tree, run_table, run_tally, run_times,
)  # fmt: skip
from .cli_parser import (
    INTERNAL_ERROR, MEMORY_ERROR, PROGRAM, READ_ERROR, USAGE_ERROR, WRITE_ERROR, build_parser,
)  # fmt: skip
from .errors import (
    MissingExtraError, OutputError, TaxonNotFoundError, TreeFileError, TreeReadError, UndefinedDistanceError,
    UsageError,
)  # fmt: skip
from .output import encodable, printable
from .sources import describe

# The exit status of each class of failure: the first class of an error's MRO found here
# decides. Any other failure is a fault of the package (INTERNAL_ERROR), save an OSError that
# says memory ran out (ENOMEM), which ends as MEMORY_ERROR.
_EXIT_STATUSES: Dict[type, int] = {
    UsageError: USAGE_ERROR,  # UnknownTaxonError among them
    MissingExtraError: USAGE_ERROR,
    TaxonNotFoundError: USAGE_ERROR,  # the engine's, should a name reach it unchecked
    TreeFileError: READ_ERROR,
    TreeReadError: READ_ERROR,  # the engine's, should a load reach the command unreported
    UndefinedDistanceError: READ_ERROR,  # input that gives no answer
    OutputError: WRITE_ERROR,
    MemoryError: MEMORY_ERROR,
}
# Signals that end the command the way they end any program, once its work has unwound, so that
# the shell reports 128 + the signal's number: 129 SIGHUP, 130 Ctrl-C, 141 SIGPIPE, 143 SIGTERM.
_ENDING_SIGNALS = (signal.SIGHUP, signal.SIGINT, signal.SIGPIPE, signal.SIGTERM)


def _runners() -> Dict[str, Runner]:
    """The runner of each subcommand, looked up as the command runs (a runner replaced on this
    module is the one run)."""
    return {
        "info": run_info, "check": run_check, "quartet": run_tally, "quintet": run_tally, "times": run_times,
        "species-tree": run_species_tree, "table": run_table, "nanuq": run_nanuq, "blobs": run_blobs,
    }  # fmt: skip


def _warn_on_one_line(
    message: Union[Warning, str], category: Type[Warning], filename: str, lineno: int,
    file: Optional[IO[str]] = None, line: Optional[str] = None,
) -> None:  # fmt: skip
    _report(f"{PROGRAM}: warning: {message}")


def _report(line: str) -> None:
    """Writes `line` to standard error, control characters escaped; a standard error that is
    closed or gone (a terminal hung up) takes nothing, which must not end the command."""
    with contextlib.suppress(AttributeError, OSError, ValueError):
        sys.stderr.write(encodable(printable(line) + "\n", sys.stderr))
        sys.stderr.flush()


def _fail(status: int, message: str) -> int:
    _report(f"{PROGRAM}: error: {message}")
    return status


class _Stopped(BaseException):
    """SIGTERM or SIGHUP arrived: raised in the main thread, like KeyboardInterrupt for Ctrl-C,
    so that the work unwinds (a table's threads stop, a feeder's pipe closes, a plot cut short is
    removed) before the process ends by the signal."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _stop(signum: int, frame: Optional[FrameType]) -> NoReturn:
    signal.signal(signum, signal.SIG_DFL)  # a second one ends the process at once
    if signum == signal.SIGINT:
        raise KeyboardInterrupt
    raise _Stopped(signum)


@contextlib.contextmanager
def _signals_unwind() -> Iterator[None]:
    """For the block, Ctrl-C, SIGTERM and SIGHUP raise in the main thread (a second one ends
    the process at once); a signal ignored when the command started (under nohup, say) stays
    ignored. The handlers before are back afterwards."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {}
    for signum in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
        handler = signal.getsignal(signum)
        if handler in (signal.SIG_IGN, None):
            continue
        previous[signum] = handler
        signal.signal(signum, _stop)
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


class _Output:
    """Standard output as the subcommands write to it: a write that fails (a closed or full
    output, an I/O error) is an OutputError naming it; a reader that went away stays a
    BrokenPipeError, which ends the command as SIGPIPE ends other programs. Characters that
    the output's encoding lacks (a name in a C locale) are written as their escapes."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream

    def write(self, text: str) -> int:
        try:
            return self._stream.write(encodable(text, self._stream))
        except BrokenPipeError:
            raise
        except OSError as error:
            raise OutputError("standard output", error.strerror or str(error)) from None

    def flush(self) -> None:
        try:
            self._stream.flush()
        except BrokenPipeError:
            raise
        except OSError as error:
            raise OutputError("standard output", error.strerror or str(error)) from None

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


def exit_status(error: BaseException) -> int:
    """The exit status that `error` ends the command with (see _EXIT_STATUSES)."""
    for kind in type(error).__mro__:
        status = _EXIT_STATUSES.get(kind)
        if status is not None:
            return status
    if isinstance(error, OSError) and error.errno == errno.ENOMEM:
        return MEMORY_ERROR
    return INTERNAL_ERROR


def _memory_message(error: BaseException, command: Optional[str], source: Optional[str]) -> str:
    """What ran out of memory: the error's own words where it names it (a load, a table, a
    plot), else the subcommand and its file."""
    said = str(error) if isinstance(error, MemoryError) else ""
    if said:
        return said
    what = f"{PROGRAM} {command}" if command else PROGRAM
    return f"not enough memory for {what}" + (f" on {source}" if source else "")


def _parsed(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    """The arguments; --help or --version that cannot be written is an OutputError."""
    try:
        return build_parser().parse_args(argv)
    except BrokenPipeError:
        raise
    except OSError as error:
        raise OutputError("standard output", error.strerror or str(error)) from None


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]); returns the exit status: 0, or one
    of the statuses of cli_parser (see exit_status), or 128 + N when signal N ended the work
    (entry_point then ends the process by that signal). Warnings are written as one line each
    while it runs; the warnings machinery and the signal handlers are as they were afterwards."""
    if sys.stderr is None:  # standard error closed: reports go nowhere, the status still tells
        sys.stderr = open(os.devnull, "w")
    if sys.stdout is None:
        return _fail(WRITE_ERROR, "cannot write standard output: it is closed")
    command: Optional[str] = None
    source: Optional[str] = None
    with _signals_unwind(), warnings.catch_warnings():
        warnings.showwarning = _warn_on_one_line
        try:
            arguments = _parsed(argv)
            command = arguments.command
            source = describe(arguments.file) if isinstance(getattr(arguments, "file", None), str) else None
            out = _Output(sys.stdout)
            # A run_* function returns an exit status only when it reports through it (check).
            status = _runners()[arguments.command](arguments, cast(TextIO, out))
            out.flush()
        except KeyboardInterrupt:
            return _fail(128 + signal.SIGINT, "interrupted")
        except _Stopped as stop:
            return 128 + stop.signum
        except BrokenPipeError:  # the reader of the output went away (`| head`)
            return 128 + signal.SIGPIPE
        except (SystemExit, GeneratorExit):
            raise
        except BaseException as error:  # noqa: B902 - the module's PanicException is a BaseException
            status = exit_status(error)
            if status == MEMORY_ERROR:
                return _fail(status, _memory_message(error, command, source))
            if status != INTERNAL_ERROR:
                return _fail(status, str(error))
            with contextlib.suppress(AttributeError, OSError, ValueError):
                traceback.print_exc()
            return _fail(INTERNAL_ERROR, f"internal error ({type(error).__name__}), a fault of {PROGRAM}: please "
                                         "report it with the traceback above and the command line")  # fmt: skip
    return status or 0


def _end_by_signal(signum: int) -> NoReturn:
    """Ends the process by `signum` with its default action, as it ends programs that do not
    catch it, so that the shell reports 128 + signum (and stops a script's loop on Ctrl-C)."""
    with contextlib.suppress(AttributeError, OSError, ValueError):
        sys.stderr.flush()
    signal.signal(signum, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, [signum])
    signal.raise_signal(signum)
    os._exit(128 + signum)  # not reached: the default action of these signals ends the process


def entry_point() -> NoReturn:
    """The `treetally` command: main(), then the end its status calls for. After a failure the
    process ends at once (os._exit, after flushing): a feeder thread may still wait on a silent
    pipe, and the interpreter's shutdown must not wait for it or trip over it."""
    try:
        status = main()
    except SystemExit as leaving:  # argparse: --help, --version, a usage error
        code = leaving.code
        status = code if isinstance(code, int) else (0 if code is None else USAGE_ERROR)
    if status > 128 and status - 128 in _ENDING_SIGNALS:
        _end_by_signal(status - 128)
    try:
        if sys.stdout is not None:
            sys.stdout.flush()
    except BrokenPipeError:
        _end_by_signal(signal.SIGPIPE)
    except OSError as error:  # what --help or --version wrote cannot be written
        status = status or _fail(WRITE_ERROR, f"cannot write standard output: {error.strerror or error}")
    if status == 0:
        sys.exit(0)
    with contextlib.suppress(AttributeError, OSError, ValueError):
        sys.stderr.flush()
    os._exit(status)
