// Built into the wheel's extension only (QUORVANE_WHEEL): a hidden definition
// of glibc's __libc_single_threaded flag, which libstdc++'s headers (GCC 11+)
// read to skip atomic reference counting in single-threaded processes. The
// extension's own code then binds to this copy, which always says "threads
// may exist", instead of importing the symbol from glibc 2.32 or later; that
// keeps the wheel loadable on older glibc at the cost of always-atomic counts.
extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}
