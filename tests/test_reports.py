"""The renderers and the saved-profile format, on profiles built by hand."""

from __future__ import annotations

import json
import random
import re
from collections import Counter
from dataclasses import replace
from pathlib import Path
from typing import Any, ClassVar

import jsonschema
import pytest
from support import packed_result

from kulvo import storage
from kulvo.core_result import ProfilerFrames, StackRoot, profile_from_core
from kulvo.model import (
    AllocationSite,
    Frame,
    FrameTable,
    HotPath,
    MemorySnapshot,
    Profile,
    RunMetadata,
    Sample,
    SampleColumns,
    SpikeEvent,
)
from kulvo.reports import FORMATS, RenderOptions, declared_format, format_for_path, render
from kulvo.reports.functions import time_shares
from kulvo.reports.html import flame_data
from kulvo.reports.names import qualified_name
from kulvo.reports.stacks import flame_tree
from kulvo.reports.text import bucket_values
from kulvo.reports.units import format_duration_ms, short_path
from kulvo.samples import NO_PATH, CallPaths

MIB = 1024 * 1024
SCHEMA_PATH = Path(__file__).parent / "data" / "speedscope-file-format-schema.json"
ANSI = re.compile(r"\x1b\[[0-9;]*m")

MAIN = Frame("/srv/app/main.py", "<module>", 30)
WORK = Frame("/srv/app/main.py", "work", 12)
INNER = Frame("/srv/app/lib/deep/inner.py", "inner", 7)
SLEEP = Frame("/srv/app/main.py", "wait", 4)


def metadata(**overrides: object) -> RunMetadata:
    fields: dict[str, object] = dict(
        kulvo_version="0.1.0-dev",
        python_version="3.12.1",
        argv=("main.py", "--fast"),
        start_time="2026-01-02T03:04:05.000+00:00",
        interval_ms=10,
        top_n=20,
        memory=True,
    )
    fields.update(overrides)
    return RunMetadata(**fields)  # type: ignore[arg-type]


def make_profile(**overrides: object) -> Profile:
    """Ten samples: idle, four busy in work/inner, then memory growth while waiting."""
    stacks = [(MAIN, SLEEP)] * 3 + [(MAIN, WORK, INNER)] * 3 + [(MAIN, WORK)] + [None] + [(MAIN, SLEEP)] * 2
    cpu = [1.0, 2.0, None, 95.0, 99.0, 97.0, 90.0, 3.0, 2.0, 1.0]
    rss = [20, 20, 20, 21, 21, 21, 21, 60, 60, None]
    samples = tuple(
        Sample(
            timestamp_ms=10 * (i + 1),
            cpu_percent=cpu[i],
            rss_bytes=None if rss[i] is None else rss[i] * MIB,
            stack=stacks[i],
            weight_us=10_000,
        )
        for i in range(10)
    )
    fields: dict[str, object] = dict(
        metadata=metadata(),
        sample_count=10,
        wall_time_ms=105,
        samples=samples,
        spike_events=(
            SpikeEvent("cpu", 40, 70, 99.0, 20.0, (MAIN, WORK, INNER)),
            SpikeEvent("memory", 80, 100, 60.0 * MIB, 25.0 * MIB, (MAIN, SLEEP)),
        ),
        hot_paths=(
            HotPath(MAIN.file, MAIN.function, MAIN.line, 9, 100.0),
            HotPath(SLEEP.file, SLEEP.function, SLEEP.line, 5, 55.6),
            HotPath(WORK.file, WORK.function, WORK.line, 4, 44.4),
            HotPath(INNER.file, INNER.function, INNER.line, 3, 33.3),
        ),
        memory_snapshots=(
            MemorySnapshot(
                time_ms=83,
                traced_bytes=41 * MIB,
                top_sites=(AllocationSite("/srv/app/main.py", 5, 40 * MIB, 39 * MIB, 41, 40),),
                duration_ms=3,
            ),
            MemorySnapshot(
                time_ms=103,
                traced_bytes=50 * MIB,
                top_sites=(AllocationSite("/srv/app/main.py", 5, 45 * MIB, 45 * MIB, 45, 45),),
                at_peak=True,
            ),
        ),
    )
    fields.update(overrides)
    return Profile(**fields)  # type: ignore[arg-type]


def empty_profile() -> Profile:
    return Profile(metadata(memory=False), 0, 3, (), (), ())


class TestFormatForPath:
    @pytest.mark.parametrize(
        ("path", "expected"),
        [
            ("out.txt", "text"),
            ("a/b/OUT.JSON", "json"),
            ("run.speedscope.json", "speedscope"),
            ("page.html", "html"),
            ("stacks.collapsed", "collapsed"),
            ("report.pdf", None),
        ],
    )
    def test_suffixes(self, path, expected):
        assert format_for_path(path) == expected

    def test_every_format_renders_an_empty_profile(self):
        for name in FORMATS:
            assert isinstance(render(empty_profile(), name), str)
            # The table the command line is checked against is what each module declares.
            declared = declared_format(name)
            assert declared.name == name
            assert all(format_for_path(f"x{suffix.upper()}") == name for suffix in declared.suffixes)

    def test_an_unknown_format_is_refused(self):
        with pytest.raises(ValueError, match="unknown report format 'pdf'"):
            render(make_profile(), "pdf")


