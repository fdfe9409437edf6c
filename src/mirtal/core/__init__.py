"""Core services of mirtal: the plugin manager and the library's errors."""
