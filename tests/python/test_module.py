import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel

EXPECTED_ORDER = [
    "Variable", "Application", "Term", "Node", "Edge", "Graph",
    "TypeSchema", "NodePattern", "EdgePattern", "PathPattern", "Query",
]


FUNCTIONS = ["parse_type"]


def test_all_follows_registration_order():
    assert quorvel.__all__ == EXPECTED_ORDER + FUNCTIONS
    assert quorvel.__all__[:3] == ["Variable", "Application", "Term"]


def test_module_has_only_classes_and_parse_type():
    public = [n for n in dir(quorvel) if not n.startswith("_")]
    assert sorted(public) == sorted(quorvel.__all__)
    assert all(isinstance(getattr(quorvel, n), type) for n in EXPECTED_ORDER)
    assert callable(quorvel.parse_type) and not isinstance(quorvel.parse_type, type)
    assert str(inspect.signature(quorvel.parse_type)) == "(text)"


def test_version_is_the_package_version():
    pyproject = (Path(__file__).resolve().parents[2] / "pyproject.toml").read_text(encoding="utf-8")
    assert re.search(r'^version = "([^"]+)"$', pyproject, re.M).group(1) == quorvel.__version__


def test_docstring_lists_the_classes():
    doc = quorvel.__doc__
    assert "type theoretical graph modeling" in doc.lower()
    assert "including the type system, graph components, and query mechanisms." in doc
    assert "# Classes Exposed" in doc
    assert "- `Query`: Cypher-like query builder" in doc


def test_type_names_are_bare():
    for name in quorvel.__all__:
        cls = getattr(quorvel, name)
        assert cls.__name__ == name
        assert cls.__qualname__ == name
        assert cls.__module__ == "quorvel"


def test_class_signatures():
    assert quorvel.Variable.__text_signature__ == "(name)"
    assert quorvel.Application.__text_signature__ == "(left, right)"
    assert quorvel.Term.__text_signature__ == "(name, type)"
    assert str(inspect.signature(quorvel.Term)) == "(name, type)"
    assert str(inspect.signature(quorvel.Variable.uid)) == "(self, /)"


def test_second_initialisation_is_refused():
    # A sub-interpreter would initialise the module a second time; the same
    # happens when the init function is called again in one process.
    code = (
        "import importlib.machinery, importlib.util, quorvel\n"
        "spec = importlib.util.spec_from_file_location('quorvel', quorvel.__file__)\n"
        "try:\n"
        "    importlib.util.module_from_spec(spec)\n"
        "except ImportError as e:\n"
        "    print('refused:', e)\n"
        "print(quorvel.Variable('A'))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "refused:" in out and "only be initialized once" in out
    assert out.strip().endswith("A")


SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime reserves the address space a limit would cap")
def test_running_out_of_memory_inside_the_module_is_memory_error():
    # The text fits before the address space is capped; the module's own copy of it
    # does not. Each entry point must turn that into MemoryError, never a crash.
    code = (
        "import resource, quorvel\n"
        "big = 'a' * (300 << 20)\n"
        "f = quorvel.Term(big[:10], quorvel.Application(quorvel.Variable('A'), quorvel.Variable('B')))\n"
        "x = quorvel.Term('x', quorvel.Variable('A'))\n"
        "vm = int([l.split()[1] for l in open('/proc/self/status') if l.startswith('VmSize')][0]) << 10\n"
        "resource.setrlimit(resource.RLIMIT_AS, (vm + (100 << 20), resource.RLIM_INFINITY))\n"
        "for make in (lambda: quorvel.Variable(big), lambda: quorvel.Term(big, quorvel.Variable('A')),\n"
        "             lambda: quorvel.PathPattern.parse('(' + big[:(200 << 20)] + ')')):\n"
        "    try:\n"
        "        make()\n"
        "    except MemoryError:\n"
        "        print('MemoryError')\n"
        "print(f(x))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:3] == ["MemoryError"] * 3


def test_building_without_wheel_says_what_to_install(tmp_path):
    # pip's metadata step on setuptools before 70.1 needs the separate wheel
    # package; hide it (and setuptools' own bdist_wheel) and run that step.
    root = Path(__file__).resolve().parents[2]
    code = ("import sys\n"
            "for name in ('wheel', 'wheel.bdist_wheel', 'setuptools.command.bdist_wheel'):\n"
            "    sys.modules[name] = None\n"
            f"sys.argv = ['setup.py', 'dist_info', '--output-dir', {str(tmp_path)!r}]\n"
            "exec(compile(open('setup.py').read(), 'setup.py', 'exec'),\n"
            "     {'__file__': 'setup.py', '__name__': '__main__'})\n")
    done = subprocess.run([sys.executable, "-c", code], cwd=root, capture_output=True, text=True)
    assert done.returncode == 1
    assert "needs the 'wheel' package" in done.stderr and "pip install wheel" in done.stderr
