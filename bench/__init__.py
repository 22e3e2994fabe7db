"""Benchmarks of quorvane against the tokenizers and tiktoken libraries (`python -m bench`)."""