class TestTextReport:
    def text(self, profile: Profile | None = None, **options: object) -> str:
        return render(profile or make_profile(), "text", RenderOptions(**options))  # type: ignore[arg-type]

    def test_summary_skips_failed_readings(self):
        summary = self.text().split("Functions by self time")[0]
        # Mean of the nine CPU readings that did not fail, peak of them, and the highest RSS.
        assert "mean 43.3 %" in summary
        assert re.search(r"peak +99.0 %", summary)
        assert "60.0 MiB" in summary
        assert "10 every 10 ms" in summary
        assert "1 CPU, 1 memory" in summary

    @pytest.mark.parametrize("width", [40, 72, 100, 160])
    def test_every_line_fits_the_width(self, width):
        long_name = Frame("/very/long/" + "nested/" * 20 + "module.py", "a_function_with_a_long_name" * 2, 99)
        profile = make_profile(
            hot_paths=(HotPath(long_name.file, long_name.function, long_name.line, 9, 100.0),),
            spike_events=(SpikeEvent("cpu", 40, 70, 99.0, 20.0, (MAIN, long_name)),),
        )
        for line in self.text(profile, width_chars=width, cut_to_width=True).splitlines():
            assert len(line) <= width, line
        # Uncut (a file, a pipe, a notebook), a long note keeps every word.
        note = "only the main thread's stacks are sampled; " * 4
        noted = replace(profile, metadata=replace(profile.metadata, notes=(note,)))
        assert note.strip() in self.text(noted, width_chars=width)

    def test_functions_lead_by_self_time_with_proportional_bars(self):
        table = self.text(width_chars=100).split("Functions by self time")[1].split("Hot lines")[0]
        rows = [line for line in table.splitlines() if " %  " in line]
        assert [row.split()[-2] for row in rows] == ["wait", "inner", "work", "<module>"]
        assert [row.split("%")[0].strip() for row in rows] == ["55.6", "33.3", "11.1", "0.0"]
        assert rows[-1].split("%")[1].strip().startswith("100.0")  # <module> is on every stack
        bar_lengths = [len(row.split(" %  ", 1)[1][:20].strip()) for row in rows]
        assert bar_lengths[0] == 12  # 55.6 % of a 20-cell bar: 11 full cells and a part
        assert bar_lengths == sorted(bar_lengths, reverse=True) and bar_lengths[-1] == 0

    def test_colour_only_when_asked(self):
        assert ANSI.search(self.text(color=True))
        assert not ANSI.search(self.text(color=False))
        plain = ANSI.sub("", self.text(color=True))
        assert plain == self.text(color=False)

    def test_ascii_when_the_stream_cannot_show_blocks(self):
        self.text(unicode=False).encode("ascii")

    def test_names_cannot_act_on_the_terminal_or_break_lines(self):
        odd = Frame("/srv/app/\x1b[2J.py", "title\x1b]0;pwned\x07\nnext\u202e", 3)
        sample = Sample(10, 1.0, MIB, (MAIN, odd), weight_us=10_000)
        spike = SpikeEvent("memory", 40, 70, 99.0, 20.0, (MAIN, odd))
        text = self.text(
            make_profile(samples=(sample,), spike_events=(spike,), metadata=metadata(argv=("m.py", "\x1bc")))
        )
        assert "\x1b" not in text and "\x07" not in text and "\u202e" not in text
        assert "title\\x1b]0;pwned\\x07\\nnext\\u202e" in text and "at title\\x1b]0;" in text
        assert "kulvo profile of m.py \\x1bc" in text and "\\x1b[2J.py:3" in text

    def test_shares_say_what_they_are_of(self):
        assert "(shares of 90 ms sampled, waiting included; 1 of 10 samples had no stack)" in self.text()
        assert "had no stack" not in self.text(make_profile(samples=make_profile().samples[:7], sample_count=7))
        waiting = make_profile(
            samples=tuple(replace(s, main_thread_waiting=s.cpu_percent == 1.0) for s in make_profile().samples)
        )
        assert re.search(r"waiting +20.0 % \(main thread\)", self.text(waiting))
        assert "(shares of the 70 ms the main thread worked; its 20.0 % waiting left out;" in self.text(
            waiting, leave_out_waiting=True
        )

    @pytest.mark.parametrize(
        ("value_ms", "expected"),
        [(250, "250 ms"), (999.6, "1.00 s"), (59_996, "1 min 0 s"), (61_000, "1 min 1 s"), (119_600, "2 min 0 s")],
    )
    def test_durations_round_into_the_next_unit(self, value_ms, expected):
        assert format_duration_ms(value_ms) == expected

    def test_a_long_spike_span_stays_apart_from_its_figures(self):
        event = SpikeEvent("cpu", 61_000, 125_500, 99.0, 20.0, None)
        assert "1 min 1 s – 2 min 6 s  peak 99.0 %" in self.text(make_profile(spike_events=(event,)))
        # Many CPU spikes: the five longest are listed, in time order, and the rest counted.
        many = tuple(SpikeEvent("cpu", 1000 * n, 1000 * n + 20 + n, 99.0, 20.0, None) for n in range(8))
        listed = re.findall(r"CPU +(\d+)\.00 s", self.text(make_profile(spike_events=many)))
        assert listed == ["3", "4", "5", "6", "7"]
        assert "(3 shorter CPU spike(s) not listed here" in self.text(make_profile(spike_events=many))

    def test_a_cpu_spike_shows_what_ran_during_it(self):
        spikes = self.text().split("Spikes")[1]
        cpu = spikes.split("memory")[0]
        assert re.search(r"75\.0 %  inner +/srv/app/lib/deep/inner\.py:7\n +25\.0 %  work ", cpu)
        assert "(kulvo spent 3 ms" not in cpu  # the snapshot at 83 ms lies outside 30-70 ms

    def test_cpu_spikes_of_noise_are_left_out(self):
        # At 10 ms: one reading of 99 % beside one of 97 % (the load wavers), and a spike of 2 ms at 1 ms.
        noise = (SpikeEvent("cpu", 50, 50, 99.0, 20.0, None),)
        burst = SpikeEvent("cpu", 90, 90, 99.0, 20.0, None)  # one reading between two of 2 and 1 %
        text = self.text(make_profile(spike_events=(*noise, burst, *make_profile().spike_events)))
        assert "2 CPU, 1 memory" in text and "(1 CPU spike(s) of a few ms or of one noisy reading left out)" in text
        assert "50 ms – 50 ms" not in text and "90 ms – 90 ms" in text
        fast = make_profile(
            metadata=metadata(interval_ms=1), spike_events=(SpikeEvent("cpu", 20, 21, 99.0, 20.0, None),)
        )
        assert "0 CPU, 0 memory" in self.text(fast)
        jittered = tuple(replace(s, timestamp_ms=88) if s.timestamp_ms == 80 else s for s in make_profile().samples)
        assert "0 CPU, 0 memory" in self.text(make_profile(samples=jittered, spike_events=(burst,)))  # 2 ms covered

    def test_a_memory_spike_shows_the_nearest_snapshot(self):
        memory = self.text().split("Spikes")[1].split("memory", 1)[1]
        assert "allocated by 83 ms" in memory
        assert "+39.0 MiB" in memory and "+40 blocks" in memory

    def test_a_cpu_spike_during_a_snapshot_says_so(self):
        profile = make_profile(spike_events=(SpikeEvent("cpu", 80, 90, 40.0, 20.0, None),))
        assert "kulvo spent 3 ms taking memory snapshots" in self.text(profile)

    def test_without_memory_snapshots_it_suggests_memory(self):
        profile = make_profile(metadata=metadata(memory=False), memory_snapshots=())
        assert "--memory" in self.text(profile)

    def test_timelines_have_one_sparkline_each(self):
        timeline = self.text().split("Timeline")[1].splitlines()
        cpu_line = next(line for line in timeline if line.startswith("  CPU"))
        rss_line = next(line for line in timeline if line.startswith("  RSS"))
        assert "0 – 100 %" in cpu_line
        assert "20.0 MiB – 60.0 MiB" in rss_line
        assert rss_line.split()[1].endswith("█")

    def test_a_peak_rss_from_before_the_run_is_pointed_out(self):
        # The first reading (20 MiB) is the peak from before the run, well above the 5 MiB in use.
        hidden = make_profile(metadata=metadata(rss_at_start_bytes=5 * MIB))
        assert "growth beyond 20.0 MiB only" in self.text(hidden)
        assert "growth beyond" not in self.text(make_profile(metadata=metadata(rss_at_start_bytes=18 * MIB)))
        assert "growth beyond" not in self.text(make_profile(metadata=metadata(rss_at_start_bytes=None)))

    def test_an_empty_profile(self):
        text = self.text(empty_profile())
        assert "no stacks were sampled" in text and "none found" in text and "no readings" in text


