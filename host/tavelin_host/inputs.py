"""From the command line's INPUT arguments to the files of a run.

Folders and glob patterns are walked without ever following a symbolic link to
a folder (a link to ``.`` would make the walk endless), and every file is
taken once.  In folders and globs only image files are taken: other
extensions, and the outputs this tool wrote for an input beside them (or in
the mirrored output folder), are skipped and counted.  A file named
explicitly is always taken.  ``-`` is standard input.
"""
from __future__ import annotations

import fnmatch
import os
from collections import defaultdict
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterator, Sequence

from .names import shown
from .naming import MEDIA_EXTENSIONS, STREAM, looks_like_output

GLOB_CHARS = frozenset("*?[")

NOT_IMAGES = "not an image type by extension"
OWN_OUTPUTS = "written by tavelin for an input beside them"
SYMLINKED_FOLDERS = "links to folders, not followed"
SPECIAL_FILES = "not regular files"


@dataclass
class Input:
    """One file of a run: where it is, where it sits below the folder or pattern that found
    it (mirrored under -o), and the stem of its outputs (set by ``naming.plan_names``)."""

    path: Path
    subfolder: Path = Path()
    named: bool = False
    stem: str = ""

    @property
    def is_stdin(self) -> bool:
        return str(self.path) == STREAM


@dataclass
class Expansion:
    inputs: list[Input] = field(default_factory=list)
    problems: list[str] = field(default_factory=list)
    skipped: dict[str, list[Path]] = field(default_factory=lambda: defaultdict(list))

    @property
    def files(self) -> list[Path]:
        return [item.path for item in self.inputs]

    def skip_lines(self, most: int = 3) -> list[str]:
        """One line per reason: how many were skipped, and the first few names."""
        lines = []
        for reason, paths in self.skipped.items():
            paths = list(dict.fromkeys(paths))
            names = ", ".join(shown(path) for path in paths[:most]) + (", ..." if len(paths) > most else "")
            lines.append(f"skipped {len(paths)} ({reason}): {names}")
        return lines


def has_magic(text: str) -> bool:
    return any(char in text for char in GLOB_CHARS)


def _hidden(name: str) -> bool:
    return name.startswith(".")


def _scan(folder: Path) -> list[os.DirEntry]:
    try:
        with os.scandir(folder) as entries:
            return sorted(entries, key=lambda entry: entry.name)
    except OSError:
        return []


def _walk(folder: Path, recursive: bool, found: list[tuple[Path, Path]], skipped: dict, below: Path = Path()) -> None:
    """Files in ``folder`` (and its sub-folders), never following a link to a folder."""
    for entry in _scan(folder):
        if _hidden(entry.name):
            continue
        path = folder / entry.name
        if entry.is_dir(follow_symlinks=False):
            if recursive:
                _walk(path, recursive, found, skipped, below / entry.name)
        elif entry.is_symlink() and entry.is_dir():
            skipped[SYMLINKED_FOLDERS].append(path)
        elif entry.is_file():
            found.append((path, below))
        elif entry.is_symlink() and not os.path.exists(path):
            continue  # a dangling link: nothing to read
        else:
            skipped[SPECIAL_FILES].append(path)


def _glob(pattern: str, recursive: bool) -> Iterator[tuple[Path, Path]]:
    """Matches of ``pattern`` with the fixed folder they lie below. ``**`` (with recursive)
    matches any depth of real folders; links to folders are never entered."""
    parts = Path(pattern).parts
    fixed = 0
    while fixed < len(parts) and not has_magic(parts[fixed]):
        fixed += 1
    root = Path(*parts[:fixed]) if fixed else Path()
    seen: set[Path] = set()
    for match in _match(root, parts[fixed:], recursive):
        if match not in seen:
            seen.add(match)
            yield match, root


def _match(folder: Path, rest: Sequence[str], recursive: bool) -> Iterator[Path]:
    if not rest:
        yield folder
        return
    head, tail = rest[0], rest[1:]
    if head == "**" and recursive:
        yield from _match(folder, tail, recursive)
        for entry in _scan(folder):
            if not _hidden(entry.name) and entry.is_dir(follow_symlinks=False):
                yield from _match(folder / entry.name, rest, recursive)
    elif has_magic(head):
        for entry in _scan(folder):
            if _hidden(entry.name) and not head.startswith("."):
                continue
            if not fnmatch.fnmatch(entry.name, head):
                continue
            if tail and not entry.is_dir(follow_symlinks=False):
                continue  # only real folders are entered
            yield from _match(folder / entry.name, tail, recursive)
    elif os.path.lexists(folder / head):
        yield from _match(folder / head, tail, recursive)


