"""Errors raised by the mirtal library."""


class ConnectionInfraError(Exception):
    """A connection could not be set up: bad arguments or no plugin for the device."""
