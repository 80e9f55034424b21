"""Objects that implement Python protocols in hostile ways, shared by the tests."""


class Index:
    """An integer-like object whose __index__ runs `action` and returns its result."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        return self.action()


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
