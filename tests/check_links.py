#!/usr/bin/python3
"""Relative links between README.md and docs/*.md: every file a link names exists, every #anchor
is a heading of its file (as GitHub makes anchors of headings), and every docs/*.md page is
reachable from the README's links. Links to other sites (http:, https:, mailto:, ...) are not
followed. Prints one line per broken link and exits 1 when any is broken.

usage: check_links.py PROJECT_FOLDER
"""

import pathlib
import re
import sys
import unicodedata

FENCE = re.compile(r"^\s*(```|~~~)")
HEADING = re.compile(r"^ {0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
# [text](target "title") and ![alt](target); <img src="target"> and <a href="target">.
MARKDOWN_LINK = re.compile(r"\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
HTML_LINK = re.compile(r"<(?:img|a)\b[^>]*?\b(?:src|href)=\"([^\"]*)\"")
SCHEME = re.compile(r"^[a-zA-Z][a-zA-Z0-9+.-]*:")


def prose_lines(path):
    """The file's lines outside fenced code blocks, with their numbers."""
    inside = False
    for number, line in enumerate(path.read_text(encoding="utf-8").split("\n"), 1):
        if FENCE.match(line):
            inside = not inside
            continue
        if not inside:
            yield number, line


def heading_text(markdown):
    """A heading's text as GitHub renders it: code spans, links and emphasis reduced to text."""
    text = CODE_SPAN.sub(lambda m: m.group(2), markdown)
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", text)
    return re.sub(r"[*_]{1,2}(\S.*?)[*_]{1,2}", r"\1", text)


def slug(text):
    """GitHub's anchor of a heading: lowercase, punctuation dropped (letters, marks, digits, '_',
    '-' and spaces kept), each space a '-'."""
    kept = (c for c in text.lower()
            if c in " -" or c.isalnum() or unicodedata.category(c)[0] == "M"
            or unicodedata.category(c) == "Pc")
    return "".join(kept).replace(" ", "-")


def anchors(path):
    """Every heading anchor of a markdown file; a repeated one gets -1, -2, ... as on GitHub."""
    seen = {}
    result = set()
    for _, line in prose_lines(path):
        match = HEADING.match(line)
        if not match:
            continue
        base = slug(heading_text(match.group(2)))
        count = seen.get(base, 0)
        seen[base] = count + 1
        result.add(base if count == 0 else f"{base}-{count}")
    return result


def links(path):
    """(line number, target) of every link in the file's prose, code spans left out."""
    for number, line in prose_lines(path):
        line = CODE_SPAN.sub("code", line)
        for pattern in (MARKDOWN_LINK, HTML_LINK):
            for match in pattern.finditer(line):
                yield number, match.group(1)


def check(root):
    pages = [root / "README.md"] + sorted((root / "docs").glob("*.md"))
    anchor_cache = {}
    problems = []
    reached = set()
    for page in pages:
        for number, target in links(page):
            if not target or SCHEME.match(target):
                continue
            file_part, _, anchor = target.partition("#")
            linked = (page.parent / file_part).resolve() if file_part else page.resolve()
            where = f"{page.relative_to(root)}:{number}: {target}"
            if not linked.exists():
                problems.append(f"{where}: no file {file_part}")
                continue
            if page.name == "README.md":
                reached.add(linked)
            if not anchor:
                continue
            if linked.suffix != ".md":
                problems.append(f"{where}: an anchor into a file that is not markdown")
                continue
            if linked not in anchor_cache:
                anchor_cache[linked] = anchors(linked)
            if anchor not in anchor_cache[linked]:
                problems.append(f"{where}: no heading #{anchor} in {linked.relative_to(root)}")
    for page in pages[1:]:
        if page.resolve() not in reached:
            problems.append(f"{page.relative_to(root)}: not linked from README.md")
    return problems


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    root = pathlib.Path(sys.argv[1]).resolve()
    problems = check(root)
    for problem in problems:
        print(problem)
    pages = 1 + len(list((root / "docs").glob("*.md")))
    print(f"{pages} pages, {len(problems)} broken links")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
