// Running the bench, the simulator and third-party Modbus tools as child
// processes, with their output captured and a hard limit on how long they run.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qxe2e {

struct Result {
  int exit_code = -1;  ///< 128 + signal when killed by one
  std::string out;
  std::string err;
  bool killed = false;  ///< ran past its limit and was killed
};

/// Runs a program to completion; kills it after limit_s seconds.
Result run(const std::vector<std::string>& argv, double limit_s = 60);

/// A program running in the background; standard output is read line by line.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  /// The next line of standard output; false at its end or after limit_s.
  bool read_line(std::string& line, double limit_s);
  void signal(int sig);
  /// Waits for the exit; kills it after limit_s. Collects the rest of its
  /// output into rest_out and its standard error into err.
  Result finish(double limit_s);

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string buffer_;
  std::string err_;
};

/// A fresh directory for one test's files, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};
/// Writes a file (binary).
void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);

}  // namespace qxe2e