class TestTimeShares:
    def test_self_and_inclusive_time_by_function(self):
        shares = time_shares(make_profile())
        by_name = {
            f.function: (round(shares.percent(f.self_us), 1), round(shares.percent(f.total_us), 1))
            for f in shares.functions
        }
        assert by_name == {"wait": (55.6, 55.6), "inner": (33.3, 33.3), "work": (11.1, 44.4), "<module>": (0.0, 100.0)}
        assert [(line.frame, line.self_us) for line in shares.lines] == [
            (SLEEP, 50_000),
            (INNER, 30_000),
            (WORK, 10_000),
        ]

    def test_a_recursing_function_counts_once_per_sample(self):
        deep = (MAIN, WORK, Frame(WORK.file, "work", 13), WORK)
        samples = (
            Sample(10, 50.0, MIB, deep, weight_us=30_000),
            Sample(20, 50.0, MIB, (MAIN, SLEEP), weight_us=10_000),
        )
        shares = time_shares(make_profile(samples=samples))
        work = next(f for f in shares.functions if f.function == "work")
        assert (shares.percent(work.self_us), shares.percent(work.total_us)) == (75.0, 75.0)
        assert work.line == 12  # the line its self time went to, not the deeper call's
        assert max(shares.percent(line.total_us) for line in shares.lines) == 75.0

    def test_waiting_left_out_of_the_shares(self):
        samples = (
            Sample(10, 1.0, MIB, (MAIN, SLEEP), weight_us=30_000, main_thread_waiting=True),
            Sample(20, 99.0, MIB, (MAIN, WORK), weight_us=10_000),
            Sample(30, 1.0, MIB, None, weight_us=10_000, main_thread_waiting=True),
        )
        shares = time_shares(make_profile(samples=samples), leave_out_waiting=True)
        assert [f.function for f in shares.functions] == ["work", "<module>"]
        assert (shares.sampled_us, shares.waiting_percent) == (10_000, 80.0)
        assert time_shares(make_profile(samples=samples)).sampled_us == 40_000

    def test_each_thread_has_its_share_and_waiting_is_the_main_threads(self):
        main_root, pool_root = Frame("<thread>", "MainThread", 100), Frame("<thread>", "pool-1", 101)
        idle_root = Frame("<thread>", "idle", 102)
        samples = (
            Sample(10, 1.0, MIB, (main_root, MAIN, SLEEP), weight_us=30_000, main_thread_waiting=True),
            Sample(10, None, None, (pool_root, WORK), weight_us=30_000, other_thread=True),
            Sample(10, None, None, (idle_root, SLEEP), weight_us=30_000, main_thread_waiting=True, other_thread=True),
            Sample(20, 99.0, MIB, (main_root, MAIN, WORK), weight_us=10_000),
            Sample(20, None, None, (pool_root, WORK, INNER), weight_us=10_000, other_thread=True),
            Sample(20, None, None, (idle_root, SLEEP), weight_us=10_000, main_thread_waiting=True, other_thread=True),
            Sample(40, 1.0, MIB, (main_root, MAIN, SLEEP), weight_us=20_000, main_thread_waiting=True),
            Sample(40, None, None, (pool_root, SLEEP), weight_us=20_000, main_thread_waiting=True, other_thread=True),
        )
        profile = make_profile(samples=samples, sample_count=3)
        shares = time_shares(profile)
        by_name = {t.name: (t.time_us, t.waiting_us, t.sampled_us) for t in shares.threads}
        # The idle thread's waiting is in no share but its own: idle workers would drown the work.
        # The main thread's wait while pool-1 worked is pool-1's time; its wait while none worked is its own.
        assert by_name == {
            "MainThread": (30_000, 50_000, 60_000),
            "pool-1": (40_000, 20_000, 60_000),
            "idle": (0, 40_000, 40_000),
        }
        assert (shares.sampled_us, shares.waiting_us, shares.waiting_while_others_worked_us) == (70_000, 50_000, 30_000)
        assert time_shares(profile, idle_threads=True).sampled_us == 160_000
        assert "<thread>" not in {f.file for f in shares.functions}
        assert time_shares(profile, leave_out_waiting=True).sampled_us == 50_000
        text = render(profile, "text")
        assert "Threads" in text and re.search(r"57\.1 %  pool-1 +tid 101", text)
        assert "waiting included but for the main thread's 30 ms while other threads worked" in text
        assert sum(weight for _, weight in profile.weighted_stacks) == 70_000
        speedscope = json.loads(render(profile, "speedscope"))
        assert [p["name"].split(" / ")[0] for p in speedscope["profiles"]] == [
            "MainThread (tid 100)",
            "pool-1 (tid 101)",
        ]
        assert "idle" not in render(profile, "collapsed")
        assert render(profile, "collapsed").startswith("MainThread (tid 100);<module> (")
        assert storage.loads(render(profile, "json")) == profile
        # A document of the version before threads: every sample is the main thread's.
        document = json.loads(render(profile, "json"))
        del document["samples"]["other_thread"]
        assert not any(s.other_thread for s in storage.loads(json.dumps({**document, "version": 2})).samples)

    def test_a_parents_wait_counts_only_where_no_child_process_worked(self):
        parent, child = Frame("<process>", "app.py", 10), Frame("<process>", "worker.py", 11)
        # Children's slots need not line up with the parent's: 0-10 ms … 30-40 ms against 5-25 ms.
        samples = [
            Sample(t, 1.0, MIB, (parent, MAIN, SLEEP), weight_us=10_000, main_thread_waiting=True)
            for t in (10, 20, 30, 40)
        ]
        samples += [Sample(t, None, None, (child, WORK), weight_us=10_000, other_thread=True) for t in (15, 25)]
        shares = time_shares(make_profile(samples=sorted(samples, key=lambda s: s.timestamp_ms)))
        assert {p.name: p.time_us for p in shares.processes} == {"app.py": 20_000, "worker.py": 20_000}
        assert shares.waiting_while_others_worked_us == 20_000

    def test_methods_that_share_a_name_are_apart(self, tmp_path):
        source = tmp_path / "shapes.py"
        source.write_text("".join(f"class {name}:\n    def __init__(self):\n        pass\n" for name in "AB"))
        main = Frame(str(source), "<module>", 7)
        samples = (
            Sample(10, 1.0, MIB, (main, Frame(str(source), "__init__", 3)), weight_us=30_000),
            Sample(20, 1.0, MIB, (main, Frame(str(source), "__init__", 6)), weight_us=10_000),
        )
        shares = time_shares(make_profile(samples=samples))
        assert [(f.line, shares.percent(f.self_us)) for f in shares.functions if f.function == "__init__"] == [
            (3, 75.0),
            (6, 25.0),
        ]
        # The exports name them as the reports do.
        collapsed = render(make_profile(samples=samples), "collapsed")
        assert "A.__init__ (" in collapsed and "B.__init__ (" in collapsed
        frames = json.loads(render(make_profile(samples=samples), "speedscope"))["shared"]["frames"]
        assert {"A.__init__", "B.__init__"} <= {f["name"] for f in frames}

    def test_samples_without_a_weight_stand_for_one_interval(self):
        samples = (Sample(10, 1.0, MIB, (MAIN, WORK)), Sample(20, 1.0, MIB, (MAIN, WORK), weight_us=30_000))
        assert time_shares(make_profile(samples=samples)).sampled_us == 40_000


