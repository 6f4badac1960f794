// Scratch space and plain file access for tests, without APR and without the test framework (the
// benchmarks use it too).
#ifndef KIV_TESTS_SUPPORT_SCRATCH_H_
#define KIV_TESTS_SUPPORT_SCRATCH_H_

#include <string>

namespace kiv_test {

// A private directory for one test, removed with everything in it when the object dies (the walk
// does not cross into a file system a test left mounted there). Its path is one level below a
// directory of its own under $TMPDIR (else /tmp): a DBM database's lock gate is the directory
// above the one it lies in, and /tmp, shared with every other test running at the same time, must
// not be that gate. path() is empty when the directory could not be made.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rest) const { return path_ + "/" + rest; }

 private:
  std::string root_;
  std::string path_;
};

// The whole content of a file; "" when it cannot be read.
std::string read_file(const std::string& path);
// Replaces the content of a file (made when missing).
void write_file(const std::string& path, const std::string& content);
// Whether anything (a symbolic link too) has this name.
bool path_exists(const std::string& path);
// Runs a shell command and gives its standard output.
std::string run(const std::string& command);

}  // namespace kiv_test

#endif  // KIV_TESTS_SUPPORT_SCRATCH_H_
