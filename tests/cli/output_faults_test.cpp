// The output set under faults: every file-system step of its writes and its
// commit made to fail (through OutputSet's fault hook) or interrupted by a
// signal, a full disk, a folder swapped for a link, two runs committing at
// once. Whatever happens, the old set or the new set is whole, nothing else
// is left in the folders, and the inputs are untouched.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "io/files.h"
#include "io/outputs.h"
#include "support.h"

namespace zc = zarvo::cli;
using Step = zc::OutputSet::Step;
using zarvo::test::slurp;
using zarvo::test::spit;

namespace {

const char* step_name(Step s) {
  switch (s) {
    case Step::create:
      return "create";
    case Step::sync_file:
      return "sync_file";
    case Step::lock:
      return "lock";
    case Step::backup_link:
      return "backup_link";
    case Step::backup_copy:
      return "backup_copy";
    case Step::sync_folder:
      return "sync_folder";
    case Step::rename:
      return "rename";
    case Step::restore:
      return "restore";
    case Step::remove_backup:
      return "remove_backup";
  }
  return "?";
}

// Clears the hook whatever way a test ends.
struct HookGuard {
  explicit HookGuard(zc::OutputSet::FaultHook h) { zc::OutputSet::set_fault_hook(std::move(h)); }
  ~HookGuard() { zc::OutputSet::set_fault_hook({}); }
};

class OutputFaults : public zarvo::test::TempFolder {
 protected:
  void SetUp() override {
    TempFolder::SetUp();
    mkdir(path("out").c_str(), 0777);
    spit(path("in.nii"), "the input");
  }

  std::vector<std::string> listing(const std::string& folder) const {
    std::vector<std::string> names;
    DIR* d = opendir(folder.c_str());
    while (d && (errno = 0, true)) {
      dirent* e = readdir(d);
      if (!e) break;
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
        names.push_back(e->d_name);
    }
    if (d) closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::vector<std::string> names() const { return {"a.nii", "b.nii", "c.json"}; }

  void old_set(const std::string& folder) const {
    for (const std::string& n : names()) spit(folder + "/" + n, "old " + n);
  }

  // "old" or "new" when every file of the set holds that version, "none"
  // when none exists, else a description of the mix.
  std::string state(const std::string& folder) const {
    std::string all;
    int olds = 0, news = 0, missing = 0;
    for (const std::string& n : names()) {
      struct stat st {};
      if (lstat((folder + "/" + n).c_str(), &st) != 0) {
        ++missing;
        all += n + ": missing; ";
        continue;
      }
      const std::string c = slurp(folder + "/" + n);
      olds += c == "old " + n;
      news += c == "new " + n;
      all += n + ": " + c + "; ";
    }
    if (olds == 3) return "old";
    if (news == 3) return "new";
    if (missing == 3) return "none";
    return "mixed: " + all;
  }

  // Nothing but the set in the folder (no temporary, no backup).
  void clean(const std::string& folder, bool expect_set) const {
    EXPECT_EQ(listing(folder), expect_set ? names() : std::vector<std::string>{}) << folder;
  }

  // Writes and commits the set (a.nii, b.nii, c.json) into `folder`; the
  // message of what it threw, or "" when it committed.
  std::string run(const std::string& folder, bool force) const {
    try {
      zc::OutputSet set(force);
      set.add_input(path("in.nii"), "input");
      for (const std::string& n : names()) set.add_output(folder + "/" + n, n, n != "c.json");
      set.check();
      for (const std::string& n : names())
        set.write(folder + "/" + n, [&](const std::string& t) { spit(t, "new " + n); });
      set.commit();
      return "";
    } catch (const std::exception& e) {
      return std::string("threw: ") + e.what();
    }
  }

  // The steps a whole run makes, in order.
  std::vector<std::pair<Step, std::string>> steps(bool force) {
    std::vector<std::pair<Step, std::string>> seen;
    {
      HookGuard g([&](Step s, const std::string& n) {
        seen.emplace_back(s, n);
        return 0;
      });
      if (force) old_set(path("out"));
      EXPECT_EQ(run(path("out"), force), "");
    }
    EXPECT_EQ(state(path("out")), "new");
    for (const std::string& n : names()) std::remove(path("out/" + n).c_str());
    return seen;
  }

  void inputs_untouched() const { EXPECT_EQ(slurp(path("in.nii")), "the input"); }

  // Whether step i of `all` comes after the commit point: the flush of the
  // folder that follows the last rename.
  static bool late(const std::vector<std::pair<Step, std::string>>& all, std::size_t i) {
    std::size_t last_rename = 0;
    for (std::size_t j = 0; j < all.size(); ++j)
      if (all[j].first == Step::rename) last_rename = j;
    return i > last_rename + 1;
  }
};

}  // namespace

TEST_F(OutputFaults, EveryFailingStepLeavesTheOldSetOrTheNewOne) {
  for (bool force : {true, false}) {
    const auto all = steps(force);
    ASSERT_GT(all.size(), 8u);
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (force) old_set(path("out"));
      std::string outcome;
      {
        std::size_t call = 0;
        HookGuard g([&](Step, const std::string&) { return call++ == i ? EIO : 0; });
        outcome = run(path("out"), force);
      }
      const std::string what = std::string(force ? "--force, " : "") + step_name(all[i].first) +
                               " of '" + all[i].second + "' fails: " + outcome;
      const std::string s = state(path("out"));
      if (outcome.empty()) {
        // Only steps after the commit point may fail unnoticed.
        // A refused link is replaced by a copy, a folder that cannot be
        // locked is committed unlocked.
        EXPECT_TRUE(late(all, i) || all[i].first == Step::backup_link || all[i].first == Step::lock)
            << what;
        EXPECT_EQ(s, "new") << what;
      } else {
        EXPECT_EQ(s, force ? "old" : "none") << what;
        EXPECT_NE(outcome.find(std::string("threw: ")), std::string::npos) << what;
      }
      if (all[i].first != Step::remove_backup)
        clean(path("out"), s != "none");
      else
        EXPECT_EQ(listing(path("out")).size(), 4u) << what << ": the backup stays";
      inputs_untouched();
      for (const std::string& n : listing(path("out"))) std::remove(path("out/" + n).c_str());
    }
  }
}

