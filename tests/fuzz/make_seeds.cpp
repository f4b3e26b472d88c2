// Writes the seed corpus of the NIfTI reading fuzzer (see read_one.h for
// the layout of an input): NIfTI-1 and NIfTI-2, plain and gzip, single files
// and .hdr/.img pairs, every data type, 2-D to 4-D. Usage: make_seeds DIR
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "io/nifti_io.h"

namespace zc = zarvo::cli;

namespace {

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void emit(const std::string& dir, const std::string& name, const std::string& bytes) {
  std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  mkdir(dir.c_str(), 0777);
  char work[] = "/tmp/zarvo-seeds-XXXXXX";
  if (!mkdtemp(work)) return 1;
  const int types[] = {DT_UINT8, DT_INT8,   DT_INT16,   DT_UINT16,  DT_INT32,     DT_UINT32,
                       DT_INT64, DT_UINT64, DT_FLOAT32, DT_FLOAT64, DT_COMPLEX64, DT_RGB24};
  const std::vector<std::vector<int64_t>> shapes = {{5, 4}, {4, 3, 2}, {3, 3, 2, 2}};
  int count = 0;
  for (int dt : types)
    for (const auto& shape : shapes) {
      int64_t dims[8] = {static_cast<int64_t>(shape.size()), 1, 1, 1, 1, 1, 1, 1};
      for (std::size_t i = 0; i < shape.size(); ++i) dims[i + 1] = shape[i];
      const std::string tag = std::to_string(dt) + "_" + std::to_string(shape.size()) + "d";
      for (int layout = 0; layout < 4; ++layout) {
        zc::NiftiPtr nim(nifti_make_new_nim(dims, dt, 1));
        for (int64_t i = 0; i < nim->nvox * nim->nbyper; ++i)
          static_cast<unsigned char*>(nim->data)[i] = static_cast<unsigned char>(i * 7 + 1);
        if (dt == DT_FLOAT32)
          for (int64_t i = 0; i < nim->nvox; ++i) static_cast<float*>(nim->data)[i] = 0.5f * i;
        if (dt == DT_FLOAT64)
          for (int64_t i = 0; i < nim->nvox; ++i) static_cast<double*>(nim->data)[i] = 0.25 * i;
        nim->scl_slope = layout == 1 ? 2.0 : 0.0;
        const char* ending[] = {".nii", ".nii.gz", ".hdr", ".hdr.gz"};
        const std::string base = std::string(work) + "/s";
        const std::string file = base + ending[layout];
        if (nifti_set_filenames(nim.get(), file.c_str(), 0, 1) != 0) continue;
        nifti_image_write(nim.get());
        std::string bytes(1, static_cast<char>(layout));
        if (layout < 2) {
          bytes += slurp(file);
        } else {
          const std::string head = slurp(file);
          const std::string img = slurp(base + (layout == 2 ? ".img" : ".img.gz"));
          bytes += static_cast<char>(head.size() & 0xff);
          bytes += static_cast<char>(head.size() >> 8);
          bytes += head + img;
        }
        emit(dir, "v1_" + tag + "_" + std::to_string(layout), bytes);
        ++count;
        unlink(file.c_str());
        unlink((base + ".img").c_str());
        unlink((base + ".img.gz").c_str());
      }
      // NIfTI-2, single files (plain and gzip), through the command's writer.
      if (dt == DT_FLOAT32) {
        for (int layout = 0; layout < 2; ++layout) {
          const std::string one = std::string(work) + "/one.nii";
          zc::NiftiPtr nim(nifti_make_new_nim(dims, DT_FLOAT32, 1));
          for (int64_t i = 0; i < nim->nvox; ++i) static_cast<float*>(nim->data)[i] = 1.5f * i;
          nifti_set_filenames(nim.get(), one.c_str(), 0, 1);
          nifti_image_write(nim.get());
          zc::Image im = zc::read_image(one, "seed");
          im.version = 2;
          std::vector<double> v;
          for (int t = 0; t < im.nt; ++t) {
            const auto x = im.volume(t);
            v.insert(v.end(), x.begin(), x.end());
          }
          const std::string two = std::string(work) + (layout ? "/two.nii.gz" : "/two.nii");
          zc::ImageEncoder data(im, zc::DataType::float64);
          data.put(0, v.data(), v.size());
          zc::write_image_file(two, two, im, data, "seed");
          emit(dir, "v2_" + tag + "_" + std::to_string(layout),
               std::string(1, static_cast<char>(layout)) + slurp(two));
          ++count;
          unlink(one.c_str());
          unlink(two.c_str());
        }
      }
    }
  rmdir(work);
  std::printf("%d seeds in %s\n", count, dir.c_str());
  return 0;
}
