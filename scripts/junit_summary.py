"""The test command's counts and skip reasons, from the JUnit XML reports of GoogleTest and pytest.

junit_summary.py REPORT SKIPS: prints one line of counts for REPORT and writes its skipped tests
to SKIPS, one line per reason (count, reason, one of the tests).
junit_summary.py --skipped SKIPS...: prints each reason once, with its count, the stages (the
SKIPS files' names) that skipped for it and one of the tests.
"""
import collections
import os
import sys
import xml.etree.ElementTree as ElementTree


def summarize(report, skips_path):
    passed = failed = 0
    skipped = {}  # reason -> [count, first test]
    for case in ElementTree.parse(report).iter("testcase"):
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif case.find("skipped") is not None or case.get("result") == "skipped":
            element = case.find("skipped")
            message = "" if element is None else element.get("message", "").strip()
            # GoogleTest puts the file and line first, pytest the reason alone.
            reason = message.splitlines()[-1] if message else "no reason given"
            entry = skipped.setdefault(reason, [0, f"{case.get('classname')}.{case.get('name')}"])
            entry[0] += 1
        elif case.get("status") != "notrun":
            passed += 1
    counts = [f"{passed} passed"]
    if skipped:
        counts.append(f"{sum(count for count, _ in skipped.values())} skipped")
    if failed:
        counts.append(f"{failed} failed")
    print(", ".join(counts))
    with open(skips_path, "w") as out:
        for reason, (count, test) in skipped.items():
            out.write(f"{count}\t{reason}\t{test}\n")


def report_skipped(skips_paths):
    reasons = collections.OrderedDict()  # reason -> [count, stages, first test]
    for path in skips_paths:
        stage = os.path.basename(path).rsplit(".", 1)[0]
        with open(path) as skips:
            for line in skips:
                count, reason, test = line.rstrip("\n").split("\t")
                entry = reasons.setdefault(reason, [0, [], test])
                entry[0] += int(count)
                entry[1].append(stage)
    for reason, (count, stages, test) in reasons.items():
        print(f"  {count} x {reason} ({', '.join(stages)}; e.g. {test})")


if __name__ == "__main__":
    if sys.argv[1] == "--skipped":
        report_skipped(sys.argv[2:])
    else:
        summarize(*sys.argv[1:])
