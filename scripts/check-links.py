#!/usr/bin/env python3
"""Checks the links between README.md and the documents in docs/.

Every relative link and image of README.md and docs/**/*.md must name a file
or folder of the checkout, and every #anchor (in the same file or in another
Markdown file) must be one that GitHub makes for a heading there: the
heading's text in lower case, punctuation dropped, each space a hyphen, and
-1, -2... after a repeated heading. Links to web addresses are not followed.
Code (fenced, indented, `spans`) and HTML comments are not read.

    python3 scripts/check-links.py [ROOT]

Prints each broken link as FILE:LINE: TARGET: why, and exits with 1 when
there is one, 0 otherwise.
"""
import os
import re
import sys
import urllib.parse

SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")
FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})")
LIST_ITEM = re.compile(r"^(\s*)([-*+]|\d{1,9}[.)])(\s+)")
ATX = re.compile(r"^ {0,3}(#{1,6})(?:[ \t]+(.*?))?(?:[ \t]+#+)?[ \t]*$")
SETEXT = re.compile(r"^ {0,3}(=+|-+)[ \t]*$")
CODE_SPAN = re.compile(r"(?<!`)(`+)(?!`)(.+?)(?<!`)\1(?!`)", re.S)
COMMENT = re.compile(r"<!--.*?-->", re.S)
# [text](target "title") and ![alt](target); the text may hold one level of
# brackets (an image inside a link).
INLINE = re.compile(
    r"(!?)\[((?:[^\[\]\\]|\\.|\[[^\]]*\])*)\]"
    r"\(\s*(<[^>\n]*>|[^)\s]*)(?:\s+(?:\"[^\"]*\"|'[^']*'|\([^)]*\)))?\s*\)")
REFERENCE_USE = re.compile(r"(!?)\[((?:[^\[\]\\]|\\.)*)\]\[([^\]]+)\]")
REFERENCE_DEF = re.compile(r"^ {0,3}\[([^\]]+)\]:\s*(<[^>]*>|\S+)", re.M)
HTML_LINK = re.compile(r"<(a|img)\b[^>]*?\b(href|src)\s*=\s*(\"[^\"]*\"|'[^']*')", re.I)
HTML_ID = re.compile(r"<[A-Za-z][^>]*?\b(?:id|name)\s*=\s*(\"[^\"]*\"|'[^']*')", re.I)


def blank(match):
    """The match as spaces, its line breaks kept, so that offsets hold."""
    return re.sub(r"[^\n]", " ", match.group(0))


def prose_lines(lines):
    """The lines with code blocks blanked: fenced, and indented by four or
    more beyond the list item they are in, after a blank line."""
    out = []
    fence = None
    in_code = False
    list_indent = 0
    previous_blank = True
    for line in lines:
        stripped = line.strip()
        if fence:
            out.append("")
            if re.match(r"^ {0,3}" + re.escape(fence[0]) + "{" + str(len(fence)) + r",}\s*$", line):
                fence = None
            previous_blank = False
            continue
        m = FENCE.match(line)
        if m:
            fence = m.group(1)
            out.append("")
            in_code = False
            previous_blank = False
            continue
        if not stripped:
            out.append("")
            previous_blank = True
            continue
        indent = len(line) - len(line.lstrip(" "))
        if indent >= list_indent + 4 and (previous_blank or in_code):
            in_code = True
            out.append("")
            previous_blank = False
            continue
        in_code = False
        item = LIST_ITEM.match(line)
        if item:
            list_indent = len(item.group(0))
        elif previous_blank and indent == 0:
            list_indent = 0
        out.append(line)
        previous_blank = False
    return out


def heading_text(raw):
    """A heading's text as GitHub renders it: code without its backticks,
    links and images by their text, no emphasis marks, no HTML tags."""
    parts = []
    last = 0
    for m in CODE_SPAN.finditer(raw):
        parts.append((raw[last:m.start()], False))
        parts.append((m.group(2).strip(), True))
        last = m.end()
    parts.append((raw[last:], False))
    text = ""
    for part, is_code in parts:
        if not is_code:
            part = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", part)
            part = re.sub(r"<[^>]+>", "", part)
            part = re.sub(r"\\(.)", r"\1", part)
            part = part.replace("*", "")
            part = re.sub(r"(?<![A-Za-z0-9])_+|_+(?![A-Za-z0-9])", "", part)
        text += part
    return text.strip()


