#!/usr/bin/env python3
"""The chaos judge flags each hand-spoilt run with its rule, and passes the run as it was.

chaosrun/ is one serial run kept whole (log, report and history lines, exit status, the
controller's own account); each row spoils one thing in a copy of it, as a fault in the tool would.
"""

import json
import os
import shutil
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
from chaoscampaign import judge, runfolder  # noqa: E402

RECORDS = ("report.jsonl", "history.jsonl")
T_COMPLETED = 1796810482507371

# (rule, [(file or files, text, replacement)]): replacement None deletes the file; an empty text
# and replacement write the file twice over.
ROWS = [
    ("log-text", [("log", "Sensors disabled. Setting to Power Save Mode.\n", "")]),
    ("channel-order", [(RECORDS, '"channelCount":3', '"channelCount":2')]),
    ("channel-order", [(RECORDS, '{"channel":1,', '{"channel":2,')]),
    ("record-host", [(RECORDS, '"host":"lab-pc"', '"host":""')]),
    ("channel-seconds", [(RECORDS, '"seconds":0.131906236', '"seconds":131.906236')]),
    ("channel-seconds", [(RECORDS, '"seconds":0.131906236', '"seconds":0.031906236')]),
    ("record-times", [(RECORDS, '"started":"2026-12-09T10:01:20', '"started":"2026-12-09T09:01:20')]),
    ("record-times", [(RECORDS, '"finished":"2026-12-09T10:01:22.623Z', '"finished":"2026-12-09T10:01:22.400Z')]),
    ("record-tool", [(RECORDS, '"version":"1.0.0"', '"version":""')]),
    ("record-source", [("history.jsonl", '"source":"command-line"', '"source":"window"')]),
    ("record-once", [("history.jsonl", "", "")]),
    ("history-missing", [("history.jsonl", "", None)]),
    ("torn-line", [("report.jsonl", "}}\n", "}}")]),
    ("exit-status", [("outcome.json", '"status": 1', '"status": 0')]),
    ("summary-count", [("log", "with 1 errors", "with 2 errors")]),
    ("report-vs-log", [(RECORDS, '"code":129,"result":"no-sensor"', '"code":129,"result":"failed"')]),
    ("truth-opened", [("truth-0.jsonl", '"event":"handshake"', '"event":"nothing"')]),
    ("truth-calibrated", [("truth-0.jsonl", '"event":"completed"', '"event":"stopped"')]),
    ("wrong-channel", [("plan.json", '"fail-calibrate@2=17"', '"fail-calibrate@2=17", "wrongchannel=CS"')]),
    # Silent for 2 s in channel 0's wait, a fifth of the limit, and given up: stopped, not done.
    ("silence-waited", [
        ("plan.json", '"waited_silence": false', '"waited_silence": true'),
        ("plan.json", '"fail-calibrate@2=17"', '"fail-calibrate@2=17", "silentafter=8", "silentfor=2000"'),
        ("truth-0.jsonl", '"event":"completed","pid":4806,"t":%d}' % T_COMPLETED,
         '"event":"stopped","pid":4806,"t":%d}\n{"controller":"/dev/pts/9","event":"muted","t":%d}\n'
         '{"controller":"/dev/pts/9","event":"answers-again","t":%d}' % (T_COMPLETED, T_COMPLETED - 2200000,
                                                                         T_COMPLETED - 200000))]),
]


def spoilt_copy(folder, edits):
    for names, text, replacement in edits:
        for name in (names if isinstance(names, tuple) else (names,)):
            path = os.path.join(folder, name)
            if replacement is None:
                os.remove(path)
                continue
            with open(path) as f:
                content = f.read()
            if text not in content:
                raise AssertionError("%s holds no %r" % (name, text))
            with open(path, "w") as f:
                f.write(content.replace(text, replacement, 1) if text else content * 2)


def rules_flagged(folder):
    plan, result = runfolder.load(folder)
    return [v.split(":", 1)[0] for v in judge.Judge(plan, result)()], plan, result


class ChaosJudgeTest(unittest.TestCase):
    def setUp(self):
        self.folder = os.path.join(tempfile.mkdtemp(prefix="tst_chaosjudge-"), "run")
        shutil.copytree(os.path.join(HERE, "chaosrun"), self.folder)
        self.addCleanup(shutil.rmtree, os.path.dirname(self.folder))

    def test_the_run_as_it_was_passes(self):
        self.assertEqual(rules_flagged(self.folder)[0], [])

    def test_each_spoilt_run_is_flagged_with_its_rule(self):
        for number, (rule, edits) in enumerate(ROWS):
            with self.subTest(row=number, rule=rule):
                folder = "%s-%d" % (self.folder, number)
                shutil.copytree(self.folder, folder)
                spoilt_copy(folder, edits)
                self.assertIn(rule, rules_flagged(folder)[0])

    def test_a_kept_run_reads_back_as_it_was_written(self):
        _, plan, result = rules_flagged(self.folder)
        again = self.folder + "-again"
        runfolder.save(again, plan, result)
        self.assertEqual(runfolder.load(again)[1], result)
        with open(os.path.join(again, "plan.json")) as f:
            self.assertEqual(json.load(f)["controllers"][0]["items"][-1], "fail-calibrate@2=17")


if __name__ == "__main__":
    unittest.main()
