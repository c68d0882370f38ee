"""What the Python tests need to know about the build under test."""


def sanitized(path):
    """Whether the binary at `path` is built with AddressSanitizer,
    ThreadSanitizer or MemorySanitizer, whose allocators reserve more address
    space than any limit a test could set."""
    with open(path, "rb") as binary:
        data = binary.read()
    return any(name in data for name in (b"__asan_init", b"__tsan_init", b"__msan_init"))
