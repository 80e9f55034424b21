"""Objects that implement Python protocols in hostile ways, shared by the tests."""


class Index:
    """An integer-like object: __index__ returns `value`, or calls it and returns the result."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value() if callable(self.value) else self.value

    def __repr__(self):
        # Test ids are made from it, and must be the same in every test process.
        return f"Index({self.value!r})"


class RaisingIndex:
    """An integer-like object whose __index__ raises a fresh `make()` each time."""

    def __init__(self, make):
        self.make = make

    def __index__(self):
        raise self.make()


class Unprintable:
    """str() of it raises a fresh RuntimeError."""

    def __str__(self):
        raise RuntimeError("no text")


class TypeErrorSub(TypeError):
    pass


class GetItemOnly:
    """Iterable only through __getitem__; asking for its length raises TypeError."""

    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, index):
        return self.items[index]


class Sized(GetItemOnly):
    """Reports `length` (or raises it, when it is an exception) whatever it holds."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


class FailsMidway(GetItemOnly):
    """Its iterator yields `items`, then raises `error`."""

    def __init__(self, items, error):
        super().__init__(items)
        self.error = error

    def __iter__(self):
        yield from self.items
        raise self.error