def expand_inputs(patterns: Sequence[str], recursive: bool, out_dir: str | os.PathLike | None = None) -> Expansion:
    """The files of a run, in order and without repeats, what was skipped, and one
    message per argument that names nothing to read."""
    result = Expansion()
    candidates: list[tuple[Input, str]] = []  # found in a folder or by a pattern, with that argument
    for pattern in patterns:
        if pattern == STREAM:
            result.inputs.append(Input(Path(STREAM), named=True))
            continue
        if has_magic(pattern) and not os.path.lexists(pattern):
            matches = list(_glob(pattern, recursive))
            if not matches:
                result.problems.append(f"{shown(pattern)}: no file matches")
            for match, root in matches:
                if match.is_symlink() and match.is_dir():
                    result.skipped[SYMLINKED_FOLDERS].append(match)
                elif match.is_dir():
                    found: list[tuple[Path, Path]] = []
                    _walk(match, recursive, found, result.skipped)
                    below = match.relative_to(root)
                    candidates += [(Input(path, below / sub), pattern) for path, sub in found]
                elif match.is_file():
                    candidates.append((Input(match, match.parent.relative_to(root)), pattern))
                elif os.path.exists(match):
                    result.skipped[SPECIAL_FILES].append(match)
            continue
        path = Path(pattern)
        if path.is_dir():  # named explicitly: followed even when it is a link
            found = []
            _walk(path, recursive, found, result.skipped)
            if not found:
                result.problems.append(f"{shown(pattern)}: no files in this folder")
            candidates += [(Input(file, sub), pattern) for file, sub in found]
        elif os.path.lexists(path):
            result.inputs.append(Input(path, named=True))  # taken whatever its name; the reader decides
        else:
            result.problems.append(f"{shown(pattern)}: no such file or folder")

    kept = _drop_skipped(candidates, result, out_dir)
    result.inputs = _unique(result.inputs + kept)
    return result


def _output_bases(item: Input, out_dir: Path | None) -> set[tuple[str, str]]:
    """The (folder, stem) pairs this tool may have named outputs of ``item`` by."""
    stems = {item.path.stem, item.path.name}
    folders = {os.path.abspath(item.path.parent)}
    if out_dir is not None:
        folders.add(os.path.abspath(out_dir / item.subfolder))
    return {(folder, stem) for folder in folders for stem in stems}


def _drop_skipped(candidates: list[tuple[Input, str]], result: Expansion, out_dir) -> list[Input]:
    out_dir = Path(out_dir) if out_dir is not None and str(out_dir) != STREAM else None
    images = [(item, arg) for item, arg in candidates if item.path.suffix.lower() in MEDIA_EXTENSIONS]
    for item, _ in candidates:
        if item.path.suffix.lower() not in MEDIA_EXTENSIONS:
            result.skipped[NOT_IMAGES].append(item.path)
    sources = [item for item, _ in images if looks_like_output(item.path) is None]
    sources += [item for item in result.inputs if not item.is_stdin]
    bases: set[tuple[str, str]] = set()
    for item in sources:
        bases |= _output_bases(item, out_dir)
    kept, found_by = [], defaultdict(int)
    for item, arg in candidates:
        found_by[arg] += 1
    survivors = defaultdict(int)
    listings: dict[Path, set[str]] = {}
    for item, arg in images:
        shape = looks_like_output(item.path)
        if shape is not None and (
            (os.path.abspath(item.path.parent), shape[0]) in bases or _source_beside(item.path.parent, shape[0], listings)
            or _clip_frame(item.path, shape, bases, listings)
        ):
            result.skipped[OWN_OUTPUTS].append(item.path)
            continue
        kept.append(item)
        survivors[arg] += 1
    for arg, count in found_by.items():
        if not survivors[arg]:
            result.problems.append(f"{shown(arg)}: no images to read here ({count} skipped)")
    return kept


def _clip_frame(path: Path, shape: tuple[str, str], bases: set[tuple[str, str]],
                listings: dict[Path, set[str]]) -> bool:
    """Whether ``path`` is a frame of a PNG sequence this tool wrote for a clip:
    ``<clip stem>.<tag>/000001.<tag>.png`` beside the clip (or in the mirrored folder)."""
    number, tag = shape
    clip_stem, _, folder_tag = path.parent.name.rpartition(".")
    if not (number.isdigit() and clip_stem and folder_tag == tag):
        return False
    above = path.parent.parent
    return (os.path.abspath(above), clip_stem) in bases or _source_beside(above, clip_stem, listings)


def _source_beside(folder: Path, stem: str, listings: dict[Path, set[str]]) -> bool:
    """Whether ``folder`` holds an image this tool would name outputs ``stem``.* for:
    ``stem`` plus an image extension, or ``stem`` itself when it keeps its extension."""
    if folder not in listings:
        listings[folder] = {entry.name.casefold() for entry in _scan(folder)}
    names = listings[folder]
    key = stem.casefold()
    if key in names and Path(key).suffix in MEDIA_EXTENSIONS:
        return True
    return any(key + extension in names for extension in MEDIA_EXTENSIONS)


def _unique(inputs: list[Input]) -> list[Input]:
    seen: set[str] = set()
    unique = []
    for item in inputs:
        key = STREAM if item.is_stdin else os.path.realpath(item.path)
        if key not in seen:
            seen.add(key)
            unique.append(item)
    return unique

