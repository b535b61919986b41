"""Seeded random tree files that stress the reader: odd shapes, odd text, odd line endings.

Every text produced here loads without error: branch length texts are always numbers and are
always followed by a character that ends them.
"""

from __future__ import annotations

import random
from dataclasses import dataclass
from typing import List

LEAF_NAMES = [
    "t0", "t1", "t2", "t3", "t4", "t5", "t6", "t7", "t8", "t9", "t10", "t11",
    "A", "a",             # differ only in case
    "Ωmega", "ä_1",       # non-ASCII
    "'q r'",              # quotes and a space belong to the name
    "odd(name", "]br",    # "(" inside a label, "]" starting one
    "Smilax_bona-nox",
]
SUPPORT_LABELS = ["100", "99", "0.95", "/0.999", "/1", "X7", "'in ner'"]
COMMENTS = ["[c]", "[&&NHX:S=x]", "[a [nested] comment]", "[,:;()]", "[]", "[[deep[er]]]"]
# Text that can follow a branch length without becoming part of it.
AFTER_LENGTH = [")", ",", "[c]", ";"]


def random_length(rng: random.Random, allow_special: bool) -> str:
    """A branch length text in one of the many forms real files use."""
    value = rng.expovariate(4.0)
    form = rng.randrange(12 if allow_special else 11)
    if form == 0:
        return rng.choice(["0", "0.0", "0.000000", "0e0", "-0.0"])
    if form == 1:
        return f"{value:.6f}"
    if form == 2:
        return f"{value:e}"
    if form == 3:
        return repr(value)
    if form == 4:
        return f"{value:.20f}"
    if form == 5:
        return f"{rng.randint(1, 9)}e-{rng.randint(1, 8):02d}"
    if form == 6:
        return f"{value:.3E}"
    if form == 7:
        return rng.choice([".5", "5.", "+2", "1.5E+2", "00012.5000", "1e-3", "2e-06"])
    if form == 8:
        return repr(rng.uniform(-1.0, 1.0))
    if form == 9:
        return str(rng.randint(0, 300))
    if form == 10:
        return f"{value:.17g}"
    return rng.choice(["inf", "-Infinity", "INF", "nan", "NaN"])


@dataclass
class Recipe:
    """How one random file is made."""

    seed: int
    trees: int = 250
    max_leaves: int = 12
    names: int = 12                  # how many entries of LEAF_NAMES the file draws from
    line_ending: str = "\n"          # "\n", "\r\n" or "mixed"
    final_newline: bool = True
    blank_lines: float = 0.0         # share of lines left empty
    scrambled: float = 0.0           # share of lines made of random tokens
    comments: float = 0.0            # chance of a comment after a token
    special_lengths: bool = False    # inf and nan
    odd_text: float = 0.0            # chance of each rarely seen construct


class TreeTextMaker:
    """Writes the lines of one random file."""

    def __init__(self, recipe: Recipe) -> None:
        self.recipe = recipe
        self.rng = random.Random(recipe.seed)
        self.pool = LEAF_NAMES[: recipe.names]

    def chance(self, probability: float) -> bool:
        return self.rng.random() < probability

    def comment(self) -> str:
        return self.rng.choice(COMMENTS) if self.chance(self.recipe.comments) else ""

    def length(self) -> str:
        return ":" + random_length(self.rng, self.recipe.special_lengths)

    def leaf(self, name: str) -> str:
        rng = self.rng
        text = " " * rng.choice([0, 0, 0, 1, 2]) + name
        if self.chance(self.recipe.odd_text):
            # A second label after a comment replaces the first; both become taxa.
            text = f"{text}[x]{rng.choice(self.pool)}"
        if self.chance(self.recipe.odd_text):
            text += " "  # a trailing space is part of the name
        if self.chance(0.8):
            text += self.length()
        return text + self.comment()

    def group(self, items: List[str]) -> str:
        text = "(" + ",".join(items) + ")"
        if self.chance(0.4):
            text += self.rng.choice(SUPPORT_LABELS)
        if self.chance(0.8):
            text += self.length()
        return text + self.comment()

    def leaf_names(self) -> List[str]:
        rng = self.rng
        count = rng.randint(1, self.recipe.max_leaves)
        names = rng.sample(self.pool, min(count, len(self.pool)))
        if self.chance(0.15):
            names.append(rng.choice(names))  # a repeated label
        if self.chance(0.05):
            names.append("")  # an unlabelled leaf
        rng.shuffle(names)
        return names

    def tree(self) -> str:
        """A well-formed tree with polytomies, unary nodes and decorations."""
        rng = self.rng
        items = [self.leaf(name) for name in self.leaf_names()]
        while len(items) > 1 and not (len(items) <= 4 and self.chance(0.3)):
            size = min(len(items), rng.choice([1, 2, 2, 2, 2, 3, 4]))
            start = rng.randrange(len(items) - size + 1)
            items[start : start + size] = [self.group(items[start : start + size])]
        text = "(" + ",".join(items) + ")"
        if self.chance(self.recipe.odd_text):
            text += rng.choice(SUPPORT_LABELS)
        if self.chance(0.2):
            text += ":" + rng.choice(["0.0", "0.25", "1e-3"])  # the root's own length
        text += self.comment()
        return text + self.ending()

    def ending(self) -> str:
        if self.chance(self.recipe.odd_text):
            return ""  # no ";"
        if self.chance(self.recipe.odd_text):
            return ";(t0,Zafter);"  # text after ";" is never read
        if self.chance(self.recipe.odd_text):
            return "[unclosed " + self.rng.choice(self.pool)
        return ";"

    def scrambled(self) -> str:
        """Random tokens: unbalanced brackets, labels on internal nodes and on the root."""
        rng = self.rng
        parts: List[str] = []
        for _ in range(rng.randint(0, 30)):
            if parts and parts[-1].startswith(":"):
                parts.append(rng.choice(AFTER_LENGTH))
                continue
            token = rng.choice(
                ["(", "(", ")", ",", ",", "label", "label", " ", "comment", "length"]
            )
            if token == "label":
                parts.append(rng.choice(self.pool))
            elif token == "comment":
                parts.append(rng.choice(COMMENTS))
            elif token == "length":
                parts.append(self.length())
            else:
                parts.append(token)
        if self.chance(0.1):
            parts.insert(0, rng.choice(["\t", "\r", "\ufeff"]))  # starts a label at the root
        return "".join(parts)

    def line(self) -> str:
        if self.chance(self.recipe.blank_lines):
            return ""
        if self.chance(self.recipe.scrambled):
            return self.scrambled()
        return self.tree()

    def line_end(self) -> str:
        if self.recipe.line_ending == "mixed":
            return self.rng.choice(["\n", "\r\n"])
        return self.recipe.line_ending

    def file_bytes(self) -> bytes:
        pieces = []
        for _ in range(self.recipe.trees):
            pieces += [self.line(), self.line_end()]
        if not self.recipe.final_newline:
            pieces.pop()
        return "".join(pieces).encode("utf-8")
