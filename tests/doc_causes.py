"""The README's and the manual page's lists of error codes, by what each
kind does to a run, against the table the program judges by."""

import re
import sys

root = sys.argv[1]
table = open(f"{root}/delivery/causes.cpp").read()
rows = re.findall(r"\{Family::(cms|cme), (\d+), (\d+|0x7fffffff), k(\w+), \"", table)
kinds = {}
for family, first, last, kind in rows:
    last = int(last, 0)
    codes = range(int(first), min(last, 65535) + 1)  # vendor codes run on
    kinds.setdefault((family, kind.lower()), set()).update(codes)


def listed(text):
    """{family: codes} of a list such as "`+CMS ERROR:` 8, 310–313; ..."."""
    out = {}
    for family, codes in re.findall(r"\+(CMS|CME) ERROR:\W*((?:[\d\u2013\-]|\\\(en|\s|,|\([^)]*\))+)",
                                     text):
        for item in re.sub(r"\([^)]*\)", "", codes).replace("\\(en", "-").replace("\u2013", "-").split(","):
            if item.strip():
                first, _, last = item.strip().partition("-")
                out.setdefault(family.lower(), set()).update(range(int(first), int(last or first) + 1))
    return out


failures = []
for doc, starts in (("README.md", ("the modem cannot send now", "this recipient or message", "temporary")),
                    ("man/cellpost.1.in", (".B the modem cannot send now", ".B this recipient or message",
                                           ".B temporary"))):
    text = open(f"{root}/{doc}").read()
    sections = [text.index(s, text.index("RETRIES" if doc.startswith("man") else "## Retries"))
                for s in starts]
    sections.append(sections[-1] + 600)
    for kind, begin, end in zip(("fatal", "recipient", "temporary"), sections, sections[1:]):
        for family, codes in listed(text[begin:end]).items():
            want = kinds.get((family, kind), set())
            # Temporary is everything else: the docs give examples of it.
            wrong = codes - want if kind == "temporary" else codes ^ want
            if wrong:
                failures.append(f"{doc}: {kind} +{family.upper()} ERROR codes differ: {sorted(wrong)}")
print("\n".join(failures) or "the documented codes match the table")
sys.exit(1 if failures else 0)
