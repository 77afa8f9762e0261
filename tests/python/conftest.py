"""Fixtures shared by the Python tests."""

import pytest

import hecrypt


@pytest.fixture(scope="session")
def keypair():
    """One generated 2048-bit (PublicKey, SecretKey) for the whole session:
    generating a key takes a few seconds."""
    return hecrypt.generate_keypair(2048)
