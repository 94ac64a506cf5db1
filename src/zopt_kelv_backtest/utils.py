"""Console and file-system helpers used by the native core."""

import os

from rich.console import Console

# rich renders the bracket tags ("[bold red]...[/bold red]") as colours.
console = Console()


def make_dir(path: str) -> None:
    """Create ``path`` and any missing parents; an existing folder is fine."""
    os.makedirs(path, exist_ok=True)