class TestShortPath:
    ROOTS = ("/work/app/.venv/lib/python3.12/site-packages", "/usr/lib/python3.12", "/work/app/tools")

    @pytest.mark.parametrize(
        ("file", "expected"),
        [
            ("/work/app/tools/bm.py", "tools/bm.py"),  # the script's directory is on sys.path
            ("/work/app/.venv/lib/python3.12/site-packages/docutils/nodes.py", "docutils/nodes.py"),
            ("/usr/lib/python3.12/json/decoder.py", "json/decoder.py"),
            ("/usr/lib/python3.12x/a.py", "/usr/lib/python3.12x/a.py"),
            ("/elsewhere/b.py", "/elsewhere/b.py"),
            ("<frozen runpy>", "<frozen runpy>"),
        ],
    )
    def test_paths_read_as_a_user_reads_them(self, file, expected):
        assert short_path(file, cwd="/work/app", roots=self.ROOTS) == expected


class TestQualifiedNames:
    SOURCE = (
        "class Vector:\n"
        "    def __init__(self):\n"
        "        def inner():\n"
        "            return sum(y for y in range(3))\n"
        "        self.g = inner\n"
        "def top():\n"
        "    return lambda: 1\n"
        "    @staticmethod\n"
        "    def decorated():\n"
        "        pass\n"
    )

    @pytest.mark.parametrize(
        ("function", "line", "expected"),
        [
            ("__init__", 5, "Vector.__init__"),
            ("inner", 4, "Vector.__init__.<locals>.inner"),
            ("<genexpr>", 4, "Vector.__init__.<locals>.inner.<locals>.<genexpr>"),
            ("<lambda>", 7, "top.<locals>.<lambda>"),
            ("top", 7, "top"),
            # A sample at a decorated function's entry reports its first decorator's line.
            ("decorated", 8, "top.<locals>.decorated"),
            ("<module>", 1, "<module>"),
            ("renamed", 2, "renamed"),  # the source changed since: the bare name
        ],
    )
    def test_names_as_the_interpreter_qualifies_them(self, tmp_path, function, line, expected):
        source = tmp_path / "vector.py"
        source.write_text(self.SOURCE)
        assert qualified_name(str(source), function, line) == expected

    def test_unreadable_or_broken_source_leaves_the_name_bare(self, tmp_path):
        broken = tmp_path / "broken.py"
        broken.write_text("def f(:\n")
        assert qualified_name(str(broken), "f", 1) == "f"
        assert qualified_name(str(tmp_path / "missing.py"), "f", 1) == "f"


class TestTimelineHelpers:
    def test_buckets_carry_the_last_value_across_gaps(self):
        points = [(0, 5.0), (90, 50.0)]
        assert bucket_values(points, 100, 10, max) == [5.0] * 9 + [50.0]

    def test_buckets_combine_their_points(self):
        points = [(0, 1.0), (10, 3.0), (60, 10.0), (70, 20.0)]
        assert bucket_values(points, 100, 2, lambda v: sum(v) / len(v)) == [2.0, 15.0]


class TestCollapsed:
    def test_stacks_outermost_first_with_their_time_in_microseconds(self):
        lines = render(make_profile(), "collapsed").splitlines()
        assert lines == [
            "<module> (/srv/app/main.py:30);wait (/srv/app/main.py:4) 50000",
            "<module> (/srv/app/main.py:30);work (/srv/app/main.py:12) 10000",
            "<module> (/srv/app/main.py:30);work (/srv/app/main.py:12);inner (/srv/app/lib/deep/inner.py:7) 30000",
        ]

    def test_separators_inside_names_cannot_split_a_frame(self):
        odd = Frame("dir;x/f.py", "a;b\nc", 1)
        profile = make_profile(samples=(Sample(1, 1.0, MIB, (MAIN, odd)),))
        (line,) = render(profile, "collapsed").splitlines()
        frames, time_us = line.rsplit(" ", 1)
        assert time_us == "10000"  # no weight recorded: one interval of 10 ms
        assert frames.split(";") == ["<module> (/srv/app/main.py:30)", "a,b c (dir,x/f.py:1)"]

    def test_control_characters_are_escaped(self):
        odd = Frame("/srv/\x1b[2Jf.py", "\x1b]0;pwned\x07", 1)
        profile = make_profile(samples=(Sample(1, 1.0, MIB, (MAIN, odd)),))
        assert render(profile, "collapsed").endswith(";\\x1b]0,pwned\\x07 (/srv/\\x1b[2Jf.py:1) 10000\n")