def slug(text):
    text = text.lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


class Document:
    def __init__(self, path):
        self.path = path
        with open(path, encoding="utf-8") as f:
            source = f.read()
        source = COMMENT.sub(blank, source)
        self.lines = prose_lines(source.split("\n"))
        self.anchors = set()
        seen = {}
        previous = ""
        for line in self.lines:
            title = None
            m = ATX.match(line)
            if m:
                title = m.group(2) or ""
            elif SETEXT.match(line) and previous.strip() and not previous.lstrip().startswith("|") \
                    and not LIST_ITEM.match(previous) and not ATX.match(previous):
                title = previous.strip()
            if title is not None:
                base = slug(heading_text(title))
                count = seen.get(base, 0)
                seen[base] = count + 1
                self.anchors.add(base if count == 0 else "%s-%d" % (base, count))
            for m in HTML_ID.finditer(line):
                self.anchors.add(m.group(1)[1:-1])
            previous = line

    def links(self):
        """(line number, target, is image) for every link of the prose."""
        text = "\n".join(self.lines)
        text = CODE_SPAN.sub(blank, text)
        found = []

        def line_of(offset):
            return text.count("\n", 0, offset) + 1

        def inline(chunk, base):
            for m in INLINE.finditer(chunk):
                target = m.group(3)
                if target.startswith("<"):
                    target = target[1:-1]
                found.append((line_of(base + m.start()), target, m.group(1) == "!"))
                inline(m.group(2), base + m.start(2))

        inline(text, 0)
        definitions = {}
        for m in REFERENCE_DEF.finditer(text):
            target = m.group(2).strip("<>")
            definitions[m.group(1).strip().lower()] = target
            found.append((line_of(m.start()), target, False))
        for m in REFERENCE_USE.finditer(text):
            label = m.group(3).strip().lower()
            if label not in definitions:
                found.append((line_of(m.start()), "[%s]" % m.group(3), None))
        for m in HTML_LINK.finditer(text):
            found.append((line_of(m.start()), m.group(3)[1:-1], m.group(1).lower() == "img"))
        return found


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1
                           else os.path.join(os.path.dirname(__file__), ".."))
    files = [os.path.join(root, "README.md")]
    for folder, _, names in os.walk(os.path.join(root, "docs")):
        files += [os.path.join(folder, n) for n in sorted(names) if n.endswith(".md")]
    files = [f for f in files if os.path.isfile(f)]
    documents = {}

    def document(path):
        if path not in documents:
            documents[path] = Document(path)
        return documents[path]

    broken = []
    checked = 0
    for path in files:
        here = os.path.relpath(path, root)
        for line, target, image in document(path).links():
            checked += 1

            def fail(why):
                broken.append((here, line, "%s: %s" % (target, why)))

            if image is None:
                fail("no reference definition for this label")
                continue
            if not target:
                fail("empty link")
                continue
            if SCHEME.match(target) or target.startswith("//"):
                continue  # a web address, a mail address: not followed
            address, _, anchor = target.partition("#")
            address = urllib.parse.unquote(address.split("?", 1)[0])
            if address:
                if address.startswith("/"):
                    file = os.path.normpath(os.path.join(root, address.lstrip("/")))
                else:
                    file = os.path.normpath(os.path.join(os.path.dirname(path), address))
                if os.path.relpath(file, root).startswith(".."):
                    fail("outside the repository")
                    continue
                if not os.path.exists(file):
                    fail("no such %s" % ("image" if image else "file or folder"))
                    continue
                if image and not os.path.isfile(file):
                    fail("the image is not a file")
                    continue
            else:
                file = path
            if anchor and file.endswith(".md") and os.path.isfile(file):
                anchor = urllib.parse.unquote(anchor)
                if anchor not in document(file).anchors:
                    hint = " (anchors are lower case)" if anchor.lower() in document(file).anchors else ""
                    fail("no heading in %s makes the anchor #%s%s"
                         % (os.path.relpath(file, root), anchor, hint))

    for here, line, why in sorted(broken):
        print("%s:%d: %s" % (here, line, why))
    print("%d links in %d files, %d broken" % (checked, len(files), len(broken)))
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
