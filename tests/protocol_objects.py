"""Objects that implement Python protocols in hostile ways, shared by the tests."""


class Index:
    """An integer-like object whose __index__ runs `action` and returns its result."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        return self.action()


class Lying:
    """A sequence whose __len__ says `length` (or raises it) and whose items are `items`."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]
