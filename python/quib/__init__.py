"""The host package of the quib execution tracer."""