@pytest.fixture(scope="module")
def schema() -> dict:
    return json.loads(SCHEMA_PATH.read_text())


class TestSpeedscope:
    def document(self, profile: Profile) -> dict:
        return json.loads(render(profile, "speedscope"))

    def test_valid_against_the_published_schema(self, schema):
        jsonschema.validate(self.document(make_profile()), schema)
        jsonschema.validate(self.document(empty_profile()), schema)

    def test_a_real_run_is_valid_too(self, schema, saved_profile):
        document = self.document(storage.load(saved_profile))
        jsonschema.validate(document, schema)
        assert document["profiles"][0]["samples"]

    def test_samples_are_stacks_of_frame_indices_weighted_by_time(self):
        document = self.document(make_profile())
        frames = document["shared"]["frames"]
        (profile,) = document["profiles"]
        names = [[frames[i]["name"] for i in sample] for sample in profile["samples"]]
        # The sample without a stack is left out; every stack starts at the outermost frame.
        assert len(names) == 9
        assert all(stack[0] == "<module>" for stack in names)
        assert names[3] == ["<module>", "work", "inner"]
        assert profile["weights"] == [10] * 8 + [10]
        assert profile["endValue"] == sum(profile["weights"])
        assert profile["unit"] == "milliseconds"
        assert {"name": "inner", "file": INNER.file, "line": 7} in frames

    def test_a_sample_weighs_the_time_it_stands_for(self):
        # The middle capture waited out a long call: it stands for the slots it ran through.
        samples = (
            Sample(0, 1.0, MIB, (MAIN,), weight_us=10_000),
            Sample(45, 1.0, MIB, (MAIN, WORK), weight_us=40_000),
            Sample(50, 1.0, MIB, (MAIN,)),  # no weight recorded: one interval of 10 ms
        )
        (profile,) = self.document(make_profile(samples=samples))["profiles"]
        assert profile["weights"] == [10, 40, 10]


class TestHtml:
    HOSTILE = Frame('/tmp/<img src=x onerror=alert(1)>&"q".py', "</script><script>alert('x')</script>", 3)

    def hostile_profile(self) -> Profile:
        return make_profile(
            samples=(Sample(10, 50.0, MIB, (MAIN, self.HOSTILE)),) * 3,
            hot_paths=(HotPath(self.HOSTILE.file, self.HOSTILE.function, 3, 3, 100.0),),
            spike_events=(SpikeEvent("cpu", 10, 10, 50.0, 1.0, (MAIN, self.HOSTILE)),),
            metadata=metadata(argv=("<b>prog</b>.py",)),
        )

    def test_program_names_are_escaped_everywhere(self):
        page = render(self.hostile_profile(), "html")
        assert "<img" not in page and "alert('x')</script>" not in page and "<b>" not in page
        assert "&lt;/script&gt;&lt;script&gt;alert(&#x27;x&#x27;)&lt;/script&gt;" in page
        assert "&lt;b&gt;prog&lt;/b&gt;.py" in page
        # The flame data holds the raw names, with nothing that could close its script element.
        data = page.split('id="kulvo-flame-data">')[1].split("</script>")[0]
        assert "<" not in data
        assert json.loads(data)["frames"][1][0] == self.HOSTILE.function

    def test_the_page_requests_nothing_from_the_network(self):
        page = render(make_profile(), "html")
        assert "http://" not in page and "https://" not in page
        assert re.findall(r'\b(?:src|href)="([^"]*)"', page) == ["#snapshot-1"]
        assert "Content-Security-Policy" in page and "default-src 'none'" in page

    def test_charts_shade_each_spike_and_mark_each_snapshot(self):
        page = render(make_profile(), "html")
        cpu_chart = page.split('id="cpu-chart"')[1].split("</svg>")[0]
        rss_chart = page.split('id="rss-chart"')[1].split("</svg>")[0]
        assert cpu_chart.count('class="band cpu"') == 1 and "band memory" not in cpu_chart
        assert rss_chart.count('class="band memory"') == 1
        assert rss_chart.count('class="marker"') == 2  # a growth snapshot and the one at the peak
        assert cpu_chart.count("<polyline") == 1 and rss_chart.count("<polyline") == 1
        assert "50.0 MiB held at the peak" in page

    def test_functions_lead_by_self_time_with_the_full_path_on_hover(self):
        page = render(make_profile(), "html")
        assert page.index("Functions by self time") < page.index('id="cpu-chart"')
        table = page.split('<table class="functions">')[1].split("</table>")[0]
        assert re.findall(r"<code>([^<]*)</code>", table) == ["wait", "inner", "work", "&lt;module&gt;"]
        assert 'title="/srv/app/lib/deep/inner.py"' in table

    def test_the_cpu_chart_is_scaled_to_the_readings(self):
        def y_labels(profile: Profile) -> list[str]:
            chart = render(profile, "html").split('id="cpu-chart"')[1].split("</svg>")[0]
            return re.findall(r">(\d+) %</text>", chart)

        light = tuple(replace(s, cpu_percent=s.cpu_percent and s.cpu_percent / 3) for s in make_profile().samples)
        assert y_labels(make_profile()) == ["0", "50", "100"]  # peak 99 %: no room left above 100 %
        assert y_labels(make_profile(samples=light)) == ["0", "20", "40"]  # peak 33 %: 50 % at the top

    def test_the_memory_spike_links_its_snapshot(self):
        page = render(make_profile(), "html")
        assert '<a href="#snapshot-1">S1</a> at 83 ms' in page
        assert 'id="snapshot-1"' in page

    def test_flame_data_lists_parents_before_children_with_their_time(self):
        data = flame_data(flame_tree(make_profile()))
        nodes = data["nodes"]
        assert nodes[0] == [-1, -1, 90_000]  # the root: every sample with a stack
        for index, (_frame, parent, samples) in enumerate(nodes[1:], start=1):
            assert 0 <= parent < index
            children = [n for n in nodes if n[1] == index]
            assert sum(child[2] for child in children) <= samples
        labels = {(data["frames"][f][0], s) for f, _, s in nodes[1:]}
        assert labels == {("<module>", 90_000), ("wait", 50_000), ("work", 40_000), ("inner", 30_000)}
        # Siblings come largest first, so the flame graph puts the heaviest on the left.
        module = 1
        siblings = [n[2] for n in nodes if n[1] == module]
        assert siblings == sorted(siblings, reverse=True)

    def test_a_deep_stack_does_not_overflow(self):
        deep = tuple(Frame("r.py", "recurse", i) for i in range(5000))
        page = render(make_profile(samples=(Sample(1, 1.0, MIB, deep),)), "html")
        assert page.count('"recurse"') >= 1


