"""Helpers written in Python over the native engine: query escaping,
highlighting and snippets in the original text, saving and loading by path
and the pickling of `Index` objects."""
