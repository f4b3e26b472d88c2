// zarvo: denoise MRI and CT volumes stored as NIfTI files.
//
// The command line is made here from the engine's declaration of its
// options (zarvo/options.h): their names, help, defaults and checks; only
// the command's own options (files, data type, --quiet, --force) are
// declared here.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <deque>
#include <exception>
#include <new>
#include <string>
#include <system_error>

#include "commands.h"
#include "io/files.h"
#include "io/nifti_io.h"
#include "io/sidecar.h"

namespace zc = zarvo::cli;

namespace {

// An engine option on the command line, kept as typed until the parse is
// done; its value is checked by the engine's declaration.
struct Slot {
  const zarvo::OptionDecl* decl = nullptr;
  std::string text;               // a value or a file
  int flag = -1;                  // a flag: 1 on, 0 off, -1 not given
  CLI::Option* option = nullptr;  // null for flags
};

std::string help_of(const zarvo::OptionDecl& o) {
  std::string help = o.help;
  if (o.kind == zarvo::OptionKind::levels) help += "; several separated by commas";
  if (o.kind == zarvo::OptionKind::data || o.kind == zarvo::OptionKind::output)
    return help + (std::string(o.name) == "report" ? " (an HTML file)" : " (a NIfTI file)");
  if (o.kind == zarvo::OptionKind::choice) {
    std::string values;
    for (const std::string& c : zarvo::option_choices(o)) values += (values.empty() ? "" : "|") + c;
    help += " (" + values + ")";
  }
  return help + " [default: " + zarvo::default_text(o) + "]";
}

// The engine's options of one subcommand, as the declaration lists them.
class EngineOptions {
 public:
  // Declares every option the command shows, except those in `skip`.
  void declare(CLI::App* sub, const std::vector<std::string>& skip) {
    for (const zarvo::OptionDecl& o : zarvo::option_table()) {
      if (!(o.front_ends & zarvo::command)) continue;
      if (std::find(skip.begin(), skip.end(), o.name) != skip.end()) continue;
      Slot& s = slots_.emplace_back();
      s.decl = &o;
      const std::string name = zc::dashed(o.name);
      if (o.kind == zarvo::OptionKind::flag) {
        // Both ways, so that a flag can undo a profile's value.
        sub->add_flag_function(
               name + ",!--no-" + name.substr(2), [&s](std::int64_t n) { s.flag = n > 0 ? 1 : 0; },
               help_of(o))
            ->group(o.expert ? expert_group : "Options");
      } else {
        s.option =
            sub->add_option(name, s.text, help_of(o))->group(o.expert ? expert_group : "Options");
        if (o.kind == zarvo::OptionKind::whole || o.kind == zarvo::OptionKind::real)
          s.option->type_name("NUMBER");
        else if (o.kind == zarvo::OptionKind::levels)
          s.option->type_name("LEVEL[,...]");
        else if (o.kind == zarvo::OptionKind::data || o.kind == zarvo::OptionKind::output)
          s.option->type_name("FILE");
        else
          s.option->type_name("TEXT");
      }
    }
  }

  CLI::Option* option(const std::string& name) const {
    for (const Slot& s : slots_)
      if (name == s.decl->name) return s.option;
    return nullptr;
  }

  // The file given for a data or output option; empty when not given.
  std::string file(const std::string& name) const {
    for (const Slot& s : slots_)
      if (name == s.decl->name) return s.text;
    return {};
  }

  // The values given, as the engine takes them; throws OptionError.
  zarvo::GivenOptions given() const {
    zarvo::GivenOptions out;
    for (const Slot& s : slots_) {
      const zarvo::OptionKind k = s.decl->kind;
      if (k == zarvo::OptionKind::data || k == zarvo::OptionKind::output) continue;
      if (k == zarvo::OptionKind::flag) {
        if (s.flag >= 0) out.emplace_back(s.decl->name, double(s.flag));
      } else if (s.option->count()) {
        out.emplace_back(s.decl->name, zarvo::parse_option_text(*s.decl, s.text));
      }
    }
    return out;
  }

