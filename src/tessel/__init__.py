"""tessel: exact byte-pair tokenization for cl100k_base and o200k_base."""
