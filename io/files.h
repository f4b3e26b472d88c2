// File-system helpers: checks of output paths made before any work starts,
// and writing through a temporary file in the destination folder that is
// renamed into place only once it is complete.
#pragma once

#include <atomic>
#include <functional>
#include <string>

namespace zarvo::cli {

// Throws std::runtime_error when `path` cannot be an output: its folder is
// missing or not writable, it is a folder, it names the same file as
// `input` (when `input` is not empty), or it exists and `force` is false.
// `what` names the file in messages ("output", "noise map").
void check_output(const std::string& path, const std::string& input, bool force,
                  const std::string& what);

// The folder part of a path ("." for a bare name, "/" at the root) and the
// name part.
std::string folder_of(const std::string& path);
std::string base_of(const std::string& path);

// True when both paths exist and name the same file.
bool same_file(const std::string& a, const std::string& b);

// Calls write(temp) with a temporary path in the folder of `path` whose name
// ends like `path` (so a library that picks the format from the ending picks
// the right one), then renames the temporary file to `path`. If `write`
// throws or the process is interrupted (SIGINT, SIGTERM, SIGHUP), the
// temporary file is removed and `path` is left as it was.
void write_atomically(const std::string& path,
                      const std::function<void(const std::string&)>& write);

// Writes `text` to `file` (a new temporary, as write_atomically and the
// output set give it), checking that every byte went; `shown` names the
// file in messages.
void write_text_file(const std::string& file, const std::string& shown, const std::string& text);

// A temporary name in the folder of `path`, short whatever the length of
// `path`'s own name (".zarvo-PID-N" and the ending, such as ".nii.gz"), so
// it fits whenever `path` does.
std::string temporary_name(const std::string& path);

// Registers a temporary file for removal on SIGINT, SIGTERM or SIGHUP;
// returns its slot (-1 when the path is too long or every slot is taken).
int register_temp(const std::string& temp);
void unregister_temp(int slot);

// Removes the temporary files of writes in progress and restores the default
// signal dispositions; installed once by the command.
void install_cleanup_handlers();

// The flag the handlers above set on SIGINT, SIGTERM or SIGHUP once a run
// takes it (a RunContext's cancel): the first such signal then only sets it,
// and the run stops at its next look (the walk looks many times a second;
// the output set up to its commit point). Where the run has not stopped a
// second later (a phase that does not look, such as reading a large input),
// or at a second signal, the handler removes the temporaries and ends the
// process by the signal, as without the flag. The alarm that times the
// second is held back while an output set commits.
const std::atomic<bool>* stop_flag();

// The signal that set the flag, or 0.
int stop_signal();

// Removes the temporaries and ends the process by `sig`, as the signal
// itself would have (the exit status a shell shows as 128 + sig).
[[noreturn]] void end_by_signal(int sig);

}  // namespace zarvo::cli
