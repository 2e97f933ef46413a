// A private directory for one test, removed with everything in it.
#ifndef QUORREL_TESTS_SUPPORT_TEMP_DIR_H_
#define QUORREL_TESTS_SUPPORT_TEMP_DIR_H_

#include <string>

namespace quorrel_test {

// Creates a fresh directory under /tmp on construction (mkdtemp) and removes
// it recursively on destruction. The path is kept short on purpose: Unix
// socket paths placed inside it must stay below 108 characters.
class TempDir {
 public:
  // `tag` is a short word that ends up in the directory name; aborts the test
  // process when no directory can be created (nothing can run without one).
  explicit TempDir(const char* tag = "q");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // `path() + "/" + name`.
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// Removes `path` and, for a directory, everything below it. Symbolic links
// are removed, never followed. Missing entries are not an error.
void remove_tree(const std::string& path);

// Writes `content` to `path` (created or truncated), with the mode `mode`.
// Returns false when the file cannot be written.
bool write_file(const std::string& path, const std::string& content, int mode = 0644);

// Reads the whole file; returns false when it cannot be opened.
bool read_file(const std::string& path, std::string* content);

// Number of lines in `path` (0 when it does not exist): how many times a
// script that appends a line has run.
size_t line_count(const std::string& path);

bool path_exists(const std::string& path);

// True when `path` exists and is a socket (not a regular file).
bool is_socket(const std::string& path);

}  // namespace quorrel_test

#endif  // QUORREL_TESTS_SUPPORT_TEMP_DIR_H_
