#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "commands.h"
#include "io/nifti_io.h"
#include "phantom.h"
#include "picture.h"
#include "progress.h"

namespace zarvo::cli {

void run_demo(const DemoOptions& o) {
  const std::string dir = o.folder.empty() ? "." : o.folder;
  if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
    throw std::runtime_error("cannot create the folder '" + dir + "': " + std::strerror(errno));
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw std::runtime_error("'" + dir + "' is not a folder");

  // A head of 1 mm voxels, noise of 5 % of the brightest tissue.
  const int n = o.size > 0 ? o.size : 64;
  const int rows = n * 5 / 4, cols = n * 3 / 2, slices = n;
  const Volume clean = brain_phantom(rows, cols, slices);
  double peak = 0;
  for (double x : clean.data) peak = x > peak ? x : peak;
  const int percent = 5;
  const double sigma = percent / 100.0 * peak;
  std::vector<std::uint8_t> head(clean.voxels());
  for (std::size_t i = 0; i < head.size(); ++i) head[i] = clean.data[i] > 0;

  auto path = [&](const std::string& name) { return dir + "/" + name; };
  write_new_image(path("clean.nii.gz"), rows, cols, slices, clean.data, 1.0, DataType::float32,
                  "zarvo demo: noise-free phantom");
  if (!o.quiet)
    std::printf(
        "Phantom %dx%dx%d, noise %d%% of the peak (sigma %.1f); the denoiser estimates "
        "the level itself.\n",
        rows, cols, slices, percent, sigma);

  // The picture: the middle slice, at least 240 pixels wide so that the
  // labels fit over the columns; the residual from -3 to +3 sigma, 0 at
  // mid-grey.
  LabelledGrid grid;
  grid.columns = 4;
  const int k = slices / 2, zoom = std::max(3, (240 + rows - 1) / rows);
  const double shown = 3 * sigma;
  Progress progress(4, !o.quiet);
  RunContext context;
  context.threads = o.threads;
  context.progress = [&progress](long done, long total) { progress.update(done, total); };
  struct Line {
    const char* model;
    double before, after, estimated, seconds;
  };
  std::vector<Line> lines;
  for (Noise noise : {Noise::gaussian, Noise::rician}) {
    const bool rician = noise == Noise::rician;
    const char* model = rician ? "rician" : "gaussian";
    const Volume noisy =
        rician ? add_rician_noise(clean, sigma, 2) : add_gaussian_noise(clean, sigma, 1);
    zarvo::DenoiseOptions q;
    q.noise = noise;
    const auto start = std::chrono::steady_clock::now();
    const int base = rician ? 2 : 0;
    PipelineEvents events;
    events.stage = [&](int, int stage, int, const char* name) {
      progress.begin(base + stage, std::string(model) + " noise, " + name);
    };
    std::vector<double> estimate;
    const DenoiseReport r = denoise(
        series_input(ArrayView::column_major(noisy.data.data(), noisy.shape())), q,
        [&](int, const double* e, const double*) { estimate.assign(e, e + noisy.voxels()); },
        context, events);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    write_new_image(path(std::string(model) + "_noisy.nii.gz"), rows, cols, slices, noisy.data, 1.0,
                    DataType::float32, std::string("zarvo demo: ") + model + " noise");
    write_new_image(path(std::string(model) + "_denoised.nii.gz"), rows, cols, slices, estimate,
                    1.0, DataType::float32, "zarvo demo: denoised");
    lines.push_back({model, psnr(clean.data, noisy.data, head), psnr(clean.data, estimate, head),
                     r.volumes[0].sigma, seconds});
    for (const std::vector<double>* v : {&clean.data, &noisy.data, &std::as_const(estimate)})
      grid.cells.push_back(slice_picture(*v, rows, cols, k, 0.0, peak, zoom));
    std::vector<double> residual(noisy.voxels());
    for (std::size_t i = 0; i < residual.size(); ++i) residual[i] = noisy.data[i] - estimate[i];
    grid.cells.push_back(slice_picture(residual, rows, cols, k, -shown, shown, zoom));
    char label[160];
    std::snprintf(label, sizeof label, "%s %d%%: noisy %.1f dB, denoised %.1f dB",
                  rician ? "Rician" : "Gaussian", percent, lines.back().before, lines.back().after);
    grid.row_labels.push_back(label);
  }
  progress.finish();
  char title[160];
  std::snprintf(title, sizeof title,
                "zarvo demo: head phantom %d x %d x %d, middle slice, noise %d%% of the peak", rows,
                cols, slices, percent);
  grid.title = title;
  grid.column_labels = {"clean", "noisy", "denoised", "residual\nnoisy - denoised"};
  grid.caption =
      "PSNR over the head, peak = the phantom's maximum. Residual: mid-grey is 0, black and "
      "white are -3 and +3 sigma; a good denoiser leaves only noise there, no edges.";
  write_png(path("demo.png"), labelled_grid(grid));

  if (!o.quiet) {
    std::printf("%-9s %15s %12s %14s %9s\n", "noise", "estimated sigma", "PSNR noisy",
                "PSNR denoised", "time");
    for (const Line& l : lines)
      std::printf("%-9s %15.1f %9.2f dB %11.2f dB %8.1fs\n", l.model, l.estimated, l.before,
                  l.after, l.seconds);
    std::printf(
        "PSNR over the head, peak = the phantom's maximum.\n"
        "Wrote %s: clean.nii.gz, {gaussian,rician}_{noisy,denoised}.nii.gz and demo.png\n"
        "(mid slice; columns clean | noisy | denoised | residual, rows Gaussian | "
        "Rician).\n",
        dir.c_str());
  }
}

}  // namespace zarvo::cli
