#!/usr/bin/env python3
"""Checks the examples that publishers copy from the documentation: within
each file, every 'sfxpack create' of the folder payload keeps the --wizard
and --exclude options of the first, so that a later variant (the
reproducible one, the one for another shell) ships the same files; and the
Windows instructions say to put sfxpack's folder on PATH.
Usage: test_docs.py SOURCE_DIR"""
import re
import shlex
import sys
import unittest

ROOT = sys.argv[1]
DOCS = ["README.md", "tools/sfxpack/README.md", "tools/sfxpack/sfxpack.1.extra",
        "packaging/README-windows.txt"]


def text_of(name):
    with open(f"{ROOT}/{name}", encoding="utf-8") as f:
        text = f.read()
    if name.endswith(".extra"):  # roff: plain minus signs and backslashes
        text = text.replace("\\-", "-").replace("\\e", "\\")
    return text


def create_commands(text):
    """Each 'sfxpack create' command line, continuation lines joined, as
    its (option, value) pairs and the last argument."""
    joined = re.sub(r" \\\n\s*", " ", text)
    for line in joined.split("\n"):
        at = line.find("sfxpack create ")
        if at < 0 or "`" in line[:at]:
            continue
        words = shlex.split(line[at:].replace("\\", "/"), posix=True)[2:]
        options = sorted((w, words[i + 1]) for i, w in enumerate(words)
                         if w in ("--wizard", "--exclude"))
        yield options, words[-1]


class Examples(unittest.TestCase):
    def test_variants_pack_the_same_files(self):
        for name in DOCS:
            with self.subTest(name):
                packs = [o for o, last in create_commands(text_of(name))
                         if last.rstrip("/") == "payload"]
                self.assertTrue(packs, "no example packs payload")
                for options in packs[1:]:
                    self.assertEqual(options, packs[0])

    def test_windows_instructions_put_the_folder_on_path(self):
        windows = text_of("README.md").split("## On Windows")[1].split("\n## ")[0]
        for name, text in [("README.md", windows),
                           ("README-windows.txt", text_of("packaging/README-windows.txt"))]:
            with self.subTest(name):
                self.assertRegex(text, r"set PATH=%PATH%;")
                self.assertIn("not recognized", text)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[2:], verbosity=2)
