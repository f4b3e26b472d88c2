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
// Every output is written to a temporary name in its own folder; commit()
// renames them into place. Without --force a name is never replaced (a file
// that appeared meanwhile stops the commit); with --force the old files are
// kept as hard links until every rename succeeded. A failure leaves none of
// the new files and every old one.
#pragma once

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

  // Throws std::runtime_error naming the first problem: a bad name, a name
  // too long, a missing or unwritable folder, an output that is a folder, an
  // input, another output, or an existing file without --force.
  void check() const;

  // Writes output `path` (as given to add_output) through `writer`, which
  // must create the file it is given (a temporary name in the same folder).
  void write(const std::string& path, const std::function<void(const std::string&)>& writer);

  // Renames every written temporary into place, or none: on failure the
  // committed ones are taken back and the old files restored.
  void commit();

 private:
  struct File {
    std::string path, role, temp;
    bool nifti = true;
    int slot = -1;
  };
  bool force_;
  std::vector<File> inputs_, outputs_;
};

}  // namespace zarvo::cli
