"""Placing files whole: a file (or a group of files, or a folder) is written beside its
destination under a hidden temporary name and only then moved into place.

So a failed or interrupted write never leaves a partial file under the
destination name; the outputs of one input are written as a group, all of
them or none; and a file that appears at a destination while it is being
written is kept (FileExistsError) unless overwriting was asked for.
"""
from __future__ import annotations

import os
import secrets
import shutil
from pathlib import Path
from typing import BinaryIO, Callable, Sequence

from .names import shown

# Temporary files are named ".tv" + 8 hex digits + ".part" (16 bytes), so any
# name that fits the file system can be written.
TEMPORARY_PREFIX, TEMPORARY_SUFFIX = ".tv", ".part"


class ImageWriteError(Exception):
    """The image could not be written."""


def atomic_write(path: str | os.PathLike, produce: Callable[[], bytes] | bytes, *, overwrite: bool = False) -> Path:
    """Write bytes to ``path`` through a temporary file in the same folder.

    ``produce`` may be the bytes or a callable returning them; it runs before
    anything is created.  Without ``overwrite`` an existing file is an error,
    also when it appears while the data is being written.
    """
    return write_files([(path, produce)], overwrite=overwrite)[0]


def write_files(
    files: Sequence[tuple[str | os.PathLike, Callable[[], bytes] | bytes]], *, overwrite: bool = False,
) -> list[Path]:
    """Write several files as one: afterwards all of them are in place, or none is.

    Every ``produce`` runs first; then each file's bytes go to a temporary file
    beside it; only when all are on disk are they moved into place.  A failure
    or Ctrl-C at any point removes what this call created and, with
    ``overwrite``, puts back the files it replaced.  Errors name the
    destination, never a temporary file.
    """
    targets = [Path(path) for path, _ in files]
    if not overwrite:
        for path in targets:
            if os.path.lexists(path):
                raise FileExistsError(f"{shown(path)} already exists")
    contents = [produce() if callable(produce) else produce for _, produce in files]
    temporaries: list[str] = []
    placed: list[tuple[Path, str | None]] = []  # (target, backup of the file it replaced)
    current = targets[0] if targets else None
    try:
        for path, data in zip(targets, contents):
            current = path
            temporaries.append(_write_temporary(path, data))
        for path, tmp in zip(targets, temporaries):
            current = path
            if overwrite:
                backup = _backup(path)
                placed.append((path, backup))
                os.replace(tmp, path)
            else:
                link_exclusive(tmp, path)
                placed.append((path, None))
    except BaseException as exc:
        for path, backup in reversed(placed):
            if backup:
                _quietly(os.replace, backup, path)
                _quietly(os.unlink, backup)  # still there when path was never replaced (same file)
            else:
                _quietly(os.unlink, path)
        for tmp in temporaries:
            _quietly(os.unlink, tmp)
        if isinstance(exc, OSError) and exc.errno is not None and exc.filename is not None:
            # name the destination, not the temporary file the error was about
            raise type(exc)(exc.errno, exc.strerror, str(current)) from None
        raise
    for _, backup in placed:
        if backup:
            _quietly(os.unlink, backup)
    return targets


def _quietly(action: Callable[..., None], *args: str | os.PathLike) -> None:
    try:
        action(*args)
    except OSError:
        pass


def _write_temporary(path: Path, data: bytes) -> str:
    fd, tmp = create_temporary(path)
    try:
        with os.fdopen(fd, "wb") as handle:
            handle.write(data)
            handle.flush()
            os.fsync(handle.fileno())
    except BaseException:
        _quietly(os.unlink, tmp)
        raise
    return tmp


def _backup(path: Path) -> str | None:
    """A second name for the file at ``path`` (a hard link), so it can be put back; None when absent."""
    if not os.path.lexists(path):
        return None
    for _ in range(100):
        backup = str(path.parent / f"{TEMPORARY_PREFIX}{secrets.token_hex(4)}{TEMPORARY_SUFFIX}")
        try:
            os.link(path, backup, follow_symlinks=False)
            return backup
        except FileExistsError:
            continue
        except OSError:
            return None  # no hard links here: the old file cannot be kept
    return None


