"""MkDocs hooks that write the manual's generated pages at build time.

- ``reference/commands.md``: the ``--help`` of ``vok-scan`` and of each of its
  subcommands, rendered by their own argument parsers (``build_parser()`` of
  each module of ``vokscan.commands``), so the page is never copied by hand.
- ``reference/python-api.md``: one mkdocstrings entry per name in
  ``vokscan.__all__`` (read from the source, in its order), so every public
  name of the package is documented from its docstring.
- ``reference/example-data.md``: ``examples/data/README.md``, the sources and
  licences of the bundled data.

The command pages need the package importable (with its compiled modules):
build the manual in an environment where ``vok`` is installed
(``tools/build_docs.sh`` does that).
"""

from __future__ import annotations

import importlib
import os
from pathlib import Path

from mkdocs.structure.files import File

ROOT = Path(__file__).resolve().parent.parent
HELP_WIDTH = "100"

#: (heading, module in vokscan.commands, the command as typed)
COMMANDS = (
    ("Scan (the default)", "scan", "vok-scan"),
    ("thresholds", "thresholds", "vok-scan thresholds"),
    ("count", "count", "vok-scan count"),
    ("enrich", "enrich", "vok-scan enrich"),
    ("variants", "variants", "vok-scan variants"),
)


def command_help(module_name: str) -> str:
    """The --help text of one subcommand, as its parser prints it."""
    saved = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = HELP_WIDTH  # argparse wraps at $COLUMNS
    try:
        module = importlib.import_module(f"vokscan.commands.{module_name}")
        return module.build_parser().format_help()
    finally:
        if saved is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = saved


def commands_page() -> str:
    from vokscan.commands import SUBCOMMANDS

    documented = {module for _, module, _ in COMMANDS}
    missing = sorted(set(SUBCOMMANDS.values()) - documented)
    if missing:
        raise RuntimeError(f"subcommands without a reference section: {', '.join(missing)}; "
                           f"add them to COMMANDS in {Path(__file__).name}")
    parts = [
        "# Command reference\n",
        "Every option of `vok-scan` and of its subcommands, as `--help` prints it "
        "(this page is generated from the argument parsers when the manual is built).\n",
    ]
    for heading, module, typed in COMMANDS:
        parts.append(f"## {heading}\n")
        parts.append(f"`{typed} --help`\n")
        parts.append("```text\n" + command_help(module).rstrip() + "\n```\n")
    return "\n".join(parts)


def public_names() -> list:
    """vokscan.__all__ (the package loads its names on first use, so importing it is cheap)."""
    import vokscan

    return list(vokscan.__all__)


def python_api_page() -> str:
    parts = [
        "# Python API: `vokscan`\n",
        "Every public name of the package (`vokscan.__all__`), documented from its "
        "docstring. The examples run from the repository root, on the bundled data.\n",
        "::: vokscan\n    options:\n      members: false\n      show_root_heading: false\n",
    ]
    for name in public_names():
        parts.append(f"::: vokscan.{name}\n")
    return "\n".join(parts)


def example_data_page() -> str:
    text = (ROOT / "examples" / "data" / "README.md").read_text()
    return text.replace("# Example data", "# Example data (`examples/data`)", 1)


def on_files(files, config):
    generated = {
        "reference/commands.md": commands_page(),
        "reference/python-api.md": python_api_page(),
        "reference/example-data.md": example_data_page(),
    }
    for path, content in generated.items():
        files.append(File.generated(config, path, content=content))
    return files
