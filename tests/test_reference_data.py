"""What the tests do without the published reference tables: skip
normally, fail under CI (the CI variable set and non-empty)."""
import math

import pytest

import rebuild


@pytest.mark.parametrize("ci, outcome", [("1", pytest.fail.Exception), ("", pytest.skip.Exception),
                                         (None, pytest.skip.Exception)])
def test_missing_tables_fail_only_under_ci(monkeypatch, tmp_path, ci, outcome):
    monkeypatch.setattr(rebuild, "REFERENCE_DIRS", ["", str(tmp_path)])
    if ci is None:
        monkeypatch.delenv("CI", raising=False)
    else:
        monkeypatch.setenv("CI", ci)
    with pytest.raises(outcome, match="cs-obv.csv"):
        rebuild.reference_rows("cs-obv.csv")
    (tmp_path / "cs-obv.csv").write_text("Close,OBV\n1.5,\n")
    close, obv = rebuild.reference_columns("cs-obv.csv", "Close", "OBV")
    assert close == [1.5] and math.isnan(obv[0])
