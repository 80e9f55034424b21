"""Segmenters: trained natively, or read from Morfessor's files."""