TEST_F(OutputFaults, ABackupIsACopyWhereNoLinkCanBeMadeAndNothingIsReplacedWithoutOne) {
  // protected_hardlinks refuses links to another user's file: a copy keeps it.
  old_set(path("out"));
  {
    HookGuard g([](Step s, const std::string&) { return s == Step::backup_link ? EPERM : 0; });
    EXPECT_EQ(run(path("out"), true), "");
  }
  EXPECT_EQ(state(path("out")), "new");
  clean(path("out"), true);
  // No inodes left: neither a link nor a copy. Whichever file it is, nothing
  // is replaced (today the file is replaced without a backup, and lost when
  // a later rename fails).
  for (const std::string& refused : names()) {
    old_set(path("out"));
    std::string outcome;
    {
      HookGuard g([&](Step s, const std::string& n) {
        const bool it = n == refused;
        return (s == Step::backup_link || s == Step::backup_copy) && it ? ENOSPC : 0;
      });
      outcome = run(path("out"), true);
    }
    EXPECT_NE(outcome.find("cannot keep a backup of the old " + refused), std::string::npos)
        << outcome;
    EXPECT_NE(outcome.find("nothing was replaced"), std::string::npos) << outcome;
    EXPECT_EQ(state(path("out")), "old") << refused;
    clean(path("out"), true);
  }
  // A backup that cannot be put back is kept, and the message says where.
  old_set(path("out"));
  std::string outcome;
  {
    HookGuard g([](Step s, const std::string& n) {
      if (s == Step::rename && n == "c.json") return EACCES;
      if (s == Step::restore && n == "a.nii") return EIO;
      return 0;
    });
    outcome = run(path("out"), true);
  }
  EXPECT_NE(outcome.find("the old '" + path("out/a.nii") + "' is kept as '"), std::string::npos)
      << outcome;
  const std::string kept = outcome.substr(outcome.rfind(" as '") + 5);
  EXPECT_EQ(slurp(kept.substr(0, kept.size() - 1)), "old a.nii");
  EXPECT_EQ(slurp(path("out/b.nii")), "old b.nii");
  EXPECT_EQ(slurp(path("out/c.json")), "old c.json");
  inputs_untouched();
  // A new file that cannot be taken back (no old one) is named too.
  for (const std::string& n : listing(path("out"))) std::remove(path("out/" + n).c_str());
  {
    HookGuard g([](Step s, const std::string& n) {
      if (s == Step::rename && n == "c.json") return EACCES;
      if (s == Step::restore && n == "b.nii") return EIO;
      return 0;
    });
    outcome = run(path("out"), false);
  }
  EXPECT_NE(outcome.find("the new '" + path("out/b.nii") + "' could not be removed"),
            std::string::npos)
      << outcome;
  EXPECT_EQ(listing(path("out")), std::vector<std::string>{"b.nii"});
}

