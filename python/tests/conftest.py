"""What the tests share."""

import pytest


@pytest.fixture
def private_tmpdir(tmp_path, monkeypatch):
    """Every test's temporary files go to a folder of its own, which must be empty afterwards."""
    folder = tmp_path / "tmp"
    folder.mkdir()
    monkeypatch.setenv("TMPDIR", str(folder))
    yield
    assert list(folder.iterdir()) == []
