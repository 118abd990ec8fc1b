"""Every indicator of every family, rebuilt from the module's primitives and
compared bit for bit, and on empty input."""
import pytest

import tarvex
from rebuild import DATASETS, check_empty, check_rebuilt
from test_indicators_channels import CASES as CHANNELS
from test_indicators_oscillators import CASES as OSCILLATORS
from test_indicators_trend import CASES as TREND
from test_indicators_volume import CASES as VOLUME

CASES = {**TREND, **OSCILLATORS, **CHANNELS, **VOLUME}


def test_every_indicator_has_a_case():
    families = {"trend", "oscillators", "channels", "volume"}
    assert set(CASES) == {r.name for r in tarvex.catalog("function") if r.core and r.family in families}


@pytest.mark.parametrize("data", DATASETS)
@pytest.mark.parametrize("name", CASES)
def test_rebuilt_from_primitives(name, data):
    check_rebuilt(CASES[name], data)


@pytest.mark.parametrize("name", CASES)
def test_empty_input(name):
    check_empty(CASES[name])
