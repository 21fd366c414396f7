"""Ctrl-C during a long fit: KeyboardInterrupt within half a second, then the same process fits
again with the bits of an uninterrupted fit; and progress only where it is asked for."""
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

import talven

REPOSITORY = Path(__file__).resolve().parents[2]
STUDY = REPOSITORY / "examples" / "smart_study.csv"

CHILD = textwrap.dedent("""
    import sys, time
    import pandas as pd
    import talven
    study = pd.read_csv(sys.argv[1], float_precision="round_trip")
    model = dict(response="y", stg1trt="a1", tailor1="o11", stg2trt="a2", tailor2="o21",
                 main1="age", main2=["age", "sidefx"], stg2sample="stage2", intervals=True,
                 seed=2018, nbootstrap1=200, nbootstrap2=200, progress=False)
    before = talven.fit(study, **model).coef
    print("fitting", flush=True)
    try:
        talven.fit(study, **dict(model, nbootstrap1=2000000, seed=7))
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
    after = talven.fit(study, **model).coef
    print("again", before.equals(after), flush=True)
""")


def default_signals() -> None:
    # The test runner may have started this process with SIGINT ignored or blocked.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT, signal.SIGTERM})


def test_ctrl_c_stops_a_fit_within_half_a_second_and_the_process_fits_again():
    environment = dict(os.environ, PYTHONPATH=str(Path(talven.__file__).resolve().parents[1]))
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(STUDY)], stdout=subprocess.PIPE,
                             text=True, env=environment, preexec_fn=default_signals)
    try:
        assert child.stdout.readline().strip() == "fitting"
        time.sleep(1.0)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        words = child.stdout.readline().split()
        assert words and words[0] == "interrupted", words
        seconds = float(words[1]) - sent
        print(f"KeyboardInterrupt {seconds:.3f} s after SIGINT")
        assert seconds < 1.0
        assert child.stdout.readline().split() == ["again", "True"]
        assert child.wait(timeout=60) == 0
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()


@pytest.mark.parametrize("progress, shown", [(None, False), (False, False), (True, True)])
def test_progress_is_shown_only_when_asked_for_or_interactive(monkeypatch, capsys, progress, shown):
    import pandas as pd
    from talven import _interrupt
    monkeypatch.setattr(_interrupt, "PROGRESS_AFTER", 0.0)
    study = pd.read_csv(STUDY, float_precision="round_trip")
    talven.fit(study, response="y", stg1trt="a1", tailor1="o11", stg2trt="a2", tailor2="o21",
               main1="age", stg2sample="stage2", intervals=True, seed=3, nbootstrap1=3000,
               nbootstrap2=100, progress=progress)
    err = capsys.readouterr().err
    assert ("Bootstrap" in err) == shown, err