TEST_F(OutputFaults, ASignalAtAnyStepEndsWithTheOldSetOrCompletesWithTheNewOne) {
  // In a child process with the command's handlers, as a user's Ctrl-C or
  // a scheduler's SIGTERM would find it. Today a signal during the renames
  // is held until they are done, and then the run dies with every new file
  // in place.
  for (bool force : {true, false}) {
    const auto all = steps(force);
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (force) old_set(path("out"));
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        zc::install_cleanup_handlers();
        std::size_t call = 0;
        zc::OutputSet::set_fault_hook([&](Step, const std::string&) {
          if (call++ == i) raise(SIGTERM);
          return 0;
        });
        _exit(run(path("out"), force).empty() ? 0 : 3);
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      const std::string what = std::string(force ? "--force, " : "") + "SIGTERM at " +
                               step_name(all[i].first) + " of '" + all[i].second + "'";
      const std::string s = state(path("out"));
      if (WIFSIGNALED(status)) {
        EXPECT_EQ(WTERMSIG(status), SIGTERM) << what;
        EXPECT_EQ(s, force ? "old" : "none") << what;
        // Only a signal after the commit point comes too late.
        EXPECT_FALSE(late(all, i)) << what;
      } else {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << what << " status " << status;
        EXPECT_EQ(s, "new") << what;
        EXPECT_TRUE(late(all, i)) << what;
      }
      clean(path("out"), s != "none");
      inputs_untouched();
      for (const std::string& n : listing(path("out"))) std::remove(path("out/" + n).c_str());
    }
  }
}

TEST_F(OutputFaults, AFolderSwappedForALinkDuringTheWorkIsNotWrittenThrough) {
  // The output folder is replaced by a link to the input's folder, where a
  // file of the output's name is an input: nothing is committed anywhere.
  old_set(path("out"));
  mkdir(path("elsewhere").c_str(), 0777);
  for (const std::string& n : names()) spit(path("elsewhere/" + n), "input " + n);
  std::string outcome;
  try {
    zc::OutputSet set(true);
    set.add_input(path("in.nii"), "input");
    for (const std::string& n : names()) set.add_input(path("elsewhere/" + n), "other input");
    for (const std::string& n : names()) set.add_output(path("out/" + n), n, n != "c.json");
    set.check();
    for (const std::string& n : names())
      set.write(path("out/" + n), [&](const std::string& t) { spit(t, "new " + n); });
    ASSERT_EQ(rename(path("out").c_str(), path("out.moved").c_str()), 0);
    ASSERT_EQ(symlink(path("elsewhere").c_str(), path("out").c_str()), 0);
    set.commit();
  } catch (const std::exception& e) {
    outcome = e.what();
  }
  EXPECT_NE(outcome.find("was replaced while zarvo was working"), std::string::npos) << outcome;
  for (const std::string& n : names()) EXPECT_EQ(slurp(path("elsewhere/" + n)), "input " + n);
  EXPECT_EQ(state(path("out.moved")), "old");
  clean(path("out.moved"), true);
  clean(path("elsewhere"), true);
  inputs_untouched();
  // Swapped while the writer runs: the file written elsewhere is not the one
  // committed.
  std::remove(path("out").c_str());
  ASSERT_EQ(rename(path("out.moved").c_str(), path("out").c_str()), 0);
  outcome.clear();
  try {
    zc::OutputSet set(true);
    set.add_output(path("out/a.nii"), "output");
    set.check();
    set.write(path("out/a.nii"), [&](const std::string& t) {
      rename(path("out").c_str(), path("out.moved").c_str());
      symlink(path("elsewhere").c_str(), path("out").c_str());
      spit(t, "new a.nii");
    });
    set.commit();
  } catch (const std::exception& e) {
    outcome = e.what();
  }
  EXPECT_NE(outcome.find("not the one zarvo created"), std::string::npos) << outcome;
  EXPECT_EQ(state(path("out.moved")), "old");
  clean(path("out.moved"), true);
  clean(path("elsewhere"), true);
  // Swapped between the checks and the writing: nothing is written there.
  std::remove(path("out").c_str());
  ASSERT_EQ(rename(path("out.moved").c_str(), path("out").c_str()), 0);
  outcome.clear();
  try {
    zc::OutputSet set(true);
    set.add_output(path("out/a.nii"), "output");
    set.check();
    rename(path("out").c_str(), path("out.moved").c_str());
    symlink(path("elsewhere").c_str(), path("out").c_str());
    set.write(path("out/a.nii"), [&](const std::string& t) { spit(t, "new a.nii"); });
    set.commit();
  } catch (const std::exception& e) {
    outcome = e.what();
  }
  EXPECT_NE(outcome.find("the folder was replaced"), std::string::npos) << outcome;
  EXPECT_EQ(state(path("out.moved")), "old");
  clean(path("out.moved"), true);
  clean(path("elsewhere"), true);
}

