#include "io/outputs.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>

#include "io/files.h"
#include "io/nifti_io.h"

namespace zarvo::cli {

namespace {

using Step = OutputSet::Step;

OutputSet::FaultHook& fault_hook() {
  static OutputSet::FaultHook hook;
  return hook;
}

// Zero to go on, or the errno a test asks the step to fail with.
int injected(Step step, const std::string& name) {
  const OutputSet::FaultHook& hook = fault_hook();
  if (!hook) return 0;
  const int e = hook(step, name);
  if (e) errno = e;
  return e;
}

// The folder's real path and the name: the same for every spelling of a
// path whose folder exists ("d/./x", "d//x", "link-to-d/x").
std::string canonical_name(const std::string& path) {
  char* real = realpath(folder_of(path).c_str(), nullptr);
  if (!real) return path;
  std::string r = std::string(real) + "/" + base_of(path);
  std::free(real);
  return r;
}

bool identity(const std::string& path, struct stat& st) { return stat(path.c_str(), &st) == 0; }

bool same(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string error_text(int e) { return std::strerror(e); }

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// The signals the command ends on (see install_cleanup_handlers): held back
// while the set is committed, so that the set decides what they leave.
sigset_t stopping_signals() {
  sigset_t s;
  sigemptyset(&s);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&s, sig);
  return s;
}

bool signal_pending() {
  sigset_t pending, stopping = stopping_signals();
  sigpending(&pending);
  for (int sig : {SIGINT, SIGTERM, SIGHUP})
    if (sigismember(&pending, sig) && sigismember(&stopping, sig)) return true;
  return false;
}

// Copies the file `name` in `folder` to the new file `copy` beside it (a
// backup where no hard link can be made); a symbolic link is copied as a
// link. Returns 0 or the errno of the failure, leaving no copy behind.
int copy_file(int folder, const std::string& name, const std::string& copy) {
  if (injected(Step::backup_copy, name)) return errno;
  struct stat st {};
  if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (S_ISLNK(st.st_mode)) {
    std::string target(static_cast<std::size_t>(PATH_MAX), '\0');
    const ssize_t n = readlinkat(folder, name.c_str(), &target[0], target.size());
    if (n < 0) return errno;
    target.resize(static_cast<std::size_t>(n));
    return symlinkat(target.c_str(), folder, copy.c_str()) == 0 ? 0 : errno;
  }
  const int from = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (from < 0) return errno;
  const int to = openat(folder, copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (to < 0) {
    const int e = errno;
    close(from);
    return e;
  }
  int e = 0;
  char buffer[1 << 16];
  while (true) {
    const ssize_t n = read(from, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) e = errno;
      break;
    }
    for (ssize_t done = 0; done < n && !e;) {
      const ssize_t w = ::write(to, buffer + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno != EINTR) e = errno;
      if (w > 0) done += w;
    }
    if (e) break;
  }
  if (!e && fchmod(to, st.st_mode & 07777) != 0) e = errno;
  if (!e && fsync(to) != 0) e = errno;
  close(from);
  if (close(to) != 0 && !e) e = errno;
  if (e) unlinkat(folder, copy.c_str(), 0);
  return e;
}

// A fresh name for a backup or temporary in the folder of `path`.
std::string fresh_name(const std::string& path) { return base_of(temporary_name(path)); }

}  // namespace

void OutputSet::set_fault_hook(FaultHook hook) { fault_hook() = std::move(hook); }

void OutputSet::discard(File& f) {
  if (!f.temp.empty()) {
    if (f.folder >= 0)
      unlinkat(f.folder, base_of(f.temp).c_str(), 0);
    else
      unlink(f.temp.c_str());
    unregister_temp(f.slot);
    f.temp.clear();
  }
  close_fd(f.fd);
  close_fd(f.folder);
}

OutputSet::~OutputSet() {
  for (File& f : outputs_) discard(f);
}

void OutputSet::add_input(const std::string& path, const std::string& role) {
  if (!path.empty()) inputs_.push_back({path, role, {}, false, -1, -1, -1, 0, 0});
}

void OutputSet::add_output(const std::string& path, const std::string& role, bool nifti) {
  if (!path.empty()) outputs_.push_back({path, role, {}, nifti, -1, -1, -1, 0, 0});
}

void OutputSet::add_absent(const std::string& path, const std::string& why) {
  if (!path.empty()) absent_.emplace_back(path, why);
}

void OutputSet::check() {
  input_ids_.clear();
  for (const File& in : inputs_) {
    struct stat is {};
    if (identity(in.path, is)) input_ids_.push_back({is.st_dev, is.st_ino});
  }
  for (std::size_t i = 0; i < outputs_.size(); ++i) {
    File& o = outputs_[i];
    const std::string name = o.role + " '" + o.path + "'";
    if (o.nifti && !is_nifti_output_name(o.path))
      throw std::runtime_error(name + " must end in .nii or .nii.gz");
    const std::string base = base_of(o.path);
    if (base.empty() || base == "." || base == "..")
      throw std::runtime_error(name + " is a folder; give a file name");
    const std::string folder = folder_of(o.path);
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0)
      throw std::runtime_error(o.role + " folder '" + folder + "' does not exist");
    if (!S_ISDIR(st.st_mode))
      throw std::runtime_error(o.role + " folder '" + folder + "' is not a folder");
    o.folder_dev = st.st_dev;
    o.folder_ino = st.st_ino;
    if (access(folder.c_str(), W_OK | X_OK) != 0)
      throw std::runtime_error("cannot write into the " + o.role + " folder '" + folder +
                               "': " + std::strerror(errno));
    const long name_max = pathconf(folder.c_str(), _PC_NAME_MAX);
    if (base.size() > static_cast<std::size_t>(name_max > 0 ? name_max : NAME_MAX))
      throw std::runtime_error(name + ": the name is too long (" + std::to_string(base.size()) +
                               " characters; this folder takes at most " +
                               std::to_string(name_max > 0 ? name_max : NAME_MAX) + ")");
    if (o.path.size() >= PATH_MAX) throw std::runtime_error(name + ": the path is too long");
    struct stat target {};
    const bool exists = identity(o.path, target);
    if (exists && S_ISDIR(target.st_mode)) throw std::runtime_error(name + " is a folder");
    for (const File& in : inputs_) {
      struct stat is {};
      if ((exists && identity(in.path, is) && same(is, target)) ||
          canonical_name(in.path) == canonical_name(o.path))
        throw std::runtime_error(name + " is the " + in.role + " file; choose another name");
    }
    for (std::size_t j = 0; j < i; ++j) {
      const File& other = outputs_[j];
      struct stat os {};
      if (canonical_name(other.path) == canonical_name(o.path) ||
          (exists && identity(other.path, os) && same(os, target)))
        throw std::runtime_error("the " + o.role + " and the " + other.role + " ('" + o.path +
                                 "', '" + other.path + "') must be different files");
    }
    struct stat link {};
    const bool present = lstat(o.path.c_str(), &link) == 0;
    if (present && !force_)
      throw std::runtime_error(name + " exists (use --force to overwrite it)");
    if (exists && !S_ISREG(target.st_mode))
      throw std::runtime_error(name + " exists and is not a regular file");
  }
  for (const auto& [path, why] : absent_) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) throw std::runtime_error(why);
  }
}

