"""What the tests and the benchmarks share: the host double (host_double), small
weight files (networks) and the reference render (reference)."""
