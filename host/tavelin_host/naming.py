"""Output stems: one rule for stills and clips, so no two inputs of a run share an output name.

An input's outputs are ``<stem>.<kind>.<ext>`` (or the folder ``<stem>.<kind>`` of a
PNG sequence) in its output folder.  The stem is the input's name without its
extension; where that would meet another input's stem, or another input's whole
name, in the same output folder (``a.jpg`` and ``a.png``; ``a.png`` and
``a.png.png``), it is the whole name instead (``a.jpg.cutout.png``); and where
even whole names meet (two ``a.png`` from different folders written to one
``-o`` folder), a number follows the later ones (``a.png-2``).  Names are
compared without regard to case, as a case-insensitive file system would.
"""
from __future__ import annotations

import os
from collections import Counter, defaultdict
from typing import Sequence

from .inputs import Input, output_folder

STDIN_STEM = "stdin"


def short_stem(item: Input) -> str:
    """The stem an input's outputs get when nothing else claims it: its name less the extension."""
    if item.is_stdin:
        return STDIN_STEM
    return item.path.stem if item.path.suffix else item.path.name


def full_stem(item: Input) -> str:
    """The stem when the short one is shared: the whole name."""
    return STDIN_STEM if item.is_stdin else item.path.name


def plan_names(inputs: Sequence[Input], out_dir: str | os.PathLike | None) -> None:
    """Set each input's ``stem`` so that no two inputs whose outputs go to one folder share it."""
    folders: dict[str, list[Input]] = defaultdict(list)
    for item in inputs:
        folders[os.path.abspath(output_folder(item, out_dir))].append(item)
    for items in folders.values():
        shorts = Counter(short_stem(item).casefold() for item in items)
        fulls = Counter(full_stem(item).casefold() for item in items)
        wanted = []
        for item in items:
            short, full = short_stem(item), full_stem(item)
            key = short.casefold()
            others_named_so = fulls[key] - (full.casefold() == key)
            wanted.append(short if shorts[key] == 1 and not others_named_so else full)
        taken: set[str] = set()
        reserved = {stem.casefold() for stem in wanted}
        for item, stem in zip(items, wanted):
            if stem.casefold() in taken:
                number = 2
                while f"{stem}-{number}".casefold() in taken | reserved:
                    number += 1
                stem = f"{stem}-{number}"
            taken.add(stem.casefold())
            item.stem = stem


__all__ = ["full_stem", "plan_names", "short_stem"]
