"""The README's promises about itself: its code blocks are closed, its first
lines run what they say, its contents lead to its sections, and it documents
every public name of the client."""

import os
import re

import pytest

import ctp
from conftest import ROOT

README = (ROOT / "README.md").read_text(encoding="utf-8")


def blocks_and_prose(text):
    """(code blocks as (info, lines), prose lines); fails on a fence left open or
    a fence opened inside another (which Markdown would show as code)."""
    blocks, prose, current = [], [], None
    for number, line in enumerate(text.splitlines(), 1):
        if current is None:
            if line.startswith("```"):
                current = (line[3:].strip(), [], number)
            else:
                prose.append(line)
        elif line.strip() == "```":
            blocks.append(current[:2])
            current = None
        else:
            assert not line.startswith("```"), f"line {number}: a fence inside the block opened on line {current[2]}"
            current[1].append(line)
    assert current is None, f"the code block opened on line {current[2]} is never closed"
    return blocks, prose


def slug(heading):
    """The anchor a Markdown renderer gives a heading (GitHub's and MyST's rule)."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def test_the_code_blocks_are_closed():
    blocks, prose = blocks_and_prose(README)
    assert len(blocks) >= 20
    with pytest.raises(AssertionError, match="never closed"):
        blocks_and_prose("```python\nx = 1\n## heading\n")
    with pytest.raises(AssertionError, match="inside the block"):
        blocks_and_prose("```python\nx = 1\n## heading\n```python\ny = 2\n```\n")


def test_the_first_lines_run_what_they_say():
    blocks, _ = blocks_and_prose(README)
    info, lines = blocks[0]
    assert README.index("```") < README.index("\n## ")            # before anything else
    commands = [line.split("#")[0].strip() for line in lines]
    assert info == "sh" and commands == ["tools/run tools/demo", "tools/run tools/test"]
    for command in commands:
        for script in command.split():
            assert os.access(ROOT / script, os.X_OK), script
    assert "\ntools/run tools/test\n" in (ROOT / ".ci" / "run").read_text()


def test_the_contents_lead_to_every_section():
    _, prose = blocks_and_prose(README)
    headings = [line.lstrip("#").strip() for line in prose if re.match(r"#{2,3} ", line)]
    anchors = {slug(h) for h in headings}
    contents = README.split("## Contents\n", 1)[1].split("\n## ", 1)[0]
    links = re.findall(r"\]\(#([^)]+)\)", contents)
    assert set(links) <= anchors, set(links) - anchors
    sections = [h for h in headings if f"\n## {h}\n" in README and h != "Contents"]
    assert [slug(h) for h in sections if slug(h) not in links] == []
    # in the order of the sections
    assert [a for a in links if a in {slug(h) for h in sections}] == [slug(h) for h in sections]


def test_every_public_name_of_the_client_is_documented():
    names = {name for cls in (ctp.Client, ctp.AsyncClient, ctp.Order, ctp.AsyncOrder, ctp.MarketData,
                              ctp.AsyncMarketData) for name in dir(cls) if not name.startswith("_")}
    names |= {name for name in vars(ctp.BaseOrder()) if not name.startswith("_")}
    blocks, prose = blocks_and_prose(README)
    code = re.findall(r"`([^`]+)`", "\n".join(prose)) + ["\n".join(lines) for _, lines in blocks]
    documented = {word for text in code for word in re.findall(r"\w+", text)}
    assert sorted(names - documented) == []
