"""The examples in the package's docstrings run on the shipped study and show what they say."""
import doctest
from pathlib import Path

import pytest

import talven
from talven import _fit, _options

REPOSITORY = Path(__file__).resolve().parents[2]


@pytest.mark.parametrize("module", [talven, _fit, _options], ids=lambda m: m.__name__)
def test_docstring_examples_run_on_the_shipped_study(module, monkeypatch):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot  # pylint: disable=import-outside-toplevel
    monkeypatch.chdir(REPOSITORY)  # the examples read examples/smart_study.csv
    # The methods' examples use the study and fit of TalvenResult's own example.
    shared = {}
    for test in doctest.DocTestFinder().find(_fit.TalvenResult, "TalvenResult"):
        if test.name == "TalvenResult":
            exec(compile("\n".join(e.source for e in test.examples), "example", "exec"), shared)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    tests = [t for t in doctest.DocTestFinder().find(module, module.__name__, extraglobs=shared)
             if t.examples]
    assert tests, f"{module.__name__} has no examples"
    for test in tests:
        runner.run(test)
    matplotlib.pyplot.close("all")
    assert runner.failures == 0, f"{runner.failures} docstring examples of {module.__name__} failed"
