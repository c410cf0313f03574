// Stands in for a C++ library older than GCC 5: its symbol versions stop at
// GLIBCXX_3.4.20 and CXXABI_1.3.8 (old_cxx_library.map).
extern "C" int qx_old_cxx_base() { return 0; }
extern "C" int qx_old_cxx_newest() { return 20; }
extern "C" int qx_old_cxxabi_base() { return 0; }
extern "C" int qx_old_cxxabi_newest() { return 8; }
