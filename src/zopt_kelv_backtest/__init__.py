"""Quote and position core of a back-tester for the Taiwan stock and futures markets."""

__version__ = "0.1.0"
