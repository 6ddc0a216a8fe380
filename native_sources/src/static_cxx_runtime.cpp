// Linked into the module only with the C++ runtime linked statically (QUILLMARSH_STATIC_CXX_RUNTIME
// in CMakeLists.txt): the one C library symbol that runtime needs from a C library newer than
// glibc 2.17, supplied inside the module.
//
// libstdc++ asks `__libc_single_threaded` (glibc 2.32 and later) whether the process has ever
// started a second thread, to skip atomic operations while it has not: in reference counts and in
// the guards of function-local statics. The archive of gcc 12 on a glibc 2.36 system refers to it,
// which would make the module need glibc 2.32. This definition, private to the module, takes the
// place of glibc's for the runtime linked in: it always answers "not single-threaded", so that
// runtime always takes its thread-safe path, which is right in every process (and what libstdc++
// does on a C library without the variable). Nothing else reads it: glibc's own variable is
// untouched and the module's symbol table does not export this one.
extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}
