"""The tree example's block sums spread over a Dask cluster.

The passive party of vertical_tree.py may hold more rows, features or bins
than one machine sums quickly. Its block sums split into independent tasks,
and only bytes travel: the modulus bytes, the blobs (sent to every worker
once) and each task's share of the index blocks; sum blobs come back. Each
worker assembles its PublicKey from the modulus bytes once and keeps it
(block_worker.py). Sums are deterministic, so the results are byte for byte
those of one `add_blocks` call in one process, which the example checks (it
exits with 1 if not). Empty bins are left out, as in the tree example.

A LocalCluster of worker processes on this machine stands in for many
machines; `--scheduler tcp://HOST:8786` runs the same code on a real cluster,
whose workers need hecrypt installed (block_worker.py is uploaded to them).

    python3 examples/distributed_blocks.py [--rows 20000] [--features 10]
        [--bins 32] [--tasks 20] [--workers 2 | --scheduler ADDRESS]
"""

import argparse
import logging
import os
import sys
import time
from typing import NamedTuple

from distributed import Client, LocalCluster, as_completed

import block_worker
import hecrypt
from progress import bar, encrypt_in_chunks
from vertical_tree import SCALE, feature_blocks, make_rows


class DistributedResult(NamedTuple):
    sums: int
    identical: bool  # byte for byte those of one add_blocks call
    keys_built: dict  # worker address -> keys it assembled

    @property
    def ok(self):
        # Every worker that ran a task assembled the key once, no worker twice.
        return self.identical and max(self.keys_built.values()) == 1


def pieces(blocks, count):
    """`blocks` cut into at most `count` runs of consecutive blocks."""
    size = -(-len(blocks) // max(1, count))
    return [blocks[start:start + size] for start in range(0, len(blocks), size)]


def cluster_sums(client, raw, blob_lists, blocks, tasks):
    """The sums of `blocks` over each list of blobs, computed on the cluster:
    one list of sum blobs per list of blobs."""
    client.upload_file(block_worker.__file__)
    shipped = client.scatter(blob_lists, broadcast=True)  # one future per list
    futures = [[client.submit(block_worker.block_sums, raw, blobs, piece)
                for piece in pieces(blocks, tasks)] for blobs in shipped]
    everything = [future for row in futures for future in row]
    for _ in bar(as_completed(everything), total=len(everything), desc="summing on the cluster"):
        pass
    return [[blob for piece in client.gather(row) for blob in piece] for row in futures]


def run(client, pk, rows=20000, features=10, bins=32, tasks=20, seed=1):
    """The tree example's bin sums of gradients and hessians on the cluster,
    checked against one add_blocks call per list in this process."""
    data = make_rows(rows, features, seed)
    blob_lists = [encrypt_in_chunks(pk, data.gradients, SCALE),
                  encrypt_in_chunks(pk, data.hessians, SCALE)]
    blocks = [block for block in feature_blocks(data.columns, bins) if block]
    remote = cluster_sums(client, pk.modulus_bytes(), blob_lists, blocks, tasks)
    local = [hecrypt.add_blocks(pk, blobs, blocks) for blobs in blob_lists]
    return DistributedResult(sum(map(len, remote)), remote == local,
                             client.run(block_worker.keys_built))


def local_cluster(workers):
    """`workers` worker processes on this machine, one task at a time each,
    sharing its cores between their hecrypt pools."""
    threads = str(max(1, (os.cpu_count() or 1) // workers))
    return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                        dashboard_address=None, silence_logs=logging.ERROR,
                        env={"RAYON_NUM_THREADS": threads})


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=20000)
    parser.add_argument("--features", type=int, default=10)
    parser.add_argument("--bins", type=int, default=32)
    parser.add_argument("--tasks", type=int, default=20, help="tasks per list of blobs")
    parser.add_argument("--workers", type=int, default=2,
                        help="worker processes of the local cluster")
    parser.add_argument("--scheduler",
                        help="a running cluster's scheduler, instead of a local cluster")
    parser.add_argument("--bits", type=int, default=2048, help="modulus length of the key")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    start = time.perf_counter()
    pk, _ = hecrypt.generate_keypair(args.bits)
    cluster = None if args.scheduler else local_cluster(args.workers)
    with Client(args.scheduler or cluster) as client:
        workers = len(client.scheduler_info()["workers"])
        print(f"distributed block sums: {args.rows} rows, {args.features} features "
              f"x {args.bins} bins, {workers} workers, {args.bits}-bit key")
        result = run(client, pk, args.rows, args.features, args.bins, args.tasks, args.seed)
    if cluster is not None:
        cluster.close()
    print(f"{result.sums} sums from {args.tasks} tasks per list; keys assembled per worker: "
          + ", ".join(map(str, result.keys_built.values())))
    print("byte-identical to one add_blocks call in one process: "
          f"{'yes' if result.identical else 'NO'} ({time.perf_counter() - start:.1f} s)")
    return 0 if result.ok else 1


if __name__ == "__main__":
    sys.exit(main())
