"""Reads a JUnit XML report (GoogleTest's or pytest's) and prints one line of counts; with a
second argument, writes there one line per skip reason with its count and a test it covers."""
import collections
import sys
import xml.etree.ElementTree as ElementTree


def main(report, skips_path=None):
    passed = failed = 0
    skipped = collections.OrderedDict()  # reason -> [count, first test]
    for case in ElementTree.parse(report).iter("testcase"):
        name = f"{case.get('classname')}.{case.get('name')}"
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif case.find("skipped") is not None or case.get("result") == "skipped":
            element = case.find("skipped")
            message = "" if element is None else element.get("message", "")
            # GoogleTest puts the file and line first, pytest the reason alone.
            reason = message.strip().splitlines()[-1] if message.strip() else "no reason given"
            entry = skipped.setdefault(reason, [0, name])
            entry[0] += 1
        elif case.get("status") != "notrun":
            passed += 1
    counts = [f"{passed} passed"]
    if skipped:
        counts.append(f"{sum(count for count, _ in skipped.values())} skipped")
    if failed:
        counts.append(f"{failed} failed")
    print(", ".join(counts))
    if skips_path:
        with open(skips_path, "w") as out:
            for reason, (count, name) in skipped.items():
                more = f" and {count - 1} more" if count > 1 else ""
                out.write(f"{count} x {reason} ({name}{more})\n")


if __name__ == "__main__":
    main(*sys.argv[1:])
