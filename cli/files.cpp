#include "files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

namespace zarvo::cli {

namespace {

std::string folder_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The temporary file of the write in progress, for the signal handler.
char g_temp[4096];
std::atomic<bool> g_temp_set{false};

extern "C" void remove_temp_and_reraise(int sig) {
  if (g_temp_set.load()) unlink(g_temp);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

}  // namespace

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void check_output(const std::string& path, const std::string& input, bool force,
                  const std::string& what) {
  const std::string folder = folder_of(path);
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0)
    throw std::runtime_error(what + " folder '" + folder + "' does not exist");
  if (!S_ISDIR(st.st_mode)) throw std::runtime_error(what + " folder '" + folder + "' is not a folder");
  if (access(folder.c_str(), W_OK | X_OK) != 0)
    throw std::runtime_error("cannot write into the " + what + " folder '" + folder +
                             "': " + std::strerror(errno));
  if (stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw std::runtime_error(what + " '" + path + "' is a folder");
    if (!input.empty() && same_file(path, input))
      throw std::runtime_error(what + " '" + path + "' is the input file; choose another name");
    if (!force)
      throw std::runtime_error(what + " '" + path + "' exists (use --force to overwrite it)");
  }
}

void write_atomically(const std::string& path,
                      const std::function<void(const std::string&)>& write) {
  std::string base = base_of(path);
  const std::string temp = folder_of(path) + "/.zarvo-" + std::to_string(getpid()) + "-" + base;
  if (temp.size() >= sizeof g_temp) throw std::runtime_error("path too long: '" + path + "'");
  std::memcpy(g_temp, temp.c_str(), temp.size() + 1);
  g_temp_set = true;
  try {
    write(temp);
    if (std::rename(temp.c_str(), path.c_str()) != 0)
      throw std::runtime_error("cannot rename '" + temp + "' to '" + path +
                               "': " + std::strerror(errno));
  } catch (...) {
    unlink(temp.c_str());
    g_temp_set = false;
    throw;
  }
  g_temp_set = false;
}

void install_cleanup_handlers() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, remove_temp_and_reraise);
}

}  // namespace zarvo::cli
