"""The `vext` command-line tool: structural diff and three-way merge of JSON
and XML tree files, built on the vext_py module."""

from .cli import main, run

__all__ = ["main", "run"]
