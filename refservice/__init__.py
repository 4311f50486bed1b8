"""Tessaly reference service.

A stand-in for the maker's HTTPS service, used during development and by the
test suite. It answers the agent's four service calls and the public address
lookup over HTTP/1.1 (and HTTP/2 when asked), records every request it gets,
and lets a test (or a person) change how it answers through a small control
API under /_ref/. README.md beside this file says which module does what.
"""
