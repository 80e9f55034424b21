"""Tokenizing table batches for Ray Data, Dask, pandas, datasets and Spark."""
