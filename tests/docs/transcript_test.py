"""The protocol transcripts of the README, the pages in doc/ and the
manual page, replayed byte for byte against the Linux appduck on the demo
world: a private server with two players, "player" and "chat". A transcript
is a fenced block whose lines all start with "> " (written to appduck) or
"< " (its reply). And the README links every page in doc/, and every link
between the documents leads somewhere.

usage: transcript_test.py path/to/appduck [unittest arguments]
"""
import glob
import os
import re
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(HERE, "..", "linux"))
import sound_world  # noqa: E402


def transcripts(path):
    """Every transcript in a document, as lists of (direction, text)."""
    found, block = [], None
    with open(path, encoding="utf-8") as document:
        for line in document.read().splitlines():
            if line.startswith("```"):
                if block is None:
                    block = []
                else:
                    if block and all(kind in "<>" for kind, _ in block):
                        found.append(block)
                    block = None
            elif block is not None:
                kind = line[:2] if line[:2] in ("> ", "< ") else "?"
                block.append((kind[0], line[2:]))
    return found


class Transcripts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.mkdtemp(prefix="appduck-transcripts.")
        cls.server = sound_world.SoundServer()
        cls.server.start()
        cls.players = [sound_world.Player(cls.server, cls.workdir, name, frequency)
                       for name, frequency in (("player", 1000), ("chat", 1500))]

    @classmethod
    def tearDownClass(cls):
        for player in cls.players:
            player.stop()
        cls.server.cleanup()
        shutil.rmtree(cls.workdir, ignore_errors=True)

    def replay(self, transcript):
        appduck = sound_world.Appduck(self.server)
        try:
            for kind, text in transcript:
                if kind == ">":
                    appduck.send(text)
                else:
                    self.assertEqual(appduck.reply(), text + "\n")
            appduck.close_input()
            self.assertEqual(appduck.finish(), ("", 0), "more replies than the transcript shows")
        finally:
            appduck.kill()
        for player in ("player", "chat"):
            self.assertAlmostEqual(self.server.sink_inputs()[player][0], 1.0, delta=0.001)

    def check_document(self, path):
        found = transcripts(os.path.join(ROOT, path))
        self.assertTrue(found, "no transcript in " + path)
        for number, transcript in enumerate(found, 1):
            with self.subTest(document=path, transcript=number):
                self.replay(transcript)

    def test_readme(self):
        self.check_document("README.md")

    def test_manual_page(self):
        self.check_document("doc/appduck.1.scd")

    def test_pages(self):
        for page in sorted(glob.glob(os.path.join(ROOT, "doc", "*.md"))):
            if transcripts(page):
                self.check_document(os.path.relpath(page, ROOT))


class Links(unittest.TestCase):
    def test_the_readme_links_every_page_and_every_link_leads_somewhere(self):
        documents = ["README.md"] + sorted(os.path.relpath(page, ROOT) for page in
                                           glob.glob(os.path.join(ROOT, "doc", "*.md")))
        with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as readme:
            linked = set(re.findall(r"\]\((doc/[^)#]+)", readme.read()))
        for page in documents[1:]:
            self.assertIn(page, linked, "the README does not link " + page)
        for document in documents:
            with open(os.path.join(ROOT, document), encoding="utf-8") as text:
                for target in re.findall(r"\]\(([^)#:]+)(?:#[^)]*)?\)", text.read()):
                    path = os.path.normpath(os.path.join(ROOT, os.path.dirname(document), target))
                    self.assertTrue(os.path.exists(path), "%s links %s, which is not there"
                                    % (document, target))


if __name__ == "__main__":
    sound_world.APPDUCK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
