#include "io/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace zarvo::cli {

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

namespace {

// Temporary files of writes in progress, for the signal handler (which may
// only use async-signal-safe calls: fixed buffers, unlink).
constexpr int kSlots = 16;
char g_temp[kSlots][4096];
std::atomic<bool> g_temp_set[kSlots];

extern "C" void remove_temp_and_reraise(int sig) {
  for (int i = 0; i < kSlots; ++i)
    if (g_temp_set[i].load()) unlink(g_temp[i]);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

// See stop_flag(). Lock-free atomics only: the handlers read and set them.
std::atomic<bool> g_stop{false};
std::atomic<bool> g_stop_taken{false};
std::atomic<int> g_stop_signal{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

extern "C" void stop_or_end(int sig) {
  if (g_stop_taken.load() && g_stop_signal.load() == 0) {
    g_stop_signal = sig;
    g_stop = true;
    alarm(1);  // the run's time to stop by itself
    return;
  }
  remove_temp_and_reraise(sig);
}

extern "C" void stop_overdue(int) {
  const int sig = g_stop_signal.load();
  remove_temp_and_reraise(sig ? sig : SIGALRM);
}

std::atomic<unsigned> g_counter{0};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// fsync of a file or folder by name.
bool flush(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

}  // namespace

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void check_output(const std::string& path, const std::string& input, bool force,
                  const std::string& what) {
  const std::string folder = folder_of(path);
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0)
    throw std::runtime_error(what + " folder '" + folder + "' does not exist");
  if (!S_ISDIR(st.st_mode))
    throw std::runtime_error(what + " folder '" + folder + "' is not a folder");
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

std::string temporary_name(const std::string& path) {
  const std::string base = base_of(path), l = lower(base);
  std::string ending;
  if (l.size() > 7 && l.compare(l.size() - 7, 7, ".nii.gz") == 0) {
    ending = base.substr(base.size() - 7);
  } else if (const auto dot = base.find_last_of('.');
             dot != std::string::npos && dot > 0 && base.size() - dot <= 12) {
    ending = base.substr(dot);
  }
  return folder_of(path) + "/.zarvo-" + std::to_string(getpid()) + "-" +
         std::to_string(g_counter.fetch_add(1)) + ending;
}

int register_temp(const std::string& temp) {
  if (temp.size() >= sizeof g_temp[0]) return -1;
  for (int i = 0; i < kSlots; ++i)
    if (!g_temp_set[i].load()) {
      std::memcpy(g_temp[i], temp.c_str(), temp.size() + 1);
      g_temp_set[i] = true;
      return i;
    }
  return -1;
}

void unregister_temp(int slot) {
  if (slot >= 0 && slot < kSlots) g_temp_set[slot] = false;
}

void write_atomically(const std::string& path,
                      const std::function<void(const std::string&)>& write) {
  const std::string temp = temporary_name(path);
  const int slot = register_temp(temp);
  if (slot < 0) throw std::runtime_error("path too long: '" + path + "'");
  try {
    write(temp);
    // Flushed before the rename and the rename after it, so that a power
    // cut leaves the old file or the whole new one.
    if (!flush(temp))
      throw std::runtime_error("cannot flush '" + path + "' to the disk: " + std::strerror(errno));
    if (std::rename(temp.c_str(), path.c_str()) != 0)
      throw std::runtime_error("cannot rename '" + temp + "' to '" + path +
                               "': " + std::strerror(errno));
    flush(folder_of(path));
  } catch (...) {
    unlink(temp.c_str());
    unregister_temp(slot);
    throw;
  }
  unregister_temp(slot);
}

void install_cleanup_handlers() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, stop_or_end);
  std::signal(SIGALRM, stop_overdue);
}

const std::atomic<bool>* stop_flag() {
  g_stop_taken = true;
  return &g_stop;
}

int stop_signal() { return g_stop_signal.load(); }

void end_by_signal(int sig) {
  alarm(0);
  sigset_t s;
  sigemptyset(&s);
  sigaddset(&s, sig);
  sigprocmask(SIG_UNBLOCK, &s, nullptr);
  remove_temp_and_reraise(sig);
  std::_Exit(128 + sig);  // not reached: the signal's default ends the process
}

void write_text_file(const std::string& file, const std::string& shown, const std::string& text) {
  std::FILE* f = std::fopen(file.c_str(), "w");
  const bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f && std::fclose(f) != 0) throw std::runtime_error("writing '" + shown + "' failed");
  if (!ok)
    throw std::runtime_error("writing '" + shown +
                             "' failed (disk full, or the folder not writable?)");
}

}  // namespace zarvo::cli
