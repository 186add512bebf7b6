"""Observation series of the QZDATA database as pandas tables."""
