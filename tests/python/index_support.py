"""An int-like argument for the tests of unsigned and index conversions."""


class Index:
    """Answers `value` through __index__, or raises it when it is an exception."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value
