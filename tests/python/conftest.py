import hashlib

import pytest

import quorvel


def sha(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


@pytest.fixture
def A():
    return quorvel.Variable("A")


@pytest.fixture
def B():
    return quorvel.Variable("B")


@pytest.fixture
def C():
    return quorvel.Variable("C")
