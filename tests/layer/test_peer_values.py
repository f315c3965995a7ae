"""The core conventions against numbers stored from the peers (tests/layer/peer_values.py
made them): these run where no peer is installed, and fail if kestrel's defaults drift."""
import json

import numpy as np
import pytest

import kestrel
from peer_values import CASES, STORE, data

STORED = json.loads(STORE.read_text())["cases"]


@pytest.fixture(scope="module")
def df():
    return data()


@pytest.mark.parametrize("name,fml,vcov,kw,peer", CASES, ids=[c[0] for c in CASES])
def test_defaults_reproduce_the_stored_peer_numbers(df, name, fml, vcov, kw, peer):
    # statsmodels applies no factor to HC3; kestrel's default is N/(N-K) (documented)
    ssc = kestrel.ssc(k_adj=False) if vcov == "HC3" else None
    fit = kestrel.feols(fml, df, vcov, vcov_kwargs=kw, fixef_tol=1e-13, ssc=ssc)
    ref = STORED[name]
    assert set(ref["coef"]) == set(fit.coef().index), peer
    for key in ref["coef"]:
        np.testing.assert_allclose(fit.coef()[key], ref["coef"][key], rtol=1e-8, atol=1e-12)
        np.testing.assert_allclose(fit.se()[key], ref["se"][key], rtol=1e-6)