TEST_F(OutputFaults, TwoRunsCommittingAtOnceLeaveOneRunsWholeSet) {
  // Run A is slow between its renames; run B commits meanwhile. Without the
  // folder's lock B's files would land between A's (one run's image, the
  // other's sidecar).
  old_set(path("out"));
  const std::string ready = path("a-renaming");
  auto commit_as = [&](const std::string& who, bool slow) {
    zc::OutputSet::set_fault_hook([&, slow](Step s, const std::string&) {
      if (slow && s == Step::rename) {
        spit(ready, "1");
        usleep(150 * 1000);
      }
      return 0;
    });
    zc::OutputSet set(true);
    for (const std::string& n : names()) set.add_output(path("out/" + n), n, n != "c.json");
    set.check();
    for (const std::string& n : names())
      set.write(path("out/" + n), [&](const std::string& t) { spit(t, who + " " + n); });
    set.commit();
  };
  const pid_t a = fork();
  ASSERT_GE(a, 0);
  if (a == 0) {
    try {
      commit_as("A", true);
      _exit(0);
    } catch (...) {
      _exit(3);
    }
  }
  struct stat st {};
  for (int i = 0; i < 500 && stat(ready.c_str(), &st) != 0; ++i) usleep(10 * 1000);
  const pid_t b = fork();
  ASSERT_GE(b, 0);
  if (b == 0) {
    try {
      commit_as("B", false);
      _exit(0);
    } catch (...) {
      _exit(3);
    }
  }
  int sa = 0, sb = 0;
  waitpid(a, &sa, 0);
  waitpid(b, &sb, 0);
  EXPECT_TRUE(WIFEXITED(sa) && WEXITSTATUS(sa) == 0) << sa;
  EXPECT_TRUE(WIFEXITED(sb) && WEXITSTATUS(sb) == 0) << sb;
  std::string first;
  for (const std::string& n : names()) {
    const std::string c = slurp(path("out/" + n));
    const std::string who = c.substr(0, 1);
    if (first.empty()) first = who;
    EXPECT_EQ(c, first + " " + n) << "one run's files and the other's in one set";
  }
  EXPECT_EQ(first, "B") << "B waited for A's commit and came after it";
  std::remove(ready.c_str());
  clean(path("out"), true);
}