class TestJsonFormat:
    def test_round_trip_keeps_everything(self):
        profile = make_profile()
        assert storage.loads(render(profile, "json")) == profile

    def test_frames_and_call_paths_are_stored_once(self):
        document = json.loads(render(make_profile(), "json"))
        frames, paths, samples = document["frames"], document["stacks"], document["samples"]
        # (MAIN), (MAIN, SLEEP), (MAIN, WORK), (MAIN, WORK, INNER): outer frames shared.
        assert len(frames) == 4 and len(paths["parent"]) == len(paths["frame"]) == 4
        assert all(parent is None or parent < index for index, parent in enumerate(paths["parent"]))

        def functions(path: int) -> list[str]:
            parent = paths["parent"][path]
            return (functions(parent) if parent is not None else []) + [frames[paths["frame"][path]]["function"]]

        assert functions(samples["stack"][3]) == ["<module>", "work", "inner"]
        assert samples["stack"][3] == samples["stack"][5] and samples["stack"][7] is None
        assert samples["cpu_percent"][2] is None and samples["rss_bytes"][9] is None
        assert functions(document["spike_events"][1]["peak_stack"]) == ["<module>", "wait"]

    def test_the_earlier_version_with_a_frame_list_per_sample_is_read(self):
        profile = make_profile()
        document = {**profile.to_dict(), "version": 1}
        table = FrameTable()
        document["samples"] = [
            {
                "timestamp_ms": s.timestamp_ms,
                "cpu_percent": s.cpu_percent,
                "rss_bytes": s.rss_bytes,
                "stack": None if s.stack is None else table.indices(s.stack),
                "weight_us": s.weight_us,
                "main_thread_waiting": s.main_thread_waiting,
            }
            for s in profile.samples
        ]
        for event, original in zip(document["spike_events"], profile.spike_events):
            event["peak_stack"] = table.indices(original.peak_stack)
        document["frames"] = [{"file": f.file, "function": f.function, "line": f.line} for f in table.frames]
        assert storage.loads(json.dumps(document)) == profile
        # Files of still earlier versions have neither weights nor waiting flags.
        for sample in document["samples"]:
            del sample["weight_us"], sample["main_thread_waiting"]
        older = storage.loads(json.dumps(document))
        assert [s.weight_us for s in older.samples] == [0] * 10
        assert not any(s.main_thread_waiting for s in older.samples) and older.weight_us(older.samples[0]) == 10_000

    @pytest.mark.parametrize(
        ("change", "message"),
        [
            (lambda d: d.update(version=4), "version 4 is not supported"),
            (lambda d: d["samples"]["other_thread"].__setitem__(0, 1), "other_thread is not a list"),
            (lambda d: d.update(version=True), "version True is not supported"),
            (lambda d: d.update(format="something-else"), "not a kulvo profile"),
            (lambda d: d.pop("samples"), "damaged kulvo profile"),
            (lambda d: d.pop("stacks"), "damaged kulvo profile"),
            (lambda d: d["samples"]["stack"].__setitem__(0, 4), "stack is not a list of integers from 0 to 3"),
            (lambda d: d["samples"]["stack"].__setitem__(0, True), "stack is not a list of integers"),
            (lambda d: d["samples"]["weight_us"].pop(), "different lengths"),
            (lambda d: d["samples"]["main_thread_waiting"].__setitem__(0, 0), "main_thread_waiting is not a list"),
            (lambda d: d["stacks"]["parent"].__setitem__(0, 0), "parent does not come before it"),
            (lambda d: d["stacks"]["parent"].__setitem__(1, 3), "parent does not come before it"),
            (lambda d: d["stacks"]["parent"].__setitem__(1, -1), "parent is not a list of integers"),
            (lambda d: d["stacks"]["frame"].__setitem__(1, 4), "frame is not a list of integers from 0 to 3"),
            (lambda d: d["stacks"]["frame"].append(0), "stacks has arrays of different lengths"),
            (lambda d: d["spike_events"][0].update(peak_stack=-1), "stack is not an integer"),
            (lambda d: d["spike_events"][0].update(kind="disk"), "unknown spike kind"),
            (lambda d: d["metadata"].update(interval_ms="often"), "damaged kulvo profile"),
            # A string where a list belongs would be read letter by letter.
            (lambda d: d["metadata"].update(notes="a note"), "notes is not a list"),
            (lambda d: d["metadata"].update(argv="prog.py"), "argv is not a list"),
            (lambda d: d.update(hot_paths={"file": "x"}), "hot_paths is not a list of objects"),
        ],
    )
    def test_a_damaged_or_foreign_document_is_refused(self, change, message):
        document = json.loads(render(make_profile(), "json"))
        change(document)
        with pytest.raises(storage.ProfileFormatError, match=message):
            Profile.from_dict(document)

    def test_a_damaged_frame_list_of_the_earlier_version_is_refused(self):
        document = {**json.loads(render(make_profile(), "json")), "version": 1}
        document["samples"] = [{"timestamp_ms": 1, "cpu_percent": None, "rss_bytes": None, "stack": [-1]}]
        with pytest.raises(storage.ProfileFormatError, match="bad frame index"):
            Profile.from_dict(document)

    @pytest.mark.parametrize(
        ("number", "message"),
        [
            ("1" * 5000, "integer of 5000 digits"),
            ("1" + "0" * 400, "integer of 401 digits"),
            ("9223372036854775808", "rss_bytes is not a list of integers"),
            ("-5", "rss_bytes is not a list of integers"),
            ("1e400", "cpu_percent is not a list of finite numbers"),
            ("NaN", "not a number kulvo writes"),
            ("-Infinity", "not a number kulvo writes"),
        ],
    )
    def test_numbers_kulvo_never_writes_are_refused(self, number, message):
        document = make_profile().to_dict()
        document["samples"]["rss_bytes" if number.lstrip("-").isdigit() else "cpu_percent"][0] = "NUMBER"
        text = json.dumps(document).replace('"NUMBER"', number)
        with pytest.raises(storage.ProfileFormatError, match=message):
            storage.loads(text)

    def test_deep_nesting_is_refused(self):
        with pytest.raises(storage.ProfileFormatError, match="nested too deeply"):
            storage.loads('{"format": "kulvo-profile", "frames": ' + "[" * 100_000 + "]" * 100_000 + "}")

    def test_lone_surrogates_in_names_read_as_escapes(self):
        document = make_profile().to_dict()
        document["frames"][0]["function"] = "\ud800f"
        document["metadata"]["argv"] = ["main.py", "\udcff"]
        profile = storage.loads(json.dumps(document))
        assert profile.samples[0].stack[0].function == "\\ud800f"
        assert profile.metadata.argv == ("main.py", "\\xff")
        for format in FORMATS:
            render(profile, format).encode("utf-8")

    def test_json_that_is_not_an_object_is_refused(self):
        with pytest.raises(storage.ProfileFormatError, match="not a kulvo profile"):
            storage.loads("[1, 2, 3]")


