// Built as C++17 against the cross toolchain's own headers, as the plug-in
// would be without its floor: a shrink_to_fit (GLIBCXX_3.4.29) and a shared
// reference count (GCC 12 reads __libc_single_threaded, GLIBC_2.32).
#include <memory>
#include <string>

std::string release_spare(std::string text) {
  text.shrink_to_fit();
  return text;
}

long drop_reference(std::shared_ptr<int> shared) {
  std::shared_ptr<int> copy = shared;
  return copy.use_count();
}
