// zarvo: denoise MRI and CT volumes stored as NIfTI files.
//
// The command line is declared once, here; the help text and the checks of
// every option come from this declaration.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <system_error>

#include "commands.h"
#include "io/files.h"
#include "io/nifti_io.h"
#include "io/sidecar.h"
#include "threads.h"
#include "zarvo/params.h"

namespace zc = zarvo::cli;

namespace {

std::string with_default(const std::string& text, double value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", value);
  return text + " [default profile: " + buf + "]";
}

// An expert option that overrides one profile value when given.
template <typename T>
struct Override {
  T value{};
  CLI::Option* option = nullptr;
  void apply(T& target) const {
    if (option && option->count()) target = value;
  }
};

}  // namespace

int main(int argc, char** argv) {
  zc::install_cleanup_handlers();
  std::string command_line;
  for (int i = 0; i < argc; ++i) command_line += (i ? " " : "") + zc::shell_quoted(argv[i]);
  CLI::App app{"zarvo: denoise MRI and CT volumes (NIfTI-1 and NIfTI-2, .nii and .nii.gz) by "
               "block matching and collaborative filtering of cubes, for Gaussian or Rician "
               "noise."};
  app.set_version_flag("--version", std::string("zarvo ") + zc::version());
  app.require_subcommand(1);
  // Common options: accepted before the subcommand and after it (listed in
  // every subcommand's --help).
  std::string threads_text;
  bool any_quiet = false, any_force = false;
  const char* threads_help =
      "threads for the walk over reference cubes: 0 = every core (default: $ZARVO_THREADS, "
      "else every core); clamped to what the machine and the volume can use; results do not "
      "depend on it";
  app.add_option("--threads", threads_text, threads_help)->type_name("N");
  auto add_common = [&](CLI::App* sub, bool& quiet, bool& force, const char* quiet_help,
                        const char* force_help) {
    sub->add_option("--threads", threads_text, threads_help)->type_name("N");
    sub->add_flag("--quiet", quiet, quiet_help);
    sub->add_flag("--force", force, force_help);
  };

  // ---- zarvo denoise -------------------------------------------------------
  zc::DenoiseOptions d;
  std::string profile_name = zarvo::profiles().front().name;
  CLI::App* denoise = app.add_subcommand(
      "denoise",
      "Denoise INPUT into OUTPUT (a new file; .nii or .nii.gz). 2-D images, 3-D volumes and 4-D "
      "series (volume by volume) keep their header, affines and voxel sizes.");
  denoise->add_option("INPUT", d.input, "noisy image (NIfTI-1/2: .nii, .nii.gz, .hdr/.img)")
      ->required();
  denoise->add_option("OUTPUT", d.output, "denoised image to write (.nii or .nii.gz)")->required();
  denoise->add_option("--noise", d.noise,
                      "noise model: gaussian, or rician for magnitude MRI")
      ->check(CLI::IsMember({"gaussian", "rician"}))
      ->capture_default_str();
  auto* sigma = denoise->add_option(
      "--sigma", d.sigma,
      "noise standard deviation in the image's own units: one value, or one per volume of a "
      "series separated by commas; when omitted it is estimated (see --sigma-scope, --estimate)");
  sigma->check([](const std::string& text) {
    return text.empty() ? std::string("an empty noise level; omit --sigma to estimate it")
                        : std::string();
  });
  denoise->add_option("--sigma-scope", d.sigma_scope,
                      "an estimated level of a 4-D series: one for the whole series (pooled over "
                      "its volumes), or one per volume")
      ->check(CLI::IsMember({"series", "volume"}))
      ->capture_default_str();
  denoise->add_option("--mask", d.mask,
                      "NIfTI mask of the input's spatial shape (nonzero = inside): the level is "
                      "estimated inside it, only cubes touching it are filtered, and every voxel "
                      "outside keeps the input's value");
  denoise->add_option("--sigma-map", d.sigma_map,
                      "Rician noise only: a NIfTI map of the noise level at every voxel, the "
                      "input's shape (one volume for a whole series, or one per volume)")
      ->excludes(sigma);
  denoise->add_option("--noise-map", d.noise_map,
                      "also write the noise level (standard deviation) the last stage used at "
                      "every voxel: the given or estimated level, the given map, or with "
                      "--estimate group the mean of the group estimates (not a residual)");
  denoise->add_option("--profile", profile_name, "parameter profile: " + zarvo::profile_names())
      ->check(CLI::IsMember([] {
        std::vector<std::string> names;
        for (const auto& p : zarvo::profiles()) names.push_back(p.name);
        return names;
      }()))
      ->capture_default_str();
  denoise->add_flag("--no-sidecar", [&d](std::int64_t) { d.sidecar = false; },
                    "do not write the JSON sidecar beside OUTPUT (OUTPUT's name with .json: "
                    "version, command line, noise model and levels, mask, parameters)");
  denoise->add_flag("--basic-only", d.basic_only,
                    "stop after the first (hard-thresholding) stage");
  denoise->add_option("--datatype", d.datatype,
                      std::string("output data type: ") + zc::datatype_names() +
                          " (integer types are scaled to fill their range)")
      ->capture_default_str();
  add_common(denoise, d.quiet, d.force, "no progress bar and no notes on standard error",
             "overwrite OUTPUT (and the noise map) if they exist");

  const zarvo::Params& base = zarvo::profiles().front().params;
  const std::string expert = "Expert options (override the profile)";
  Override<int> cube, depth, step, search, group1, group2;
  Override<double> lambda, tau1, tau2, alpha;
  bool soft = false, synchronous = false;
  std::string estimate;
  const char* estimate_help =
      "how an unknown level is estimated: group (each group's own estimate) or volume (one "
      "estimate for the whole volume, used as known)";
  auto* estimate_opt = denoise->add_option(
      "--estimate", estimate,
      std::string(estimate_help) + " [default profile: " +
          (base.estimate_gaussian == zarvo::Estimate::group ? "group" : "volume") +
          " for Gaussian, " + (base.estimate_rician == zarvo::Estimate::group ? "group" : "volume") +
          " for Rician noise]");
  estimate_opt->check(CLI::IsMember({"group", "volume"}))->group(expert);
  auto add_int = [&](const char* name, Override<int>& o, const char* text, int value) {
    o.option = denoise->add_option(name, o.value, with_default(text, value))->group(expert);
  };
  auto add_real = [&](const char* name, Override<double>& o, const char* text, double value) {
    o.option = denoise->add_option(name, o.value, with_default(text, value))->group(expert);
  };
  add_int("--cube", cube, "cube side in rows and columns (voxels)", base.cube);
  add_int("--depth", depth, "cube depth in slices (limited to the number of slices)", base.depth);
  add_int("--step", step, "step between reference cubes", base.step);
  add_int("--search", search, "half-width of the block-matching window (voxels)", base.search);
  add_int("--group1", group1, "largest group, first stage", base.group1);
  add_int("--group2", group2, "largest group, second stage", base.group2);
  add_real("--lambda", lambda, "hard threshold, in noise standard deviations", base.lambda);
  add_real("--tau1", tau1,
           "matching limit of the first stage: mean squared difference per voxel, in noise "
           "variances", base.tau1);
  add_real("--tau2", tau2, "matching limit of the second stage, likewise", base.tau2);
  add_real("--alpha", alpha, "alpha-rooting exponent, 1 = no sharpening", base.alpha);
  denoise->add_flag("--soft", soft, "soft thresholding instead of hard")->group(expert);
  denoise->add_flag("--synchronous", synchronous,
                    "match cubes only within the reference cube's own slices")
      ->group(expert);

  // ---- zarvo demo ----------------------------------------------------------
  zc::DemoOptions demo;
  CLI::App* demo_cmd = app.add_subcommand(
      "demo",
      "Synthesise a brain-like phantom, add Gaussian and Rician noise, denoise both, write the "
      "NIfTI files and a PNG of the middle slices into DIR, and print PSNR before and after. "
      "Files of an earlier demo in DIR are replaced.");
  demo_cmd->add_option("DIR", demo.folder, "folder for the results (created if missing)")
      ->capture_default_str();
  add_common(demo_cmd, demo.quiet, any_force, "print nothing",
             "accepted for symmetry: files of an earlier demo are always replaced");
  demo_cmd->add_option("--size", demo.size, "phantom size (slices; default 64)")
      ->check(CLI::Range(8, 512));

  // ---- zarvo profiles ------------------------------------------------------
  CLI::App* profiles_cmd = app.add_subcommand(
      "profiles", "Print the parameter profiles (the table the Octave function reads too).");
  add_common(profiles_cmd, any_quiet, any_force, "accepted (prints only the table)",
             "accepted (writes no file)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::fprintf(stderr, "zarvo: error: %s (see zarvo --help)\n", e.what());
    return 2;
  }

  try {
    // The one place where the thread count is chosen; the denoiser asks for
    // it once the volume (the work) is known, and hands it to the engine.
    const int requested =
        zc::requested_threads(threads_text.empty() ? -1 : zc::parse_threads(threads_text, "--threads"));
    auto use_threads = [&](long reference_cubes) {
      zc::prepare_engine();
      const zc::ThreadChoice c = zc::choose_threads(requested, reference_cubes);
      if (!c.note.empty() && !d.quiet && !demo.quiet)
        std::fprintf(stderr, "zarvo: %s\n", c.note.c_str());
      return c.threads;
    };
    d.use_threads = use_threads;
    d.read_threads = zc::choose_threads(requested, 0).threads;  // its notes come later
    if (*denoise) {
      d.command_line = command_line;
      d.params = zarvo::profile(profile_name);
      zarvo::Params& p = d.params;
      cube.apply(p.cube);
      depth.apply(p.depth);
      step.apply(p.step);
      search.apply(p.search);
      group1.apply(p.group1);
      group2.apply(p.group2);
      lambda.apply(p.lambda);
      tau1.apply(p.tau1);
      tau2.apply(p.tau2);
      alpha.apply(p.alpha);
      if (soft) p.soft = true;
      if (estimate_opt->count())
        p.estimate_gaussian = p.estimate_rician = zarvo::parse_estimate(estimate);
      if (synchronous) p.synchronous = true;
      zc::run_denoise(d);
    } else if (*demo_cmd) {
      demo.threads = use_threads(0);
      zc::run_demo(demo);
    } else if (*profiles_cmd) {
      std::fputs(zarvo::profile_table(), stdout);
    }
  } catch (const std::bad_alloc&) {  // reading names the file and its size itself
    const std::string work = *denoise ? "to denoise '" + d.input + "'" : "for the work";
    std::fprintf(stderr, "zarvo: error: not enough memory %s; free memory, raise the limit "
                         "(ulimit -v) or use fewer --threads\n", work.c_str());
    return 1;
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "zarvo: error: %s (%s); try fewer --threads or raise the limits "
                         "(ulimit -v, ulimit -u)\n",
                 e.code() == std::errc::resource_unavailable_try_again
                     ? "cannot start the worker threads" : "a system call failed",
                 e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zarvo: error: %s\n", e.what());
    return 1;
  }
  return 0;
}
