"""Tokenize the "text" column of Parquet files into Parquet files of ids, with Dask.

    python examples/dask_parquet.py INPUT OUTPUT [--model PATH] [--workers N]

Every partition goes through one morfex.TokenizeBatch, which adds the columns
"ids" (list<int32>) and "tokens" (the number of ids), on N local processes.
"""

import argparse

import dask
import dask.dataframe

import morfex


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input", help="a Parquet file or directory with a string column 'text'")
    parser.add_argument("output", help="the directory to write the Parquet files of ids into")
    parser.add_argument("--model", help="a morfex model file (default: the shipped model)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default: 2)")
    args = parser.parse_args()

    tokenize = morfex.TokenizeBatch(args.model, counts_column="tokens")
    frame = dask.dataframe.read_parquet(args.input)
    # The result's columns and types, from the (empty) sample partition Dask keeps.
    tokenized = frame.map_partitions(tokenize, meta=tokenize(frame._meta))
    with dask.config.set(scheduler="processes", num_workers=args.workers):
        tokenized.to_parquet(args.output, write_index=False)


if __name__ == "__main__":
    main()
