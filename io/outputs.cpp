#include "io/outputs.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "io/files.h"
#include "io/nifti_io.h"

namespace zarvo::cli {

namespace {

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

}  // namespace

OutputSet::~OutputSet() {
  for (File& f : outputs_)
    if (!f.temp.empty()) {
      unlink(f.temp.c_str());
      unregister_temp(f.slot);
    }
}

void OutputSet::add_input(const std::string& path, const std::string& role) {
  if (!path.empty()) inputs_.push_back({path, role, {}, false, -1});
}

void OutputSet::add_output(const std::string& path, const std::string& role, bool nifti) {
  if (!path.empty()) outputs_.push_back({path, role, {}, nifti, -1});
}

void OutputSet::check() const {
  for (std::size_t i = 0; i < outputs_.size(); ++i) {
    const File& o = outputs_[i];
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
    if (access(folder.c_str(), W_OK | X_OK) != 0)
      throw std::runtime_error("cannot write into the " + o.role + " folder '" + folder +
                               "': " + std::strerror(errno));
    const long name_max = pathconf(folder.c_str(), _PC_NAME_MAX);
    if (base.size() > static_cast<std::size_t>(name_max > 0 ? name_max : NAME_MAX))
      throw std::runtime_error(name + ": the name is too long (" + std::to_string(base.size()) +
                               " characters; this folder takes at most " +
                               std::to_string(name_max > 0 ? name_max : NAME_MAX) + ")");
    if (o.path.size() >= PATH_MAX)
      throw std::runtime_error(name + ": the path is too long");
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
}

void OutputSet::write(const std::string& path,
                      const std::function<void(const std::string&)>& writer) {
  for (File& o : outputs_) {
    if (o.path != path) continue;
    // Reserve a fresh temporary name (created exclusively), then write it.
    for (int attempt = 0;; ++attempt) {
      std::string temp = temporary_name(path);
      const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        close(fd);
        o.temp = temp;
        o.slot = register_temp(temp);
        break;
      }
      if (errno != EEXIST || attempt > 100)
        throw std::runtime_error("cannot create a file in the " + o.role + " folder '" +
                                 folder_of(path) + "': " + std::strerror(errno));
    }
    try {
      writer(o.temp);
    } catch (...) {
      unlink(o.temp.c_str());
      unregister_temp(o.slot);
      o.temp.clear();
      throw;
    }
    return;
  }
  throw std::logic_error("OutputSet::write: '" + path + "' was not declared");
}

void OutputSet::commit() {
  // No signal may stop the commit half-way: they wait until it is done (or
  // undone), then end the run as usual.
  sigset_t block, old;
  sigemptyset(&block);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&block, s);
  sigprocmask(SIG_BLOCK, &block, &old);

  struct Done {
    const File* file;
    std::string backup;  // hard link to the file it replaced, if any
  };
  std::vector<Done> done;
  std::string problem;
  for (File& o : outputs_) {
    if (o.temp.empty()) continue;
    Done d{&o, {}};
    if (force_) {
      struct stat st {};
      if (lstat(o.path.c_str(), &st) == 0) {
        for (int attempt = 0; attempt < 100; ++attempt) {
          const std::string b = temporary_name(o.path);
          if (::link(o.path.c_str(), b.c_str()) == 0) {
            d.backup = b;
            break;
          }
          if (errno != EEXIST) break;  // no hard links here: replace without a backup
        }
      }
      if (std::rename(o.temp.c_str(), o.path.c_str()) != 0) {
        problem = "cannot put " + o.role + " '" + o.path + "' in place: " + std::strerror(errno);
        if (!d.backup.empty()) unlink(d.backup.c_str());
        break;
      }
    } else {
      int r = renameat2(AT_FDCWD, o.temp.c_str(), AT_FDCWD, o.path.c_str(), RENAME_NOREPLACE);
      if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
        r = ::link(o.temp.c_str(), o.path.c_str());  // refuses to replace as well
        if (r == 0) unlink(o.temp.c_str());
      }
      if (r != 0) {
        problem = errno == EEXIST
                      ? o.role + " '" + o.path +
                            "' appeared while zarvo was working; it was left as it is (use "
                            "--force to replace it)"
                      : "cannot put " + o.role + " '" + o.path + "' in place: " +
                            std::strerror(errno);
        break;
      }
    }
    done.push_back(d);
  }
  if (!problem.empty()) {
    // Take back what was committed, newest first, and restore the old files.
    for (auto it = done.rbegin(); it != done.rend(); ++it) {
      if (!it->backup.empty()) std::rename(it->backup.c_str(), it->file->path.c_str());
      else unlink(it->file->path.c_str());
    }
  } else {
    for (const Done& d : done)
      if (!d.backup.empty()) unlink(d.backup.c_str());
  }
  for (File& o : outputs_) {
    if (!o.temp.empty()) {
      bool committed = false;
      for (const Done& d : done) committed |= d.file == &o;
      if (!committed || !problem.empty()) unlink(o.temp.c_str());
      unregister_temp(o.slot);
      o.temp.clear();
    }
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  if (!problem.empty())
    throw std::runtime_error(problem + (outputs_.size() > 1 ? "; none of the outputs was written" : ""));
}

}  // namespace zarvo::cli
