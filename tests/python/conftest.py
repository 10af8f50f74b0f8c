"""Shared data and helpers for the Python tests."""

import contextlib
import json
import pathlib
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

DATA = pathlib.Path(__file__).resolve().parents[2] / "data"


@pytest.fixture(scope="session")
def trpcage():
    return json.loads((DATA / "1l2y_ca.json").read_text())


@pytest.fixture(scope="session")
def mj_energies():
    return json.loads((DATA / "mj1996_contact_energies.json").read_text())


def kabsch_rmsd(reference, mobile):
    """Independent RMSD after optimal proper superposition (numpy SVD)."""
    a = np.asarray(reference, dtype=float)
    b = np.asarray(mobile, dtype=float)
    a = a - a.mean(axis=0)
    b = b - b.mean(axis=0)
    u, _, vt = np.linalg.svd(a.T @ b)
    d = np.sign(np.linalg.det(u) * np.linalg.det(vt)) or 1.0
    rotation = u @ np.diag([1.0, 1.0, d]) @ vt
    return float(np.sqrt(((b @ rotation.T - a) ** 2).sum() / len(a)))


def random_rotation(rng):
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    q = q * np.sign(np.diag(r))
    if np.linalg.det(q) < 0:
        q[:, 0] = -q[:, 0]
    return q


@contextlib.contextmanager
def interrupted_child(script, *args):
    """Runs script in a child process, sends it SIGINT (Ctrl-C) half a second after it prints
    "started", checks that it prints "interrupted" within a second, and yields the process."""
    proc = subprocess.Popen([sys.executable, "-c", script, *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "started\n"
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        sent = time.monotonic()
        assert proc.stdout.readline() == "interrupted\n"
        assert time.monotonic() - sent < 1.0
        yield proc
    finally:
        proc.kill()
        proc.wait()
