"""Tokenize the "text" column of Parquet files into Parquet files of ids, on Ray Data.

    python examples/ray_parquet.py INPUT OUTPUT [--model PATH] [--workers N] [--address auto]

Each of the N workers loads the model once (the shipped one unless --model
names a model file, which must then exist on every node) and adds the columns
"ids" (list<int32>) and "tokens" (the number of ids) to the rows it is given.
Without --address, Ray runs on this machine alone; with --address auto the
same script runs on the cluster that `ray start` joined this node to.
"""

import argparse

import ray

import morfex


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input", help="a Parquet file or directory with a string column 'text'")
    parser.add_argument("output", help="the directory to write the Parquet files of ids into")
    parser.add_argument("--model", help="a morfex model file (default: the shipped model)")
    parser.add_argument("--workers", type=int, default=2, help="tokenizing workers (default: 2)")
    parser.add_argument("--address", help="the Ray cluster to join, e.g. auto (default: a local Ray)")
    args = parser.parse_args()

    if args.address is None:
        # The workers hold a CPU each; one more lists and reads the files.
        ray.init(num_cpus=args.workers + 1, include_dashboard=False)
    else:
        ray.init(address=args.address)
    try:
        tokenized = ray.data.read_parquet(args.input).map_batches(
            morfex.TokenizeBatch,
            fn_constructor_kwargs={"model": args.model, "counts_column": "tokens"},
            compute=ray.data.ActorPoolStrategy(size=args.workers),
            batch_format="pyarrow",
        )
        tokenized.write_parquet(args.output)
    finally:
        ray.shutdown()


if __name__ == "__main__":
    main()