def link_exclusive(tmp: str, path: Path) -> None:
    """Move tmp to path, failing if path exists (no window where a file would be replaced)."""
    try:
        os.link(tmp, path)
    except FileExistsError:
        raise FileExistsError(f"{shown(path)} already exists") from None
    except OSError:
        # File systems without hard links: check, then rename.
        if os.path.lexists(path):
            raise FileExistsError(f"{shown(path)} already exists") from None
        os.replace(tmp, path)
    else:
        _quietly(os.unlink, tmp)  # the file now lives under path alone


def create_temporary(path: Path) -> tuple[int, str]:
    """A new, empty hidden file beside ``path``, opened for writing, with a short name.

    Created exclusively with mode 0o666, so the process umask applies as for any
    file the user writes (mkstemp's 0o600 would need the umask read, which can
    only be done by changing it).
    """
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL
    for name in ("O_NOFOLLOW", "O_CLOEXEC", "O_BINARY"):  # as mkstemp opens its files
        flags |= getattr(os, name, 0)
    for _ in range(100):
        tmp = str(path.parent / f"{TEMPORARY_PREFIX}{secrets.token_hex(4)}{TEMPORARY_SUFFIX}")
        try:
            return os.open(tmp, flags, 0o666), tmp
        except FileExistsError:
            continue
    raise FileExistsError(f"no free temporary name beside {shown(path)}")


def check_writable(folder: str | os.PathLike) -> None:
    """Raise ImageWriteError unless a file can be created in ``folder`` (tried, not guessed:
    permissions, read-only mounts and ACLs all count); nothing is left behind."""
    folder = Path(folder)
    try:
        fd, tmp = create_temporary(folder / "x")
    except OSError as exc:
        raise ImageWriteError(f"cannot write in {shown(folder)}: {exc.strerror or exc}") from None
    os.close(fd)
    _quietly(os.unlink, tmp)


def write_stream(stream: BinaryIO, data: bytes) -> None:
    """All of ``data`` to ``stream`` (standard output), or ImageWriteError: a pipe may take
    less than it was given, and a reader that goes away must count as a failed write."""
    view = memoryview(data)
    try:
        while view:
            written = stream.write(view)
            if not written:
                raise OSError(5, "nothing more could be written")
            view = view[written:]
        stream.flush()
    except BrokenPipeError:
        _silence(stream)
        raise ImageWriteError("standard output was closed before the image was written in full") from None
    except (OSError, ValueError) as exc:
        _silence(stream)
        reason = getattr(exc, "strerror", None) or str(exc)
        raise ImageWriteError(f"cannot write to standard output: {reason}") from None


def _silence(stream: BinaryIO) -> None:
    """Point a stream that failed at /dev/null, so that what is still buffered in it is not
    written again (and reported again) when the interpreter exits."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, stream.fileno())
        os.close(null)
    except (OSError, ValueError, AttributeError):
        pass


def temporary_folder(target: Path) -> Path:
    """A new hidden folder beside ``target`` (mode 0o777 less the umask, as any folder the user makes)."""
    for _ in range(100):
        folder = target.parent / f".{target.name}.{secrets.token_hex(4)}.part"
        try:
            folder.mkdir(0o777)
            return folder
        except FileExistsError:
            continue
    raise FileExistsError(f"no free temporary name beside {target}")


def place(temp: Path, target: Path, overwrite: bool) -> None:
    """Move a finished temporary file or folder to ``target``, never over an existing one
    unless ``overwrite``."""
    if temp.is_dir():
        if os.path.lexists(target):
            if not overwrite:
                raise FileExistsError(f"{target} already exists")
            old = temporary_folder(target)
            os.replace(target, old / "replaced")
            os.rename(temp, target)
            shutil.rmtree(old, ignore_errors=True)
        else:
            os.rename(temp, target)
    elif overwrite:
        os.replace(temp, target)
    else:
        link_exclusive(str(temp), target)
