"""The accuracy benchmark's readers: shares from saved profiles and py-spy output, and the
RESULTS.md section it shares with the full bench run."""

from __future__ import annotations

import sys
import textwrap
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench" / "lib"))

import truth_report
import truth_shares

PROGRAM = "/x/prog.py"


def document(samples: list[tuple[list[str] | None, dict]]) -> dict:
    """A saved-profile document; each sample is (function names in PROGRAM, extra fields).
    Each stack is its own chain of call paths: sharing is the writer's business, not the reader's."""
    frames = [{"file": PROGRAM, "function": name, "line": 1} for name in ("driver", "work", "nap")]
    frames.append({"file": "/lib/other.py", "function": "work", "line": 1})
    index = {(f["file"], f["function"]): i for i, f in enumerate(frames)}

    def frame(name: str) -> int:  # "function", or "file:function" for another file
        file, _, function = name.rpartition(":")
        return index[(file or PROGRAM, function)]

    paths: dict[str, list] = {"parent": [], "frame": []}
    columns: dict[str, list] = {"timestamp_ms": [], "cpu_percent": [], "stack": [], "weight_us": []}
    for t, (names, extra) in enumerate(samples):
        path = None
        for name in names or ():
            paths["parent"].append(path)
            paths["frame"].append(frame(name))
            path = len(paths["frame"]) - 1
        columns["timestamp_ms"].append(t)
        columns["cpu_percent"].append(100.0)
        columns["stack"].append(path)
        columns["weight_us"].append(extra.get("weight_us", 1000))
    return {"frames": frames, "stacks": paths, "samples": columns}


class TestPhaseShares:
    def test_counts_samples_inside_the_driver_once_each(self):
        doc = document(
            [
                (["driver", "work"], {}),
                (["driver", "work", "work"], {}),  # recursion counts once
                (["driver", "nap"], {}),
                (["driver", "/lib/other.py:work"], {}),  # another file's `work` is not the phase
                (["work"], {}),  # outside the driver
                (None, {}),
            ]
        )
        inside = truth_shares.driver_samples(doc, "driver", PROGRAM)
        assert truth_shares.phase_shares(inside, ["work", "nap"]) == {"work": 0.5, "nap": 0.25}

    def test_weights_by_sample_time_when_the_profile_has_it(self):
        doc = document([(["driver", "work"], {"weight_us": 900}), (["driver", "nap"], {"weight_us": 100})])
        inside = truth_shares.driver_samples(doc, "driver", PROGRAM)
        assert truth_shares.phase_shares(inside, ["work", "nap"]) == {"work": 0.9, "nap": 0.1}


class TestSelfShares:
    SOURCE = textwrap.dedent("""\
        class Vector:
            def __init__(self, x):
                self.x = x

        class Point:
            @staticmethod
            def __init__(self, x):
                self.x = x

            def norm(self):
                return 0

        def drive():
            f = lambda: 1
            return f()
        """)

    def test_bare_names_resolve_to_the_same_qualified_name_as_pyspy_gives(self, tmp_path):
        source = tmp_path / "bm.py"
        source.write_text(self.SOURCE)
        sources = {"bm.py": str(source)}
        key = truth_shares.function_key
        assert key(str(source), "__init__", 3, sources) == ("bm.py", "Vector.__init__")  # kulvo: current line
        assert key("bm.py", "Point.__init__", 6, sources) == ("bm.py", "Point.__init__")  # py-spy: decorator line
        assert key("bm.py", "<lambda>", 14, sources) == ("bm.py", "<lambda>")  # no def: the reported name
        assert key("bm.py", "norm", -1, sources) == ("bm.py", "Point.norm")  # no line: the one def of that name
        assert key("bm.py", "__init__", -1, sources) == ("bm.py", "__init__")  # no line, two defs
        assert key("<frozen runpy>", "_run_code", 65, sources) == ("<frozen runpy>", "_run_code")

    def test_pyspy_raw_lines_give_innermost_shares_inside_the_driver(self, tmp_path):
        raw = [
            "<module> (d.py:1);drive (d.py:5);Vector.__init__ (bm.py:2) 6\n",
            "<module> (d.py:1);drive (d.py:5);step (bm.py:9);__init__ (__init__) 2\n",  # a shim frame
            "<module> (d.py:1);_find_and_load (<frozen importlib._bootstrap>:1349) 7\n",  # outside the driver
            "\n",
        ]
        stacks = list(truth_shares.pyspy_stacks(raw))
        assert [count for _, count in stacks] == [6.0, 2.0, 7.0]
        shares = truth_shares.self_shares(stacks, "drive", {})
        assert shares == {("bm.py", "__init__"): 0.75, ("bm.py", "step"): 0.25}


class TestResultsSection:
    def test_the_section_is_replaced_in_place_and_survives_a_full_rewrite(self):
        block = f"{truth_report.BEGIN}\nnew\n{truth_report.END}\n"
        old = f"# head\n\n{truth_report.BEGIN}\nold\n{truth_report.END}\n\n## after\n"
        assert truth_report.splice(old, block) == f"# head\n\n{block}\n## after\n"
        rewritten = "# the full run's results\n"
        kept = truth_report.kept_block(truth_report.splice(old, block))
        assert truth_report.splice(rewritten, kept) == f"{rewritten}\n{block}"
        assert truth_report.kept_block(rewritten) == ""