void OutputSet::write(const std::string& path,
                      const std::function<void(const std::string&)>& writer) {
  for (File& o : outputs_) {
    if (o.path != path) continue;
    discard(o);
    const std::string folder = folder_of(path);
    auto fail = [&](const std::string& what, int e) {
      discard(o);
      return std::runtime_error(what + " in the " + o.role + " folder '" + folder +
                                "': " + error_text(e));
    };
    // The folder is held open from here on: the commit renames in this
    // folder, and refuses when its path has come to lead elsewhere.
    o.folder = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (o.folder < 0) throw fail("cannot open the folder", errno);
    struct stat opened {};
    if (o.folder_ino != 0 && (fstat(o.folder, &opened) != 0 || opened.st_dev != o.folder_dev ||
                              opened.st_ino != o.folder_ino))
      throw fail("the folder was replaced while zarvo was working (it now leads elsewhere)",
                 ESTALE);
    // Reserve a fresh temporary name (created exclusively), then write it.
    for (int attempt = 0;; ++attempt) {
      const std::string temp = temporary_name(path);
      const int fd = injected(Step::create, temp)
                         ? -1
                         : openat(o.folder, base_of(temp).c_str(),
                                  O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        o.fd = fd;
        o.temp = temp;
        o.slot = register_temp(temp);
        break;
      }
      if (errno != EEXIST || attempt > 100) throw fail("cannot create a file", errno);
    }
    try {
      writer(o.temp);
    } catch (...) {
      discard(o);
      throw;
    }
    // The writer wrote by name: it must have written the file created here.
    struct stat mine {
    }, named{}, held{};
    if (fstat(o.fd, &mine) != 0 || stat(o.temp.c_str(), &named) != 0 || !same(mine, named) ||
        fstatat(o.folder, base_of(o.temp).c_str(), &held, 0) != 0 || !same(mine, held)) {
      unlink(o.temp.c_str());  // what the writer made where the name led
      throw fail("the file written is not the one zarvo created (the folder changed?)", ENOENT);
    }
    if (injected(Step::sync_file, o.temp) || fsync(o.fd) != 0)
      throw fail("cannot flush '" + base_of(path) + "' to the disk", errno);
    return;
  }
  throw std::logic_error("OutputSet::write: '" + path + "' was not declared");
}

