// Reading and writing NIfTI-1 and NIfTI-2 images (.nii, .nii.gz; .hdr/.img
// pairs on input) through the NIfTI library, with the checks a denoiser
// needs: real scalar data, finite voxels, at most four dimensions.
#pragma once

#include <nifti2_io.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "zarvo/buffer.h"
#include "zarvo/pipeline.h"

namespace zarvo::cli {

struct NiftiFree {
  void operator()(nifti_image* n) const;
};
using NiftiPtr = std::unique_ptr<nifti_image, NiftiFree>;

struct Image {
  NiftiPtr nim;  // header, geometry and the data as stored in the file
  int nx = 0, ny = 0, nz = 1, nt = 1;
  int ndim = 3;                          // the file's dim[0]: 2 to 4 (trailing sizes of 1 included)
  int version = 1;                       // of the file's header: 1 or 2 (0: ANALYZE 7.5)
  std::vector<std::string> files;        // the header file, and the data file of a pair
  Buffer<unsigned char> raw;             // the voxels as stored, in native byte order
  double lo = HUGE_VAL, hi = -HUGE_VAL;  // range of the scaled voxels (read_image)
  std::size_t volume_voxels() const { return static_cast<std::size_t>(nx) * ny * nz; }
  // Volume t (0-based) as doubles, scl_slope and scl_inter applied.
  std::vector<double> volume(int t) const;
  void read_volume(int t, double* out) const;  // the same into out
  // Voxels offset .. offset + n - 1 of the whole series, as read_volume.
  void read_voxels(std::size_t offset, std::size_t n, double* out) const;
  std::string shape() const;  // "181x217x181", "64x64x30x20"
};

// Reads and checks an image; throws std::runtime_error with a one-line
// message naming the file and the problem. `what` names the file's role;
// `threads` may share the first touch of the memory the data are read into.
Image read_image(const std::string& path, const std::string& what, int threads = 1);

enum class DataType { float32, float64, int16, uint16, int32, uint8 };
const std::vector<DataType>& datatypes();          // every one, the default first
DataType parse_datatype(const std::string& name);  // throws when unknown
const char* datatype_names();                      // for help text
const char* datatype_name(DataType type);          // "float32"

// Writes `data` (all volumes of `like`'s shape, column-major, doubles) with
// the header, affines and voxel sizes of `like`, in the NIfTI version of
// `like` (NIfTI-2 when the input was, or when the dimensions need it),
// compressed when `path` ends in .nii.gz. Integer types get scl_slope and
// scl_inter chosen so the values' range fills the type. The file is written
// to a temporary name, read back to check it is complete, and renamed.
void write_image(const std::string& path, const Image& like, const std::vector<double>& data,
                 DataType type, const std::string& description = "");

// Voxels as a file will store them, given a part at a time (the volumes of a
// series as they are denoised): float types are encoded as they arrive,
// integer types keep the values until finish(), as their scale factor must
// span the whole range.
struct Encoded {
  int datatype = 0;
  double slope = 1.0, inter = 0.0;
  Buffer<unsigned char> bytes;
};
class ImageEncoder {
 public:
  // `threads` share the first touch of the encoded voxels' memory.
  ImageEncoder(DataType type, bool float_header, std::size_t voxels, int threads = 1);
  ImageEncoder(const Image& like, DataType type, int threads = 1);  // every voxel of `like`
  void put(std::size_t offset, const double* values, std::size_t count);
  // The encoded voxels (once), or std::runtime_error naming `path` when the
  // values' range does not fit the type (see range_problem).
  Encoded finish(const std::string& path);

 private:
  void reserve();
  DataType type_;
  bool float_header_;
  bool ready_ = false;
  std::size_t voxels_;
  int threads_;
  double lo_ = HUGE_VAL, hi_ = -HUGE_VAL;
  Encoded encoded_;
  Buffer<double> values_;  // integer types
};

// Writes like write_image, but to exactly `file` (no temporary, no rename;
// the caller commits it), every voxel of `like` given to `data`; `shown`
// names the file in messages.
void write_image_file(const std::string& file, const std::string& shown, const Image& like,
                      ImageEncoder& data, const std::string& description = "");

// Writes like write_image_file one 3-D volume with the header and geometry
// of `like`'s volumes (a series' map), `like.volume_voxels()` values given
// to `data`.
void write_volume_file(const std::string& file, const std::string& shown, const Image& like,
                       ImageEncoder& data, const std::string& description = "");

// What stops values in [lo, hi] from being written as `type` (an empty
// string when nothing does): float32's range and smallest normal number,
// or an integer type's scale factor and intercept that would not be finite
// (stored as float in a NIfTI-1 header). Names the --datatype that holds them.
std::string range_problem(double lo, double hi, DataType type, bool float_header);
// The same for an output with the header of `like`.
std::string output_range_problem(double lo, double hi, DataType type, const Image& like);

// Writes a new image of the given shape with an identity affine (used by the
// demo for the synthetic phantom), voxel size `voxel` mm.
void write_new_image(const std::string& path, int nx, int ny, int nz,
                     const std::vector<double>& data, double voxel, DataType type,
                     const std::string& description);

// True when `path` ends in .nii or .nii.gz.
bool is_nifti_output_name(const std::string& path);

// The engine's shape of an image (its dimensions as the file has them).
Shape shape_of(const Image& image);

}  // namespace zarvo::cli
