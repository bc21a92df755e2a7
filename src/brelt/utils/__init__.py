"""Utilities shared by the brelt packages."""
