// Files the bench writes for its user (--csv, --history, --report, the
// report of a CSV): made as a temporary file beside the target and renamed
// into place when whole, every write and the close checked, so that a full
// disk, a refused run or an interruption never leaves a truncated or emptied
// file where the user expects one.
#pragma once

#include <string>
#include <vector>

namespace qxbench {

class OutputFile {
 public:
  /// what: how messages name the file, e.g. "CSV file".
  OutputFile(std::string path, std::string what);
  /// Removes the temporary file unless commit() renamed it into place.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  /// Makes the temporary file; with `append`, it starts as a copy of the
  /// existing target (if any), so the run's bytes go after it.
  bool open(bool append, std::string& error);
  /// Writes every byte or remembers the failure (see failed()).
  bool write(const std::string& bytes);
  bool write(const void* data, std::size_t size);
  bool failed() const { return !error_.empty(); }
  /// The first failure, "cannot write CSV file out.csv: No space left on device".
  const std::string& error() const { return error_; }
  /// Flushes, closes and renames into place; false with the reason when any
  /// write or the close failed (the target is then left as it was).
  bool commit(std::string& error);
  /// A file the user did not name: commit() never replaces one that exists,
  /// even one made while this was written.
  void keep_existing() { keep_existing_ = true; }
  const std::string& path() const { return path_; }

 private:
  void set_error(const std::string& action);
  std::string path_;
  std::string what_;
  std::string temp_;
  int fd_ = -1;
  std::string error_;
  bool keep_existing_ = false;
};

/// The message for a file the bench would make under a name that is taken:
/// "report file run.html exists; -o run.html replaces it".
std::string exists_message(const std::string& what, const std::string& path);

/// True when the two paths name one existing file.
bool same_file(const std::string& a, const std::string& b);

/// Checks that no output is one of the inputs: false with a message naming both.
bool outputs_apart_from_inputs(const std::vector<std::string>& outputs,
                               const std::vector<std::string>& inputs, std::string& error);

/// Removes the temporary files of outputs not yet renamed into place: an
/// interrupted bench leaves none behind. Safe from the signal watcher's thread.
void remove_unfinished_outputs();

}  // namespace qxbench