 private:
  static constexpr const char* expert_group = "Expert options (override the profile)";
  std::deque<Slot> slots_;
};

// --threads, --quiet and --force: on the app and on every subcommand.
struct Common {
  const zarvo::OptionDecl& threads_decl = *zarvo::find_option("threads");
  std::string threads;
  bool any_quiet = false, any_force = false;
  bool quiet_first = false, force_first = false;  // given before the subcommand

  void add(CLI::App* sub, bool& quiet, bool& force, const char* quiet_help,
           const char* force_help) {
    sub->add_option("--threads", threads, help_of(threads_decl))->type_name("N");
    sub->add_flag("--quiet", quiet, quiet_help);
    sub->add_flag("--force", force, force_help);
  }
  // The thread count given, or the engine's default; throws OptionError.
  int thread_count() const {
    if (threads.empty()) return zarvo::threads_not_given;
    const zarvo::OptionValue v = zarvo::parse_option_text(threads_decl, threads);
    zarvo::check_option(threads_decl, v);
    return static_cast<int>(std::get<double>(v));
  }
};

// A data type the writer knows, checked by the parser so that a wrong one is
// a usage error like any other.
std::string datatype_problem(const std::string& text) {
  try {
    zc::parse_datatype(text);
    return {};
  } catch (const std::exception& e) {
    return e.what();
  }
}

// --datatype, checked by the parser so that a wrong one is a usage error.
void add_datatype(CLI::App* sub, std::string& datatype) {
  sub->add_option("--datatype", datatype,
                  std::string("output data type: ") + zc::datatype_names() +
                      " (integer types are scaled to fill their range) [default: " +
                      zc::datatype_name(zc::FileRequest().datatype) + "]")
      ->check(datatype_problem);
}

struct DenoiseCli {
  zc::DenoiseCommand command;
  EngineOptions engine;
  CLI::App* app = nullptr;
};

void declare_denoise(CLI::App& app, Common& common, DenoiseCli& d) {
  d.app = app.add_subcommand(
      "denoise",
      "Denoise INPUT into OUTPUT (a new file; .nii or .nii.gz). 2-D images, 3-D volumes and 4-D "
      "series keep their header, affines and voxel sizes.");
  zc::DenoiseCommand& c = d.command;
  d.app->add_option("INPUT", c.input, "noisy image (NIfTI-1/2: .nii, .nii.gz, .hdr/.img)")
      ->required();
  d.app->add_option("OUTPUT", c.output, "denoised image to write (.nii or .nii.gz)")->required();
  d.engine.declare(d.app, {"threads"});
  d.engine.option("sigma_map")->excludes(d.engine.option("sigma"));
  d.app->add_flag(
      "--no-sidecar", [&c](std::int64_t) { c.sidecar = false; },
      "do not write the JSON sidecar beside OUTPUT (OUTPUT's name with .json: "
      "version, command line, noise model and levels, mask, parameters)");
  add_datatype(d.app, c.datatype);
  common.add(d.app, c.quiet, c.force, "no progress bar and no notes on standard error",
             "overwrite OUTPUT (and the noise map, report and residual) if they exist");
}

struct BidsCli {
  zc::BidsCommand command;
  EngineOptions engine;
  CLI::App* app = nullptr;
};

void declare_bids(CLI::App& app, Common& common, BidsCli& b) {
  b.app = app.add_subcommand(
      "bids",
      "Denoise the images of a BIDS dataset into a BIDS derivative dataset, as a BIDS app: "
      "OUT_DIR/sub-<label>/[ses-<label>/]<datatype>/<source name with desc-<label>>, each with "
      "a sidecar carrying the source's metadata and Sources, and OUT_DIR/"
      "dataset_description.json. Complete outputs are kept on a rerun; a file that fails does "
      "not stop the others.");
  zc::BidsCommand& c = b.command;
  b.app->add_option("BIDS_DIR", c.bids_dir, "the BIDS dataset (read only)")->required();
  b.app->add_option("OUT_DIR", c.out_dir, "the derivative dataset to write (created if missing)")
      ->required();
  b.app->add_option("ANALYSIS_LEVEL", c.level, "participant (zarvo has no group level)")
      ->required()
      ->check(CLI::IsMember({"participant"}));
  b.app
      ->add_option("--participant-label", c.participants,
                   "participants to denoise, with or without sub- (default: every one)")
      ->type_name("LABEL ...");
  b.app
      ->add_option("--datatype-filter", c.datatypes,
                   "datatype folders to look in (default: anat dwi func)")
      ->type_name("TYPE ...");
  b.app->add_option("--desc", c.desc, "the derivatives' desc- label")->capture_default_str();
  // A dataset's images come without masks or maps: nothing to place.
  b.engine.declare(b.app, {"threads", "mask", "sigma_map", "allow_affine_mismatch", "noise_map",
                           "report", "residual"});
  b.app->add_flag(
      "--no-report", [&c](std::int64_t) { c.report = false; },
      "no QC page beside each output (default: its name with .html, and an index "
      "OUT_DIR/zarvo_reports.html)");
  add_datatype(b.app, c.datatype);
  common.add(b.app, c.quiet, c.force, "only errors and the summary on standard error",
             "denoise again and replace outputs that are complete");
}

void declare_demo(CLI::App& app, Common& common, zc::DemoOptions& demo, CLI::App*& sub) {
  sub = app.add_subcommand(
      "demo",
      "Synthesise a brain-like phantom, add Gaussian and Rician noise, denoise both, write the "
      "NIfTI files and a PNG of the middle slices into DIR, and print PSNR before and after. "
      "Files of an earlier demo in DIR are replaced.");
  sub->add_option("DIR", demo.folder, "folder for the results (created if missing)")
      ->capture_default_str();
  common.add(sub, demo.quiet, common.any_force, "print nothing",
             "accepted for symmetry: files of an earlier demo are always replaced");
  sub->add_option("--size", demo.size, "phantom size (slices; default 64)")
      ->check(CLI::Range(8, 512));
}

std::size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = up;
    }
  }
  return row[b.size()];
}

