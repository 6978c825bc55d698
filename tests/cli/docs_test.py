#!/usr/bin/python3
"""What a reader is pointed to exists.

  docs_test.py links ROOT   every relative Markdown link and image of the
                            checkout's *.md files leads to a file, and its
                            #anchor to a heading of that file
"""
import os
import re
import sys

LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^\s*```")


def MarkdownFiles(root):
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if d not in (".git", "build")]
        for name in files:
            if name.endswith(".md"):
                yield os.path.join(folder, name)


def ProseLines(path):
    """The lines outside fenced code blocks, with their numbers."""
    inside = False
    with open(path, encoding="utf-8") as text:
        for number, line in enumerate(text, 1):
            if FENCE.match(line):
                inside = not inside
            elif not inside:
                yield number, line


def Anchors(path):
    """The anchors a Markdown viewer gives the headings: lower case, blanks
    as '-', punctuation left out, a repeated one numbered."""
    seen = {}
    for _, line in ProseLines(path):
        heading = re.match(r"#{1,6}\s+(.*?)\s*$", line)
        if not heading:
            continue
        slug = re.sub(r"[^\w\- ]", "", heading.group(1).lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        yield slug if count == 0 else "%s-%d" % (slug, count)


def BrokenLinks(path):
    for number, line in ProseLines(path):
        for target in LINK.findall(line):
            if re.match(r"[a-z]+:", target):
                continue
            file, _, anchor = target.partition("#")
            goal = os.path.normpath(os.path.join(os.path.dirname(path), file)) if file else path
            if not os.path.exists(goal):
                yield "%s:%d: %s: no such file" % (path, number, target)
            elif anchor and (not goal.endswith(".md") or anchor not in set(Anchors(goal))):
                yield "%s:%d: %s: no such heading" % (path, number, target)


def CheckLinks(root):
    broken = [problem for path in sorted(MarkdownFiles(root)) for problem in BrokenLinks(path)]
    for problem in broken:
        print(problem)
    return not broken


def main():
    checks = {"links": CheckLinks}
    if len(sys.argv) < 3 or sys.argv[1] not in checks:
        print(__doc__)
        return 2
    ok = checks[sys.argv[1]](*sys.argv[2:])
    print("%s: %s" % (sys.argv[1], "passed" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
