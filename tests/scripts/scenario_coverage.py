#!/usr/bin/env python3
"""Every status message, dialog text and key of the disk list, the partition
screen and the command dialogs must have been reached by some scenario.

The other scenario files save what their runs showed in the build tree
(scenario-texts/ beside korvane-sim). A record that is missing, or older than
korvane-sim, its scenario file or the driver, is made anew here by running
that scenario file; then the union of the records must hold every text of
sim_driver.TEXTS and every key of sim_driver.KEYS.

usage: scenario_coverage.py PATH/TO/korvane-sim
"""

import glob
import json
import os
import subprocess
import sys

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import peers
import sim_driver as sd


def scenario_files():
    """The scenario files that drive the program through sim_driver."""
    out = []
    for path in sorted(glob.glob(os.path.join(HERE, "scenario_*.py"))):
        if os.path.abspath(path) == os.path.abspath(__file__):
            continue
        with open(path) as f:
            if "sd.Session(" in f.read():
                out.append(path)
    return out


def load_record(sim, path):
    record_path = os.path.join(sd.coverage_dir(sim),
                               os.path.splitext(os.path.basename(path))[0] + ".json")
    try:
        with open(record_path) as f:
            record = json.load(f)
    except (OSError, ValueError):
        return None
    if record.get("fingerprint") != sd.fingerprint(sim, path):
        return None
    return record


def main():
    if len(sys.argv) != 2:
        print("usage: scenario_coverage.py PATH/TO/korvane-sim", file=sys.stderr)
        return 2
    missing = peers.missing_tools()
    if missing:
        print(f"skipped: {', '.join(missing)} not installed")
        return sd.SKIP
    sim = os.path.abspath(sys.argv[1])
    texts, keys = set(), set()
    problems = []
    files = scenario_files()
    if not files:
        problems.append("no scenario files found")
    for path in files:
        record = load_record(sim, path)
        if record is None:
            print(f"running {os.path.basename(path)}")
            done = subprocess.run([sys.executable, path, sim], capture_output=True, text=True,
                                  timeout=600, env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
            if done.returncode not in (0, 1):
                problems.append(f"{os.path.basename(path)} ended with status {done.returncode}: "
                                f"{done.stderr.strip()[-2000:]}")
            record = load_record(sim, path)
        if record is None:
            problems.append(f"{os.path.basename(path)} saved no record of its texts")
            continue
        texts.update(record["texts"])
        keys.update(record["keys"])

    missing = [entry for entry in sd.TEXTS if sd.text_id(entry) not in texts]
    for text, how in missing:
        problems.append(f"never shown: {text!r}" + (" (pattern)" if how == "re" else ""))
    for key in sd.KEYS:
        if key not in keys:
            problems.append(f"never pressed: {key!r}")
    shown = len(sd.TEXTS) - len(missing)
    print(f"{shown} of {len(sd.TEXTS)} texts shown, "
          f"{len([k for k in sd.KEYS if k in keys])} of {len(sd.KEYS)} keys pressed")
    for text, reason in sorted(sd.UNREACHABLE.items()):
        print(f"not required: {text!r} ({reason})")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