// Habits from other tools, answered before the parser sees them (its own
// messages would only say "not expected" or "a subcommand is required"):
// single-dash options as MRtrix3 spells them, and a mistyped subcommand.
// Empty when there is nothing to say.
std::string habit_problem(int argc, char** argv, CLI::App& app) {
  static const std::pair<const char*, const char*> spelled[] = {{"nthreads", "--threads"},
                                                                {"noise", "--noise-map"},
                                                                {"help", "--help"},
                                                                {"version", "--version"}};
  CLI::App* sub = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") break;
    if (a.size() > 2 && a[0] == '-' && std::isalpha(static_cast<unsigned char>(a[1]))) {
      const std::string name = a.substr(1);
      std::string hint;
      for (const auto& [theirs, ours] : spelled)
        if (name == theirs) hint = ours;
      CLI::App* where = sub ? sub : &app;
      if (hint.empty() && where->get_option_no_throw("--" + name)) hint = "--" + name;
      return "unknown option '" + a + "'; zarvo's options take two dashes" +
             (hint.empty() ? std::string(" (see zarvo --help)") : "; did you mean '" + hint + "'?");
    }
    if (a == "--threads") ++i;  // its value
    if (sub || a.empty() || a[0] == '-') continue;
    std::string names, closest;
    std::size_t best = 3;  // at most two edits apart
    for (CLI::App* s : app.get_subcommands({})) {
      names += (names.empty() ? "" : ", ") + s->get_name();
      const std::size_t d = edit_distance(a, s->get_name());
      if (d < best) best = d, closest = s->get_name();
      if (a == s->get_name()) sub = s;
    }
    if (!sub)
      return "unknown subcommand '" + a + "'" +
             (closest.empty() ? "" : "; did you mean '" + closest + "'?") +
             " (subcommands: " + names + ")";
  }
  return {};
}

