"""`make screenshots` as make test runs it: the real program under Wine
through each moment a vendor wants to see, each picture holding its window
(its size, and drawn rather than blank), and the pictures of docs/images
and the guide covering the same moments."""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from collections import Counter

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetools as wt  # noqa: E402

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(TOP, "scripts"))
import screenshots  # noqa: E402

MOMENTS = ["update-question", "update-question-skip", "close-application", "up-to-date", "no-information", "no-information-signature",
           "please-wait", "failed", "complete"]


@wt.skip_unless_harness
class Screenshots(unittest.TestCase):
    def test_each_picture_holds_its_window(self):
        out = tempfile.mkdtemp(prefix="pelmatic-shots-")
        self.addCleanup(shutil.rmtree, out, True)
        subprocess.run([sys.executable, os.path.join(TOP, "scripts", "screenshots.py"), out],
                       check=True, timeout=600)
        with open(os.path.join(out, "index.json")) as f:
            index = json.load(f)
        self.assertEqual(sorted(index), sorted(m + ".png" for m in MOMENTS))
        for name, entry in index.items():
            with self.subTest(name):
                width, height, rows = screenshots.read_png(os.path.join(out, name))
                self.assertEqual((width, height), (entry["width"], entry["height"]))
                # A box or a status window, not a sliver of the screen.
                self.assertGreater(width, 200)
                self.assertGreater(height, 80)
                pixels = Counter(bytes(row[x:x + 3]) for row in rows
                                 for x in range(0, len(row), 3))
                background, count = pixels.most_common(1)[0]
                self.assertLess(count, 0.97 * width * height, "blank")
                dark = sum(n for p, n in pixels.items() if max(p) < 96)
                self.assertGreater(dark, 200, "no text drawn")
        self.assertIn("PelMatic 2.000", index["update-question.png"]["title"])
        self.assertEqual(index["please-wait.png"]["title"], "Please wait to update ..... ")
        self.assertEqual(index["failed.png"]["title"], "-11 - Auto Update FAILED !")

    def test_the_guide_shows_the_checked_in_pictures(self):
        images = os.path.join(TOP, "docs", "images")
        self.assertEqual(sorted(n for n in os.listdir(images) if n.endswith(".png")),
                         sorted(m + ".png" for m in MOMENTS))
        with open(os.path.join(TOP, "docs", "shipping.md"), encoding="utf-8") as f:
            guide = f.read()
        self.assertRegex(guide, r"\n## (\d+\. )?What your users see\n")
        shown = set(re.findall(r"\]\(images/([a-z-]+\.png)\)", guide))
        self.assertEqual(shown, {m + ".png" for m in MOMENTS})


if __name__ == "__main__":
    unittest.main()
