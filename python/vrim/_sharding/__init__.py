"""Shards searched as one index: ``ShardedIndex`` in this process, and the
merging rules that ``vrim.dask`` shares with it across a cluster."""
