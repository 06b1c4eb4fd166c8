"""What the random-sequence checkers (checker.py, host_checker.py) share: running a case in a fresh
sandbox, shrinking a failing one by dropping runs of items, printing it as a regression case, and the
command line that runs seeded sequences until one fails.

A checker brings its own run_sequence(sandbox, case), which returns (steps run, compare points) or
raises its mismatch class with .step (the failing step's index) and .compares set, and its own
generate(seed, steps), which must give the same case for the same seed every time.
"""

import argparse
import json
import random
import signal
import sys
import time

from sandbox import Sandbox


def run_case(run_sequence, mismatch, case):
    """Runs the case in a fresh sandbox: (steps run, compare points, None) when it passes, else
    (steps run, compare points, (failing step index, message))."""
    box = Sandbox().enter()
    try:
        n, c = run_sequence(box, case)
        return n, c, None
    except mismatch as e:
        return e.step + 1, e.compares, (e.step, str(e))
    finally:
        box.leave()


def attempt(run_sequence, mismatch, case):
    """None when the case passes, else (failing step index, message)."""
    return run_case(run_sequence, mismatch, case)[2]


def drop_chunks(items, still_fails, deadline):
    """The shortest list found by dropping runs of items (halves first, then smaller) while
    still_fails(list) holds. still_fails may return a list instead of True: the search goes on from
    that one (the trial cut after its failing step, say)."""
    chunk = max(1, len(items) // 2)
    while chunk >= 1 and time.monotonic() < deadline:
        i, progressed = 0, False
        while i < len(items) and time.monotonic() < deadline:
            trial = items[:i] + items[i + chunk:]
            kept = still_fails(trial) if trial else None
            if kept:
                items, progressed = trial if kept is True else kept, True
            else:
                i += chunk
        if not progressed:
            chunk //= 2
    return items


def format_regression(case, message, keys, template, indent=""):
    """The case as a regression case to paste: `template` with {comment} (the message's first 12 lines
    as comments, each after `indent`), {seed} and {body} (the repr of the case's `keys` in JSON)."""
    comment = "\n".join(indent + "# " + line for line in message.splitlines()[:12])
    body = json.dumps({k: case[k] for k in keys})
    return template.format(comment=comment, seed=case["seed"], body=repr(body))


def main(doc, *, name, script, default_steps, default_shrink_time, generator, run_sequence, mismatch, shrink,
         regression, coverage, counted_by, describe=lambda case: "", failed_at="after", case_for=None):
    """The checker's command line. generator() is called once, after the first line, and gives
    generate(seed, steps); shrink(case, failing step, budget) gives the shrunk case; regression(case,
    message) its text; describe(case) what the passing line says of it before the step count;
    coverage holds what the runs counted in the log of `counted_by`. Returns the exit status."""
    ap = argparse.ArgumentParser(description=doc.splitlines()[0])
    ap.add_argument("--seed", type=int, default=None, help="first seed (default: random)")
    ap.add_argument("--steps", type=int, default=default_steps, help="steps per sequence")
    ap.add_argument("--sequences", type=int, default=None, help="number of sequences")
    ap.add_argument("--time", type=float, default=None, help="run sequences for this many seconds")
    ap.add_argument("--shrink-time", type=float, default=default_shrink_time, help="seconds allowed for shrinking")
    a = ap.parse_args()
    # A stop request unwinds through the sandboxes' teardown, which ends every process they hold.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    seed = a.seed if a.seed is not None else random.randrange(1 << 31)
    if a.sequences is None and a.time is None:
        a.sequences = 1
    print(f"{name}: first seed {seed}, {a.steps} steps per sequence", flush=True)
    generate = generator()
    start = time.monotonic()
    sequences = steps = compares = 0
    while ((a.sequences is None or sequences < a.sequences) and
           (a.time is None or time.monotonic() - start < a.time)):
        case = generate(seed, a.steps)
        n, c, failure = run_case(run_sequence, mismatch, case)
        sequences += 1
        steps += n
        compares += c
        if not failure:
            print(f"{name}: seed {seed}: {describe(case)}{n} steps, {c} compare points, agreed", flush=True)
        else:
            print(f"{name}: seed {seed}: mismatch {failed_at} step {failure[0]}: {case['steps'][failure[0]]}\n"
                  f"{failure[1]}", flush=True)
            small = shrink(case, failure[0], a.shrink_time)
            again = attempt(run_sequence, mismatch, small)
            print(f"\n{name}: shrunk to {len(small['steps'])} steps; reproduce with "
                  f"{script} --seed {seed} --steps {a.steps}" + (f"; the case for {case_for}:" if case_for else "")
                  + "\n")
            print(regression(small, again[1] if again else failure[1]))
            print(f"{name}: {sequences} sequences, {steps} steps, {compares} compare points, 1 mismatches")
            return 1
        seed += 1
    print(f"{name}: {counted_by} counted " + ", ".join(f"{k} {v}" for k, v in coverage.items()))
    print(f"{name}: {sequences} sequences, {steps} steps, {compares} compare points, 0 mismatches")
    return 0
