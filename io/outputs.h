// The set of files a run writes, checked before the work and committed
// together at its end, so that outputs cannot destroy each other, the
// inputs or files that appeared while the run was working.
//
//   OutputSet outputs(force);
//   outputs.add_input(in, "input");                 // every file the run reads
//   outputs.add_output(out, "output");              // every file it writes
//   outputs.add_output(map, "noise map");           // (one line per output)
//   outputs.check();                                // before the work
//   ... the work ...
//   outputs.write(out, [&](const std::string& temp) { /* write temp */ });
//   outputs.commit();                               // all or none
//
// Files are compared by identity (device and inode, after resolving links)
// and, for files that do not exist yet, by their folder's real path and name.
// Every output is written to a temporary name in its own folder and flushed
// to the disk; commit() renames them into place with the folders locked
// against other runs (flock), having checked again that each folder is still
// the one checked before the work and that no name became an input (where
// a folder cannot be locked, as on some network file systems, unlocked).
//
// Without force a name is never replaced (a file that appeared meanwhile
// stops the commit). With force every file about to be replaced first gets
// a backup (a hard link, else a copy) in its folder, flushed with the folder,
// before the first rename; a file that cannot be backed up stops the commit
// before anything is replaced. A failure or a signal (SIGINT, SIGTERM,
// SIGHUP) before the last rename was flushed takes the renamed files back
// and restores the old ones; a signal after it is too late and the run
// completes. So commit() returns with every new file in place, or throws
// (or dies of the signal) with every old file in place.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace zarvo::cli {

class OutputSet {
 public:
  explicit OutputSet(bool force) : force_(force) {}
  ~OutputSet();  // removes the temporaries of a run that did not commit
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;

  // A file the run reads: no output may be it. `role` names it in messages
  // ("input", "noise level map").
  void add_input(const std::string& path, const std::string& role);
  // A file the run writes; `nifti` requires a .nii or .nii.gz name. An empty
  // path is ignored (an option not given).
  void add_output(const std::string& path, const std::string& role, bool nifti = true);
  // A name that must not exist, even with force, when the set is checked and
  // when it is committed; `why` is the message when it does.
  void add_absent(const std::string& path, const std::string& why);

  // Throws std::runtime_error naming the first problem: a bad name, a name
  // too long, a missing or unwritable folder, an output that is a folder, an
  // input, another output, or an existing file without force.
  void check();

  // Writes output `path` (as given to add_output) through `writer`, which
  // must write the file it is given (a temporary name in the same folder,
  // already created, empty); the result is flushed to the disk.
  void write(const std::string& path, const std::function<void(const std::string&)>& writer);

  // The size and CRC-32 (zlib's, 8 hex digits) of output `path` as
  // written: enough to tell the file from a truncated, damaged or other one.
  struct Digest {
    long long bytes = 0;
    std::string crc32;
  };
  Digest digest(const std::string& path) const;

  // Renames every written temporary into place, or none (see above).
  void commit();

  // A flag that, once set, counts as a signal to commit() (a front end
  // whose own handler takes the signals, as Python's does, sets it there).
  void set_cancel(const std::atomic<bool>* cancel) { cancel_ = cancel; }

  // The steps of write() and commit() that touch the file system, for
  // tests: a hook set by set_fault_hook is called before each with the step
  // and the name it acts on, and a non-zero return makes the step fail with
  // that errno as if the system had refused it. The hook may also raise a
  // signal to interrupt the set at that step.
  enum class Step {
    create,
    sync_file,
    lock,
    backup_link,
    backup_copy,
    sync_folder,
    rename,
    restore,
    remove_backup
  };
  using FaultHook = std::function<int(Step, const std::string& name)>;
  static void set_fault_hook(FaultHook hook);  // an empty hook: none

 private:
  struct File {
    std::string path, role, temp;
    bool nifti = true;
    int slot = -1;
    int folder = -1;       // the folder, opened when the output is written
    int fd = -1;           // the temporary, open from its creation to the commit
    dev_t folder_dev = 0;  // the folder's identity when the set was checked
    ino_t folder_ino = 0;
  };
  struct Identity {
    dev_t dev;
    ino_t ino;
  };
  void discard(File& f);
  bool force_;
  const std::atomic<bool>* cancel_ = nullptr;
  std::vector<File> inputs_, outputs_;
  std::vector<std::pair<std::string, std::string>> absent_;
  std::vector<Identity> input_ids_;  // of every input, when the set was checked
};

}  // namespace zarvo::cli
