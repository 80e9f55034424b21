"""Running text: its pieces, chunked reading and UTF-8 faults."""
