"""Fixtures shared by the Python tests."""

import pytest

import hecrypt
import oracle


@pytest.fixture(scope="session")
def keypair():
    """One generated 2048-bit (PublicKey, SecretKey) for the whole session:
    generating a key takes a few seconds."""
    return hecrypt.generate_keypair(2048)


@pytest.fixture(scope="session")
def known_pk():
    """A PublicKey assembled from the 2048-bit modulus whose factors the
    oracle knows, so that its ciphertexts can be decrypted independently."""
    return hecrypt.PublicKey.from_n(oracle.KEY_2048.modulus_bytes())