class TestSampleColumns:
    """The samples are held one list per field; what a reader gets is the Samples given."""

    def test_samples_read_back_as_given(self):
        given = make_profile().samples
        samples = tuple(Sample(s.timestamp_ms, s.cpu_percent, s.rss_bytes, s.stack, s.weight_us) for s in given)
        profile = make_profile(samples=samples)
        assert profile.samples == samples and list(profile.samples) == list(samples)
        assert profile.samples[-1] == samples[-1] and profile.samples[3].stack == (MAIN, WORK, INNER)
        assert profile.samples[2:5] == samples[2:5] and len(profile.samples[2:5]) == 3
        assert profile == make_profile(samples=list(samples)) and hash(profile) == hash(make_profile())

    def test_stack_totals_count_each_distinct_stack_once(self):
        samples = [
            Sample(i, None, None, stack, weight)
            for i, (stack, weight) in enumerate(
                [((MAIN, WORK), 5_000), ((MAIN, WORK), 0), (None, 7_000), ((MAIN,), 1_000)]
            )
        ]
        profile = make_profile(samples=samples, sample_count=4)  # interval 10 ms
        assert sorted(profile.stack_totals) == [((MAIN,), 1_000, 1), ((MAIN, WORK), 15_000, 2)]

    def test_columns_of_different_lengths_are_refused(self):
        with pytest.raises(ValueError, match="different lengths"):
            SampleColumns(
                timestamp_ms=[1, 2],
                cpu_percent=[None],
                rss_bytes=[None],
                paths=CallPaths(),
                stack_ids=[NO_PATH],
                weight_us=[0],
                main_thread_waiting=[False],
            )


