"""An argument that closes a handle while the module converts it."""


class Closer:
    """An argument whose conversion (to text, number or truth) closes |handle|,
    a DBM or a File."""

    def __init__(self, handle, text="x"):
        self.handle = handle
        self.text = text

    def __str__(self):
        self.handle.Close()
        return self.text

    def __int__(self):
        self.handle.Close()
        return 1

    def __bool__(self):
        self.handle.Close()
        return True
