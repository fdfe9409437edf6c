"""The base of the sample connection classes: it only remembers the device it was made for."""


class Connection:
    """A connection to one device; real plugins add the session handling of their OS."""

    def __init__(self, hostname):
        self.hostname = hostname

    def __repr__(self):
        return f"{type(self).__name__}({self.hostname!r})"
