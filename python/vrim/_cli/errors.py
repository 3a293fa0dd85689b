"""The one exception the command line reports as a plain error line."""

from __future__ import annotations


class CliError(Exception):
    """A failure the user can act on; printed as one line, exit status 1."""
