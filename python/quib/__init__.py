"""quib: a Python execution tracer."""
