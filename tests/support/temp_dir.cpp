#include "tests/support/temp_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quorrel_test {

TempDir::TempDir(const char* tag) {
  std::string templ = std::string("/tmp/") + tag + "XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    std::fprintf(stderr, "mkdtemp %s failed: %s\n", templ.c_str(), std::strerror(errno));
    std::abort();
  }
  path_ = buf.data();
}

TempDir::~TempDir() { remove_tree(path_); }

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

void remove_tree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      std::vector<std::string> names;
      while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      closedir(dir);
      for (const std::string& name : names) remove_tree(path + "/" + name);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

bool write_file(const std::string& path, const std::string& content, int mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  // The mode given to open() is filtered by the umask; scripts must be
  // executable whatever the umask is.
  fchmod(fd, static_cast<mode_t>(mode));
  return close(fd) == 0;
}

bool read_file(const std::string& path, std::string* content) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  content->clear();
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    content->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

size_t line_count(const std::string& path) {
  std::string content;
  if (!read_file(path, &content)) return 0;
  size_t n = 0;
  for (char c : content) n += c == '\n';
  return n;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool is_socket(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace quorrel_test
