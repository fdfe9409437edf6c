"""Built-in plugins: every module below this package registers its connection classes on import."""
