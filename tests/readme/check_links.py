#!/usr/bin/env python3
"""Checks the links of the README files and the manual's pages: every
relative link leads to a file of the source tree, and every #fragment to a
heading of its page under both ways of naming headings that readers meet,
GitHub's (the Markdown in the tree) and Python-Markdown's (the HTML manual
that mkdocs builds, which does not check fragments itself). The two differ
for headings with punctuation (`--json`, a colon), so a link must name a
heading whose name is the same in both.

    check_links.py DOCUMENT...
"""
import os
import re
import sys
import unicodedata

LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")


def text_of(heading):
    """A heading as its words read: code spans, emphasis and links plain."""
    heading = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading)
    return heading.replace("`", "").replace("**", "").replace("*", "")


def github_slug(text):
    text = text.strip().lower()
    text = "".join(c for c in text if c.isalnum() or c in " -_")
    return text.replace(" ", "-")


def markdown_slug(text):
    text = unicodedata.normalize("NFKD", text).encode("ascii", "ignore").decode("ascii")
    text = re.sub(r"[^\w\s-]", "", text).strip().lower()
    return re.sub(r"[-\s]+", "-", text)


def outside_fences(path):
    """(line number, line) of the lines that are not in a fenced block."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    fence = None
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if fence:
            if stripped == fence:
                fence = None
            continue
        if stripped.startswith("```"):
            fence = "```"
            continue
        yield number, line


def anchors(path):
    """The fragments that name a heading the same way in both renderings."""
    both = set()
    for _, line in outside_fences(path):
        m = HEADING.match(line)
        if m:
            words = text_of(m.group(2))
            if github_slug(words) == markdown_slug(words):
                both.add(github_slug(words))
    return both


def main():
    documents = sys.argv[1:]
    if not documents:
        print(__doc__)
        return 2
    faults = []
    links = 0
    for doc in documents:
        for number, line in outside_fences(doc):
            # Code spans show links as text, they are not links.
            for m in LINK.finditer(re.sub(r"`[^`]*`", "", line)):
                target = m.group(1)
                if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                    continue  # http:, https:, mailto:
                links += 1
                where = "%s:%d: %s" % (doc, number, target)
                path, _, fragment = target.partition("#")
                file = os.path.normpath(os.path.join(os.path.dirname(doc), path)) if path else doc
                if not os.path.exists(file):
                    faults.append("%s: no such file" % where)
                elif fragment and file.endswith(".md") and fragment not in anchors(file):
                    faults.append("%s: no heading of %s is named so on GitHub and in the HTML manual alike"
                                  % (where, file))
    for fault in faults:
        print(fault)
    print("%d links, %d broken" % (links, len(faults)))
    return 1 if faults or links == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
