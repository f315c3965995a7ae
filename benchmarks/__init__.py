"""kestrel against its peers: ``python -m benchmarks [--quick | --long]``.

Every workload's data is generated once; kestrel and each installed peer then run on that
same data, each in a worker process of its own (so peak resident memory is the tool's own),
with the first run discarded and the median of the repeats reported. Peers' results are
checked against kestrel's before the table is printed. Missing peers are skipped.
"""