// Runs what was parsed; returns the exit status.
int run(const DenoiseCli& d, const BidsCli& b, const Common& common, zc::DemoOptions& demo,
        CLI::App* demo_cmd, CLI::App* profiles_cmd) {
  try {
    const int threads = common.thread_count();
    if (*b.app) {
      zc::BidsCommand c = b.command;
      c.quiet = c.quiet || common.quiet_first;
      c.force = c.force || common.force_first;
      c.engine = b.engine.given();
      if (threads != zarvo::threads_not_given) c.engine.emplace_back("threads", double(threads));
      return zc::run_bids(c);
    }
    if (*d.app) {
      zc::DenoiseCommand c = d.command;
      c.quiet = c.quiet || common.quiet_first;
      c.force = c.force || common.force_first;
      c.mask = d.engine.file("mask");
      c.sigma_map = d.engine.file("sigma_map");
      c.noise_map = d.engine.file("noise_map");
      c.report = d.engine.file("report");
      c.residual = d.engine.file("residual");
      c.engine = d.engine.given();
      if (threads != zarvo::threads_not_given) c.engine.emplace_back("threads", double(threads));
      zc::run_denoise(c);
    } else if (*demo_cmd) {
      demo.threads = threads;
      demo.quiet = demo.quiet || common.quiet_first;
      zc::run_demo(demo);
    } else if (*profiles_cmd) {
      std::fputs(zarvo::profile_table(), stdout);
    }
  } catch (const zarvo::OptionError& e) {
    std::fprintf(stderr, "zarvo: error: %s: %s (see zarvo --help)\n",
                 zc::dashed(e.option()).c_str(), e.problem().c_str());
    return 2;
  } catch (const std::bad_alloc&) {  // reading names the file and its size itself
    const std::string work = *d.app ? "to denoise '" + d.command.input + "'" : "for the work";
    std::fprintf(stderr,
                 "zarvo: error: not enough memory %s; free memory, raise the limit "
                 "(ulimit -v) or use fewer --threads\n",
                 work.c_str());
    return 1;
  } catch (const std::system_error& e) {
    std::fprintf(stderr,
                 "zarvo: error: %s (%s); try fewer --threads or raise the limits "
                 "(ulimit -v, ulimit -u)\n",
                 e.code() == std::errc::resource_unavailable_try_again
                     ? "cannot start the worker threads"
                     : "a system call failed",
                 e.what());
    return 1;
  } catch (const zarvo::Cancelled&) {
    std::fprintf(stderr, "zarvo: interrupted; no output was written\n");
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zarvo: error: %s\n", zc::with_command_hint(e.what()).c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  zc::install_cleanup_handlers();
  CLI::App app{
      "zarvo: denoise MRI and CT volumes (NIfTI-1 and NIfTI-2, .nii and .nii.gz) by "
      "block matching and collaborative filtering of cubes, for Gaussian or Rician "
      "noise."};
  app.set_version_flag("--version", std::string("zarvo ") + zc::version());
  app.require_subcommand(1);
  // Common options: accepted before the subcommand and after it (listed in
  // every subcommand's --help).
  Common common;
  app.add_option("--threads", common.threads, help_of(common.threads_decl))->type_name("N");
  app.add_flag("--quiet", common.quiet_first, "as the subcommand's --quiet");
  app.add_flag("--force", common.force_first, "as the subcommand's --force");

  DenoiseCli denoise;
  declare_denoise(app, common, denoise);
  for (int i = 0; i < argc; ++i)
    denoise.command.command_line += (i ? " " : "") + zc::shell_quoted(argv[i]);
  BidsCli bids;
  declare_bids(app, common, bids);
  bids.command.command_line = denoise.command.command_line;
  zc::DemoOptions demo;
  CLI::App* demo_cmd = nullptr;
  declare_demo(app, common, demo, demo_cmd);
  CLI::App* profiles_cmd = app.add_subcommand(
      "profiles", "Print the parameter profiles (the table built into the engine).");
  common.add(profiles_cmd, common.any_quiet, common.any_force, "accepted (prints only the table)",
             "accepted (writes no file)");

  if (const std::string problem = habit_problem(argc, argv, app); !problem.empty()) {
    std::fprintf(stderr, "zarvo: error: %s\n", problem.c_str());
    return 2;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::fprintf(stderr, "zarvo: error: %s (see zarvo --help)\n", e.what());
    return 2;
  }
  const int status = run(denoise, bids, common, demo, demo_cmd, profiles_cmd);
  // Stopped by a signal: the run has ended, and the process ends by it, so
  // that the caller (a shell, a make) sees the interruption as such.
  if (const int sig = zc::stop_signal()) zc::end_by_signal(sig);
  return status;
}
