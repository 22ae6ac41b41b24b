#!/usr/bin/env python3
"""The documentation holds together: every relative link of README.md and
docs/*.md leads to a file that exists and, with an anchor, to a heading of
it (GitHub's slugs); every option TefOrvex --help lists is in the manual page
and in the installing guide.

    links.py SOURCE_DIR [TEFORVEX]     (without TEFORVEX the options are not checked)
"""
import pathlib
import re
import subprocess
import sys

FENCE = re.compile(r"^ {0,3}(```|~~~).*?^ {0,3}\1", re.M | re.S)
LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")


def prose(path):
    """The text outside fenced blocks and inline code."""
    return re.sub(r"`[^`\n]*`", "", FENCE.sub("", path.read_text(encoding="utf-8")))


def anchors(path):
    seen, result = {}, set()
    for m in re.finditer(r"^#{1,6}[ \t]+(.+?)[ \t#]*$", FENCE.sub("", path.read_text(encoding="utf-8")), re.M):
        text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", m.group(1))
        slug = re.sub(r"[^\w\- ]", "", text.lower()).replace(" ", "-")
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        result.add(slug if n == 0 else f"{slug}-{n}")
    return result


def check_links(root):
    faults = []
    for doc in [root / "README.md", *sorted((root / "docs").glob("*.md"))]:
        for target in LINK.findall(prose(doc)):
            if re.match(r"[a-z][a-z0-9+.-]*:", target):
                continue  # http:, https:, mailto:
            file, _, anchor = target.partition("#")
            dest = (doc.parent / file).resolve() if file else doc
            where = f"{doc.relative_to(root)}: ({target})"
            if not dest.exists():
                faults.append(f"{where}: no file {file}")
            elif anchor and (dest.suffix != ".md" or anchor not in anchors(dest)):
                faults.append(f"{where}: no heading #{anchor} in {dest.relative_to(root)}")
    return faults


def check_options(root, program):
    help_text = subprocess.run([program, "--help"], capture_output=True, text=True, check=True).stdout
    block = help_text.split("Opções:\n", 1)[1].split("\n\n", 1)[0]
    options = [o for m in re.finditer(r"^  ([-/][\w-]+(?:, [-/][\w-]+)*)", block, re.M) for o in m.group(1).split(", ")]
    if not options:
        return [f"no options found in {program} --help"]
    manual = (root / "pacote/TefOrvex.1.in").read_text(encoding="utf-8").replace("\\-", "-")
    guide = (root / "docs/installing.md").read_text(encoding="utf-8")
    return [f"{name}: option {o} of TefOrvex --help is missing"
            for name, text in (("pacote/TefOrvex.1.in", manual), ("docs/installing.md", guide))
            for o in options if not re.search(rf"(?<![\w/-]){re.escape(o)}(?![\w-])", text)]


def main():
    root = pathlib.Path(sys.argv[1]).resolve()
    faults = check_links(root)
    if len(sys.argv) > 2 and sys.argv[2]:
        faults += check_options(root, sys.argv[2])
    else:
        print("TefOrvex not built: its options were not checked")
    for f in faults:
        print(f)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