TEST_F(OutputFaults, AFullDiskLeavesTheOldSet) {
  // A small file system of its own: where it cannot be mounted (not root,
  // no mount rights in this container) the test says so and is skipped.
  const std::string disk = path("disk");
  mkdir(disk.c_str(), 0777);
  if (geteuid() != 0 || mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k,nr_inodes=16") != 0)
    GTEST_SKIP() << "needs root and the right to mount a tmpfs (CI has both): "
                 << std::strerror(errno);
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{disk};
  old_set(disk);
  // The new files do not fit.
  std::string outcome;
  try {
    zc::OutputSet set(true);
    for (const std::string& n : names()) set.add_output(disk + "/" + n, n, n != "c.json");
    set.check();
    for (const std::string& n : names())
      set.write(disk + "/" + n, [&](const std::string& t) {
        std::FILE* f = std::fopen(t.c_str(), "wb");
        std::string block(48 * 1024, 'x');
        const bool ok = f && std::fwrite(block.data(), 1, block.size(), f) == block.size();
        if ((f && std::fclose(f) != 0) || !ok) throw std::runtime_error("disk full");
      });
    set.commit();
  } catch (const std::exception& e) {
    outcome = e.what();
  }
  EXPECT_EQ(outcome, "disk full");
  EXPECT_EQ(state(disk), "old");
  clean(disk, true);
  // No inodes left for the backups (links and copies take one here): the
  // set is replaced whole, or not at all.
  std::vector<std::string> fillers;
  for (int i = 0; i < 16; ++i) {
    const std::string f = disk + "/filler" + std::to_string(i);
    spit(f, "");
    struct stat st {};
    if (stat(f.c_str(), &st) == 0) fillers.push_back(f);
  }
  std::vector<std::string> seen;
  for (std::size_t free_inodes = 0; free_inodes < 8 && !fillers.empty(); ++free_inodes) {
    std::remove(fillers.back().c_str());
    fillers.pop_back();
    const std::string r = run(disk, true);
    const std::string s = state(disk);
    seen.push_back(s + (r.find("cannot keep a backup") != std::string::npos ? " (no backup)" : ""));
    EXPECT_TRUE(s == "old" || s == "new") << free_inodes << " free inodes: " << s << " " << r;
    EXPECT_EQ(r.empty(), s == "new") << r;
    old_set(disk);
  }
  for (const std::string& f : fillers) std::remove(f.c_str());
  clean(disk, true);
  // Too few inodes for the temporaries, then for the backups, then enough.
  EXPECT_NE(std::find(seen.begin(), seen.end(), "old (no backup)"), seen.end()) << seen.size();
  EXPECT_NE(std::find(seen.begin(), seen.end(), "new"), seen.end()) << seen.size();
}

TEST_F(OutputFaults, ASetAcrossFoldersIsCommittedWholeOrNotAtAllAtEveryFailingStep) {
  // a.nii, b.nii and c.json each in a folder of its own (output, noise map
  // and sidecar elsewhere): a failure anywhere before the commit point
  // leaves every folder's old file, in every folder.
  const std::vector<std::string> folders = {path("out"), path("maps"), path("notes")};
  for (const std::string& f : folders) mkdir(f.c_str(), 0777);
  auto file = [&](std::size_t k) { return folders[k] + "/" + names()[k]; };
  auto put_old = [&] {
    for (std::size_t k = 0; k < 3; ++k) spit(file(k), "old " + names()[k]);
  };
  auto versions = [&] {
    std::string v;
    for (std::size_t k = 0; k < 3; ++k) v += slurp(file(k)) + "|";
    return v;
  };
  auto run_across = [&]() -> std::string {
    try {
      zc::OutputSet set(true);
      set.add_input(path("in.nii"), "input");
      for (std::size_t k = 0; k < 3; ++k) set.add_output(file(k), names()[k], k != 2);
      set.check();
      for (std::size_t k = 0; k < 3; ++k)
        set.write(file(k), [&](const std::string& t) { spit(t, "new " + names()[k]); });
      set.commit();
      return "";
    } catch (const std::exception& e) {
      return e.what();
    }
  };
  const std::string old_versions = "old a.nii|old b.nii|old c.json|";
  const std::string new_versions = "new a.nii|new b.nii|new c.json|";
  std::vector<std::pair<Step, std::string>> all;
  {
    put_old();
    HookGuard g([&](Step s, const std::string& n) {
      all.emplace_back(s, n);
      return 0;
    });
    ASSERT_EQ(run_across(), "");
  }
  ASSERT_EQ(versions(), new_versions);
  int renames = 0;
  for (const auto& step : all) renames += step.first == Step::rename;
  ASSERT_EQ(renames, 3);
  for (std::size_t i = 0; i < all.size(); ++i) {
    put_old();
    std::string outcome;
    {
      std::size_t call = 0;
      HookGuard g([&](Step, const std::string&) { return call++ == i ? EIO : 0; });
      outcome = run_across();
    }
    const std::string what =
        std::string(step_name(all[i].first)) + " of '" + all[i].second + "' fails: " + outcome;
    EXPECT_EQ(versions(), outcome.empty() ? new_versions : old_versions) << what;
    for (std::size_t k = 0; k < 3; ++k) {
      // Nothing else is left, but the backup whose removal failed.
      if (all[i].first != Step::remove_backup) {
        EXPECT_EQ(listing(folders[k]), std::vector<std::string>{names()[k]}) << what;
      }
      for (const std::string& n : listing(folders[k]))
        if (n != names()[k]) std::remove((folders[k] + "/" + n).c_str());
    }
  }
  inputs_untouched();
}
