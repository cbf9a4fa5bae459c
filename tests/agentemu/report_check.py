"""Checks agentemu's --report page and its progress line against real runs.

usage: report_check.py report AGENTEMU DIR PROVIDER [ARGS...]
       report_check.py progress AGENTEMU PROVIDER [ARGS...]
"""
import json
import math
import os
import pty
import subprocess
import sys
import xml.etree.ElementTree as ET

SVG = "{http://www.w3.org/2000/svg}"


def nearest_rank(values, fraction):
    ordered = sorted(values)
    return ordered[max(math.ceil(fraction * len(ordered)), 1) - 1]


def check_report(agentemu, folder, provider):
    page = os.path.join(folder, "report.html")
    run = subprocess.run([agentemu, "--json", "--report", page, "--load", "100", "--duration", "1",
                          "--budget-ms", "Echo=0", *provider], stdout=subprocess.PIPE, check=False)
    lines = [json.loads(line) for line in run.stdout.decode().splitlines()]
    summary = lines[-1]
    groups = summary["latency"]["groups"]
    assert len(groups) == 2, groups
    root = ET.parse(page).getroot()  # well-formed, every tag closed
    assert not root.findall(".//script") and not [e for e in root.iter() if "src" in e.attrib or "href" in e.attrib]
    errors = 0
    for name, stats in groups.items():
        plots = [s for s in root.iter(SVG + "svg") if s.get("data-group") == name]
        latency = [s for s in plots if s.get("class") == "latency"]
        histogram = [s for s in plots if s.get("class") == "histogram"]
        assert len(latency) == 1 and len(histogram) == 1, (name, len(latency), len(histogram))
        points = latency[0].findall(SVG + "circle")
        values = [float(p.get("data-ms")) for p in points]
        assert len(values) == stats["count"], (name, len(values), stats)
        for key, fraction in (("p50", 0.5), ("p90", 0.9), ("p99", 0.99), ("max", 1.0)):
            assert nearest_rank(values, fraction) == stats[key + "Ms"], (name, key, stats)
            assert float(histogram[0].get("data-%s-ms" % key)) == stats[key + "Ms"], (name, key)
        errors += sum(p.get("class") == "err" for p in points)
        late = sum(p.get("class") == "late" for p in points)
        assert late == (stats["count"] if name == "Echo" else 0), (name, late)
    assert errors == summary["answers"]["error"] > 0, (errors, summary["answers"])
    rows = root.findall(".//table[@class='violations']/tr")
    assert len(rows) - 1 == summary["violations"] == groups["Echo"]["count"], (len(rows), summary["violations"])


def check_progress(agentemu, provider):
    command = [agentemu, "--json", "--load", "100", "--duration", "1", *provider]
    # Standard error a terminal: the line is drawn in place, then cleared.
    controller, terminal = pty.openpty()
    run = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=terminal)
    os.close(terminal)
    shown = b""
    while True:
        try:
            chunk = os.read(controller, 4096)
        except OSError:
            break
        if not chunk:
            break
        shown += chunk
    stdout = run.communicate()[0]
    assert shown.count(b"\rload ") >= 3 and b"answered " in shown and b" p99 " in shown, shown
    assert shown.endswith(b"\r\033[K"), shown[-40:]
    assert b"\r" not in stdout and json.loads(stdout.splitlines()[-1])["ok"], stdout[-200:]
    # Standard error a file: nothing is drawn.
    quiet = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
    assert b"load " not in quiet.stderr and b"\r" not in quiet.stderr, quiet.stderr
    assert json.loads(quiet.stdout.splitlines()[-1])["ok"]


if __name__ == "__main__":
    if sys.argv[1] == "report":
        check_report(sys.argv[2], sys.argv[3], sys.argv[4:])
    else:
        check_progress(sys.argv[2], sys.argv[3:])
