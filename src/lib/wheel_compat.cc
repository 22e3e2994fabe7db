// Built into the wheel's extension only (QUORVANE_WHEEL). The headers of GCC 11
// and later make compiled code refer to symbols that only recent runtimes
// export. Hidden definitions here bind the extension's own references to these
// copies, which keeps its needs at glibc 2.14 and the libstdc++ of GCC 7
// (manylinux_2_27) instead of glibc 2.32 and GCC 11's libstdc++ (manylinux_2_34).
#include <new>

// glibc 2.32's flag, read to skip atomic reference counting in single-threaded
// processes. Always 0 here ("threads may exist"): counts are always atomic.
extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}

namespace std {

// GCC 11's thrower for an array length beyond what an allocator can serve,
// called from the inlined std::allocator::allocate.
[[noreturn]] __attribute__((visibility("hidden"))) void __throw_bad_array_new_length() {
  throw bad_array_new_length();
}

}  // namespace std