class TestProfileFromCore:
    """The conversion of the core's result into the typed profile."""

    WRAPPER: ClassVar[list[dict[str, Any]]] = [
        {"file": "/venv/bin/kulvo", "function": "<module>", "line": 8},
        {"file": "/site/kulvo/target.py", "function": "_run_code", "line": 124},
    ]

    def core_result(self) -> dict:
        program = [{"file": "p.py", "function": "<module>", "line": 1}, {"file": "p.py", "function": "f", "line": 2}]
        return {
            "sample_count": 4,
            "wall_time_ms": 40,
            "samples": [
                {"timestamp_ms": 5, "cpu_percent": -1.0, "rss_bytes": 0, "stack": self.WRAPPER},
                {"timestamp_ms": 15, "cpu_percent": 50.0, "rss_bytes": MIB, "stack": self.WRAPPER + program},
                {"timestamp_ms": 25, "cpu_percent": 60.0, "rss_bytes": MIB, "stack": self.WRAPPER + program[:1]},
                {"timestamp_ms": 35, "cpu_percent": 70.0, "rss_bytes": MIB, "stack": None},
            ],
            "spike_events": [
                {
                    "kind": "cpu",
                    "start_ms": 15,
                    "end_ms": 25,
                    "peak_value": 60.0,
                    "threshold": 30.0,
                    "peak_stack": self.WRAPPER + program,
                }
            ],
            "hot_paths": [
                {**self.WRAPPER[0], "count": 3, "percent": 100.0},
                {**self.WRAPPER[1], "count": 3, "percent": 100.0},
                {**program[0], "count": 2, "percent": 66.7},
                {**program[1], "count": 1, "percent": 33.3},
            ],
        }

    def test_failed_readings_become_none(self):
        profile = profile_from_core(packed_result(self.core_result()), metadata())
        assert profile.samples[0].cpu_percent is None and profile.samples[0].rss_bytes is None
        assert profile.samples[1].cpu_percent == 50.0 and profile.samples[1].rss_bytes == MIB

    def test_the_wrappers_frames_are_cut_from_stacks_and_hot_paths(self):
        root = StackRoot("/site/kulvo/target.py", "_run_code")
        profile = profile_from_core(packed_result(self.core_result()), metadata(), root=root, top_n=1)
        assert profile.samples[0].stack is None  # only the wrapper was running
        assert [f.function for f in profile.samples[1].stack] == ["<module>", "f"]
        assert [f.function for f in profile.spike_events[0].peak_stack] == ["<module>", "f"]
        # Shares are restated over the two samples that still have a stack, then cut to top_n.
        assert [(h.function, h.percent) for h in profile.hot_paths] == [("<module>", 100.0)]

    def test_a_kept_root_stays_as_the_outermost_frame(self):
        root = StackRoot("/site/kulvo/target.py", "_run_code", keep=True)
        profile = profile_from_core(packed_result(self.core_result()), metadata(), root=root)
        assert [f.function for f in profile.samples[0].stack] == ["_run_code"]
        assert [f.function for f in profile.samples[1].stack] == ["_run_code", "<module>", "f"]
        assert [h.function for h in profile.hot_paths] == ["_run_code", "<module>", "f"]
        assert profile.hot_paths[0].percent == pytest.approx(100.0)
        assert profile.hot_paths[2].percent == pytest.approx(100 / 3)

    def test_kulvos_own_frames_and_busy_samples_are_left_out(self):
        api = "/site/kulvo/api.py"
        own = ProfilerFrames(files=frozenset({api}), busy=frozenset({(api, "stop")}))
        result = self.core_result()
        wrapper_call = {"file": api, "function": "profiled_call", "line": 9}
        program = result["samples"][1]["stack"][2:]
        result["samples"].append(
            {"timestamp_ms": 45, "cpu_percent": 5.0, "rss_bytes": MIB, "stack": program + [wrapper_call] + program}
        )
        result["samples"].append(
            {
                "timestamp_ms": 55,
                "cpu_percent": 5.0,
                "rss_bytes": MIB,
                "stack": self.WRAPPER + [{**wrapper_call, "function": "stop"}],
            }
        )
        profile = profile_from_core(
            packed_result(result), metadata(), root=StackRoot("p.py", "f", occurrence=1), own=own
        )
        # The stop sample is gone; the nested wrapper frame is cut and the first f is the root.
        assert [s.timestamp_ms for s in profile.samples] == [5, 15, 25, 35, 45] and profile.sample_count == 5
        assert [f.function for f in profile.samples[4].stack] == ["<module>", "f"]
        assert api not in {h.file for h in profile.hot_paths}
        second = profile_from_core(
            packed_result(result), metadata(), root=StackRoot("p.py", "f", occurrence=2), own=own
        )
        assert [s.stack for s in second.samples] == [None] * 5

    def test_kulvos_own_memory_is_reported_beside_the_peak_rss(self):
        profile = profile_from_core(packed_result(self.core_result()), metadata())
        assert profile.metadata.kulvo_bytes == 4096
        assert "4.0 KiB is kulvo's own" in render(profile, "text")
        assert storage.loads(storage.dumps(profile)).metadata.kulvo_bytes == 4096

    @pytest.mark.parametrize(
        "root",
        [
            None,
            StackRoot("run.py", "enter"),
            StackRoot("run.py", "enter", keep=True),
            StackRoot("run.py", "enter", occurrence=2),
            StackRoot("run.py", "enter", keep=True, occurrence=2),
        ],
    )
    def test_stacks_and_hot_paths_agree_with_cutting_each_stack_whole(self, root):
        """The conversion cuts the core's call tree node by node and ranks lines on it; the
        oracle cuts every sampled stack on its own and counts each line once per sample."""
        own = ProfilerFrames(files=frozenset({"kulvo.py"}), busy=frozenset({("kulvo.py", "stop")}))
        names = [("run.py", "enter"), ("app.py", "f"), ("app.py", "g"), ("kulvo.py", "wrap"), ("kulvo.py", "stop")]
        rng = random.Random(7)
        samples = []
        for t in range(400):
            picks = [rng.choice(names) for _ in range(rng.randrange(9))]
            stack = [{"file": file, "function": function, "line": rng.randrange(1, 3)} for file, function in picks]
            weight_us = rng.choice([0, 500, 2_000])
            samples.append(
                {"timestamp_ms": t, "cpu_percent": 1.0, "rss_bytes": 1, "stack": stack, "weight_us": weight_us}
            )
        result = {"sample_count": 400, "wall_time_ms": 400, "samples": samples, "spike_events": [], "hot_paths": []}
        profile = profile_from_core(packed_result(result), metadata(), root=root, own=own, top_n=1000)

        def cut(raw: list[dict] | None) -> tuple[tuple[Frame, ...] | None, bool]:
            stack = tuple(Frame(f["file"], f["function"], f["line"]) for f in raw or ())
            if not stack or root is None:
                return stack or None, False
            found = [i for i, f in enumerate(stack) if (f.file, f.function) == (root.file, root.function)]
            index = found[root.occurrence - 1] if len(found) >= root.occurrence else None
            inside = stack if index is None else stack[index if root.keep else index + 1 :]
            busy = any((f.file, f.function) in own.busy for f in inside)
            if index is None:
                return None, busy or stack[-1].file in own.files
            return tuple(f for f in inside if f.file not in own.files) or None, busy

        kept = [(cut(s["stack"])[0], s["weight_us"] or 10_000) for s in samples if not cut(s["stack"])[1]]
        assert [s.stack for s in profile.samples] == [stack for stack, _ in kept]
        times: Counter[Frame] = Counter()
        counts: Counter[Frame] = Counter()
        for stack, weight_us in kept:
            for frame in set(stack or ()):
                times[frame] += weight_us
                counts[frame] += 1
        total = sum(weight_us for stack, weight_us in kept if stack)
        expected = sorted(times, key=lambda f: (-times[f], f.file, f.function, f.line))
        assert [(h.frame, h.count) for h in profile.hot_paths] == [(f, counts[f]) for f in expected]
        assert [h.percent for h in profile.hot_paths] == pytest.approx([100 * times[f] / total for f in expected])
        assert storage.loads(storage.dumps(profile)) == profile

    def test_without_a_root_stacks_are_kept_whole(self):
        profile = profile_from_core(packed_result(self.core_result()), metadata())
        assert len(profile.samples[1].stack) == 4
        assert len(profile.hot_paths) == 4


class TestNearestSnapshot:
    def snapshot(self, time_ms: int) -> MemorySnapshot:
        return MemorySnapshot(time_ms, 0, ())

    @pytest.mark.parametrize(
        ("times", "expected"),
        [
            ((10, 150, 400), 150),  # inside the spike
            ((10, 95, 260), 95),  # 5 ms before beats 60 ms after
            ((40, 220), 220),  # 20 ms after beats 60 ms before
            ((90, 210), 90),  # a tie goes to the earlier one
        ],
    )
    def test_picks_the_closest_in_time(self, times, expected):
        profile = make_profile(memory_snapshots=tuple(self.snapshot(t) for t in times))
        event = SpikeEvent("memory", 100, 200, 1.0, 0.0, None)
        assert profile.nearest_snapshot(event).time_ms == expected

    def test_inside_the_spike_the_snapshot_at_the_peak_wins(self):
        peak = MemorySnapshot(180, 0, (), at_peak=True)
        profile = make_profile(memory_snapshots=(self.snapshot(120), peak, self.snapshot(190)))
        assert profile.nearest_snapshot(SpikeEvent("memory", 100, 200, 1.0, 0.0, None)) is peak
        assert profile.nearest_snapshot(SpikeEvent("memory", 300, 400, 1.0, 0.0, None)).time_ms == 190

    def test_none_without_snapshots(self):
        profile = make_profile(memory_snapshots=())
        assert profile.nearest_snapshot(profile.spike_events[1]) is None