OutputSet::Digest OutputSet::digest(const std::string& path) const {
  for (const File& o : outputs_) {
    if (o.path != path || o.fd < 0) continue;
    Digest d;
    uLong crc = crc32(0L, Z_NULL, 0);
    std::vector<unsigned char> buffer(1 << 20);
    while (true) {
      const ssize_t n = pread(o.fd, buffer.data(), buffer.size(), d.bytes);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw std::runtime_error("cannot read back '" + path + "': " + error_text(errno));
      if (n == 0) break;
      crc = crc32(crc, buffer.data(), static_cast<uInt>(n));
      d.bytes += n;
    }
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08lx", static_cast<unsigned long>(crc));
    d.crc32 = hex;
    return d;
  }
  throw std::logic_error("OutputSet::digest: '" + path + "' was not written");
}

void OutputSet::commit() {
  struct Done {
    File* file;
    std::string backup;  // name (in the file's folder) of the old file's backup, if any
    bool renamed = false;
  };
  std::vector<Done> set;
  for (File& o : outputs_)
    if (!o.temp.empty()) set.push_back({&o, {}, false});

  // Every signal that would end the run waits until the set is committed
  // or taken back; see the end.
  const sigset_t stopping = stopping_signals();
  sigset_t old_mask, held = stopping;
  // The command's alarm that ends a run slow to stop (see stop_flag) waits
  // too: the set, not the alarm, decides what an interruption leaves.
  sigaddset(&held, SIGALRM);
  sigprocmask(SIG_BLOCK, &held, &old_mask);

  // Each folder once, in an order every run agrees on (no deadlock between
  // two runs that write into the same two folders).
  struct Folder {
    int fd;
    std::string path;
  };
  std::map<std::pair<dev_t, ino_t>, Folder> folders;
  std::string problem;
  bool interrupted = false;
  auto stopping_now = [this] { return signal_pending() || (cancel_ && cancel_->load()); };
  auto failed = [&](const std::string& text) {
    if (problem.empty()) problem = text;
  };
  for (Done& d : set) {
    struct stat st {};
    fstat(d.file->folder, &st);
    folders.emplace(std::make_pair(st.st_dev, st.st_ino),
                    Folder{d.file->folder, folder_of(d.file->path)});
  }
  std::vector<int> locked;
  for (auto& [id, f] : folders) {
    // Another run committing into this folder holds it for a moment only;
    // a lock held much longer is a stuck program.
    int waited_ms = 0;
    while (true) {
      if (!injected(Step::lock, f.path) && flock(f.fd, LOCK_EX | LOCK_NB) == 0) {
        locked.push_back(f.fd);
        break;
      }
      // Where folders cannot be locked (some network file systems) the set
      // is committed unlocked rather than failing the run after its work.
      if (errno != EWOULDBLOCK) break;
      if (waited_ms >= 60000) {
        failed("another program has held the folder '" + f.path + "' locked for a minute");
        break;
      }
      const timespec pause{0, 20 * 1000 * 1000};
      nanosleep(&pause, nullptr);
      waited_ms += 20;
    }
    if (!problem.empty()) break;
  }
  auto sync_folders = [&]() {
    for (auto& [id, f] : folders)
      if (injected(Step::sync_folder, f.path) || fsync(f.fd) != 0)
        return "cannot flush the folder '" + f.path + "' to the disk: " + error_text(errno);
    return std::string();
  };

  // What the checks before the work found must still hold, under the lock.
  for (Done& d : set) {
    if (!problem.empty()) break;
    File& o = *d.file;
    const std::string base = base_of(o.path), name = o.role + " '" + o.path + "'";
    struct stat now {
    }, held{}, target{}, temp_now{}, temp_held{};
    fstat(o.folder, &held);
    if (stat(folder_of(o.path).c_str(), &now) != 0 || !same(now, held)) {
      failed("the " + o.role + " folder '" + folder_of(o.path) +
             "' was replaced while zarvo was working (it now leads elsewhere)");
      break;
    }
    if (fstat(o.fd, &temp_held) != 0 ||
        fstatat(o.folder, base_of(o.temp).c_str(), &temp_now, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same(temp_held, temp_now)) {
      failed("the file written for the " + name + " was removed or replaced meanwhile");
      break;
    }
    for (const auto& [path, why] : absent_) {
      struct stat st {};
      if (lstat(path.c_str(), &st) == 0) failed(why);
    }
    if (fstatat(o.folder, base.c_str(), &target, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!force_) {
      failed(name +
             " appeared while zarvo was working; it was left as it is (use --force to "
             "replace it)");
      break;
    }
    struct stat followed {};
    const bool resolves = fstatat(o.folder, base.c_str(), &followed, 0) == 0;
    if (S_ISDIR(target.st_mode) || (resolves && S_ISDIR(followed.st_mode)))
      failed(name + " became a folder while zarvo was working");
    for (const File& in : inputs_) {
      struct stat is {};
      bool input = identity(in.path, is) && (same(is, target) || (resolves && same(is, followed)));
      for (const Identity& id : input_ids_)
        input = input || (id.dev == target.st_dev && id.ino == target.st_ino) ||
                (resolves && id.dev == followed.st_dev && id.ino == followed.st_ino);
      if (input) failed(name + " is now the " + in.role + " file; nothing was replaced");
    }
    if (!problem.empty()) break;
    // The backup: a hard link, or where none can be made (another user's
    // file under protected hard links, no inodes left, no links on this
    // file system) a copy. No backup, no replacement.
    int link_error = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::string b = fresh_name(o.path);
      if (!injected(Step::backup_link, base) &&
          linkat(o.folder, base.c_str(), o.folder, b.c_str(), 0) == 0) {
        d.backup = b;
        break;
      }
      link_error = errno;
      if (link_error == EEXIST) continue;
      const int copy_error = copy_file(o.folder, base, b);
      if (copy_error == 0)
        d.backup = b;
      else
        failed("cannot keep a backup of the old " + name +
               " (no hard link: " + error_text(link_error) +
               "; no copy: " + error_text(copy_error) + "); nothing was replaced");
      break;
    }
    if (d.backup.empty())
      failed("cannot keep a backup of the old " + name + "; nothing was replaced");
  }
  // The new files were flushed as they were written; the backups' names now
  // are, before the first rename.
  if (problem.empty()) failed(sync_folders());
  interrupted = problem.empty() && stopping_now();

  for (Done& d : set) {
    if (!problem.empty() || interrupted) break;
    File& o = *d.file;
    const std::string base = base_of(o.path), temp = base_of(o.temp);
    int r = injected(Step::rename, base) ? -1 : 0;
    if (r == 0 && force_) {
      r = renameat(o.folder, temp.c_str(), o.folder, base.c_str());
    } else if (r == 0) {
      r = renameat2(o.folder, temp.c_str(), o.folder, base.c_str(), RENAME_NOREPLACE);
      if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
        r = linkat(o.folder, temp.c_str(), o.folder, base.c_str(),
                   0);  // refuses to replace as well
        if (r == 0) unlinkat(o.folder, temp.c_str(), 0);
      }
    }
    if (r != 0) {
      failed(errno == EEXIST
                 ? o.role + " '" + o.path +
                       "' appeared while zarvo was working; it was left as it is "
                       "(use --force to replace it)"
                 : "cannot put " + o.role + " '" + o.path + "' in place: " + error_text(errno));
      break;
    }
    d.renamed = true;
    unregister_temp(o.slot);  // the name is no longer a temporary
    o.slot = -1;
    interrupted = stopping_now();
  }
  if (problem.empty() && !interrupted) {
    failed(sync_folders());
    interrupted = problem.empty() && stopping_now();
  }

  std::string kept;  // backups that could not be put back
  if (!problem.empty() || interrupted) {
    // Take back what was renamed, newest first, and restore the old files.
    for (auto it = set.rbegin(); it != set.rend(); ++it) {
      File& o = *it->file;
      const std::string base = base_of(o.path);
      if (it->renamed) {
        const bool restored =
            it->backup.empty()
                ? !injected(Step::restore, base) && unlinkat(o.folder, base.c_str(), 0) == 0
                : !injected(Step::restore, base) &&
                      renameat(o.folder, it->backup.c_str(), o.folder, base.c_str()) == 0;
        if (restored)
          it->backup.clear();
        else if (!it->backup.empty())
          kept += (kept.empty() ? "" : ", ") + ("the old '" + o.path + "' is kept as '" +
                                                folder_of(o.path) + "/" + it->backup + "'");
        else
          kept += (kept.empty() ? "" : ", ") + ("the new '" + o.path + "' could not be removed");
        o.temp.clear();  // renamed: no longer ours to remove
      } else if (!it->backup.empty()) {
        unlinkat(o.folder, it->backup.c_str(), 0);
        it->backup.clear();
      }
    }
    sync_folders();
  } else {
    // Committed: the backups go. A signal from here on is too late to
    // change anything; it is taken and the run completes.
    for (Done& d : set) {
      d.file->temp.clear();
      if (!d.backup.empty() && !injected(Step::remove_backup, d.backup))
        unlinkat(d.file->folder, d.backup.c_str(), 0);
    }
    sync_folders();
  }
  for (int fd : locked) flock(fd, LOCK_UN);
  for (Done& d : set) discard(*d.file);

  if (problem.empty() && !interrupted) {
    const timespec now{0, 0};
    while (sigtimedwait(&stopping, nullptr, &now) > 0) {
    }
  }
  // A signal that interrupted the set is delivered here (the command's
  // handler ends the run); where it does not end the process, the caller
  // is told that nothing was written.
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  if (problem.empty() && !interrupted) return;
  std::string message = interrupted ? std::string("interrupted") : problem;
  const bool many = set.size() > 1 || outputs_.size() > 1;
  if (kept.empty())
    message += many ? "; none of the outputs was written, the old files are as they were" : "";
  else
    message += "; " + kept;
  throw std::runtime_error(message);
}

}  // namespace zarvo::cli
