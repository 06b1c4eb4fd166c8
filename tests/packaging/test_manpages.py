"""Every manual page of the tree renders without a warning and is installed under its section."""

import subprocess

import pytest

from sandbox import SOURCE, default_prefix

# Pages sit beside their components, one or two folders down.
PAGES = sorted(p for pattern in ("*/*.[1-8]", "*/*/*.[1-8]") for p in SOURCE.glob(pattern)
               if not p.relative_to(SOURCE).parts[0].startswith(("build", ".", "obj-", "debian")))


def test_pages_found():
    assert {p.name for p in PAGES} >= {"tallowd.8", "tallowd.conf.5", "libtallowd.3", "tallowctl.8", "qelt.8",
                                       "loginmotd.8"}


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_page_renders_cleanly_and_is_installed(page):
    r = subprocess.run(["man", "--warnings", "-l", str(page)], capture_output=True, text=True,
                       env={"PATH": "/usr/bin:/bin", "MANPAGER": "cat", "MANWIDTH": "80"})
    assert r.returncode == 0 and r.stderr == "", r.stderr
    assert (default_prefix() / "share/man" / f"man{page.suffix[1:]}" / page.name).is_file()
