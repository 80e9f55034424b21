"""Tokenize the "text" column of Parquet files into Parquet files of ids, on Spark.

    python examples/spark_parquet.py INPUT OUTPUT [--model PATH] [--workers N] [--master URL]

Spark hands each task's rows over as Arrow record batches (mapInArrow); one
morfex.TokenizeBatch adds the columns "ids" (array<int>) and "tokens" to them.
Without --master, Spark runs locally on N cores with this interpreter.
"""

import argparse
import os
import sys
from collections.abc import Iterator

import pyarrow
from pyspark.sql import SparkSession
from pyspark.sql.types import ArrayType, IntegerType, StructField, StructType

import morfex


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input", help="a Parquet file or directory with a string column 'text'")
    parser.add_argument("output", help="the directory to write the Parquet files of ids into")
    parser.add_argument("--model", help="a morfex model file (default: the shipped model)")
    parser.add_argument("--workers", type=int, default=2, help="local cores (default: 2)")
    parser.add_argument("--master", help="the Spark master URL (default: local[N])")
    args = parser.parse_args()

    builder = SparkSession.builder.appName("morfex").config("spark.ui.enabled", "false")
    if args.master is None:
        # Local workers run this interpreter, which has morfex installed.
        os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
        builder = builder.master(f"local[{args.workers}]")
    else:
        builder = builder.master(args.master)
    spark = builder.getOrCreate()
    try:
        tokenize = morfex.TokenizeBatch(args.model, counts_column="tokens")

        def tokenized(batches: Iterator[pyarrow.RecordBatch]) -> Iterator[pyarrow.RecordBatch]:
            return map(tokenize, batches)

        frame = spark.read.parquet(args.input)
        added = [StructField("ids", ArrayType(IntegerType())), StructField("tokens", IntegerType())]
        schema = StructType(frame.schema.fields + added)
        frame.mapInArrow(tokenized, schema).write.parquet(args.output)
    finally:
        spark.stop()


if __name__ == "__main__":
    main()
