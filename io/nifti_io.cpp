#include "io/nifti_io.h"

#include <fcntl.h>
#include <nifti2_io.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>

#include "core/memory.h"
#include "core/parts.h"
#include "io/files.h"
#include "io/nifti_header.h"

namespace zarvo::cli {

void NiftiFree::operator()(nifti_image* n) const { nifti_image_free(n); }

namespace {

struct Quiet {  // the library reports through stderr; we report ourselves
  Quiet() { nifti_set_debug_level(0); }
};
const Quiet quiet;

std::runtime_error fail(const std::string& what, const std::string& path, const std::string& msg) {
  return std::runtime_error(what + " '" + path + "' " + msg);
}

template <typename T>
void convert(const void* src, std::size_t offset, std::size_t n, double slope, double inter,
             double* dst) {
  const T* s = static_cast<const T*>(src) + offset;
  if (slope == 1.0 && inter == 0.0) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<double>(s[i]);
  } else {
    for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<double>(s[i]) * slope + inter;
  }
}

// Dimensions past dim[0] count as 1 (some writers leave them 0).
void normalise_dims(nifti_image* nim) {
  const int64_t n = nim->dim[0] < 1 ? 1 : (nim->dim[0] > 7 ? 7 : nim->dim[0]);
  nim->dim[0] = n;
  for (int64_t i = n + 1; i <= 7; ++i) nim->dim[i] = 1;
  nifti_update_dims_from_array(nim);
}

bool scaled(const nifti_image* nim) {
  return nim->scl_slope != 0.0 && std::isfinite(nim->scl_slope) && std::isfinite(nim->scl_inter);
}

// The NIfTI library reports some problems on standard error whatever its
// debug level; while it works, standard error goes nowhere (our own message
// says what went wrong).
class StderrSilenced {
 public:
  StderrSilenced() {
    std::fflush(stderr);
    saved_ = dup(2);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null >= 0) dup2(null, 2);
    if (null >= 0) close(null);
  }
  ~StderrSilenced() {
    std::fflush(stderr);
    if (saved_ >= 0) {
      dup2(saved_, 2);
      close(saved_);
    }
  }
  StderrSilenced(const StderrSilenced&) = delete;
  StderrSilenced& operator=(const StderrSilenced&) = delete;

 private:
  int saved_ = -1;
};

std::string megabytes(double bytes) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.0f MB", std::ceil(bytes / 1048576.0));
  return buf;
}

}  // namespace

std::vector<double> Image::volume(int t) const {
  std::vector<double> v(volume_voxels());
  read_volume(t, v.data());
  return v;
}

void Image::read_volume(int t, double* out) const {
  const std::size_t n = volume_voxels();
  read_voxels(n * static_cast<std::size_t>(t), n, out);
}

void Image::read_voxels(std::size_t offset, std::size_t n, double* out) const {
  double slope = 1.0, inter = 0.0;
  if (scaled(nim.get())) slope = nim->scl_slope, inter = nim->scl_inter;
  const void* d = raw.data();
  switch (nim->datatype) {
    case DT_UINT8:
      convert<std::uint8_t>(d, offset, n, slope, inter, out);
      break;
    case DT_INT8:
      convert<std::int8_t>(d, offset, n, slope, inter, out);
      break;
    case DT_INT16:
      convert<std::int16_t>(d, offset, n, slope, inter, out);
      break;
    case DT_UINT16:
      convert<std::uint16_t>(d, offset, n, slope, inter, out);
      break;
    case DT_INT32:
      convert<std::int32_t>(d, offset, n, slope, inter, out);
      break;
    case DT_UINT32:
      convert<std::uint32_t>(d, offset, n, slope, inter, out);
      break;
    case DT_INT64:
      convert<std::int64_t>(d, offset, n, slope, inter, out);
      break;
    case DT_UINT64:
      convert<std::uint64_t>(d, offset, n, slope, inter, out);
      break;
    case DT_FLOAT32:
      convert<float>(d, offset, n, slope, inter, out);
      break;
    case DT_FLOAT64:
      convert<double>(d, offset, n, slope, inter, out);
      break;
    default:
      throw std::logic_error("unchecked data type");
  }
}

std::string Image::shape() const {
  std::string s = std::to_string(nx) + "x" + std::to_string(ny);
  if (ndim >= 3) s += "x" + std::to_string(nz);
  if (ndim >= 4) s += "x" + std::to_string(nt);
  return s;
}

Image read_image(const std::string& path, const std::string& what, int threads) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0)
    throw fail(what, path, std::string("cannot be opened: ") + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) throw fail(what, path, "is a folder, not a NIfTI file");
  if (!S_ISREG(st.st_mode))
    throw fail(what, path, "is not a regular file (a FIFO, device or socket); give a NIfTI file");
  if (access(path.c_str(), R_OK) != 0)
    throw fail(what, path, std::string("cannot be read: ") + std::strerror(errno));
  Header h;
  if (std::string problem = read_header(path, h); !problem.empty()) throw fail(what, path, problem);
  for (int i = 5; i <= 7; ++i)
    if (h.dim[i] > 1)
      throw fail(what, path, "has more than 4 dimensions; zarvo reads 2-D, 3-D and 4-D images");
  const int64_t limit = 65535;
  if (h.dim[1] > limit || h.dim[2] > limit || h.dim[3] > limit)
    throw fail(what, path, "is larger than 65535 voxels along a spatial axis");
  if (h.dim[1] * h.dim[2] * h.dim[3] > std::numeric_limits<int>::max())
    throw fail(what, path, "has too many voxels per volume (2^31 or more)");
  if (h.dim[4] > std::numeric_limits<int>::max())
    throw fail(what, path, "has too many volumes (2^31 or more)");

  Image im;
  im.version = h.version;
  im.files.push_back(h.header_file);
  if (h.data_file != h.header_file) im.files.push_back(h.data_file);
  {
    StderrSilenced silenced;
    im.nim.reset(h.version == 2 ? nifti_convert_n2hdr2nim(h.n2, path.c_str())
                                : nifti_convert_n1hdr2nim(h.n1, path.c_str()));
    if (im.nim)
      for (const NiftiExtension& e : h.extensions)
        nifti_add_extension(im.nim.get(), e.data.data(), static_cast<int>(e.data.size()), e.code);
  }
  nifti_image* nim = im.nim.get();
  if (!nim) throw fail(what, path, "has a header the NIfTI library cannot take");
  normalise_dims(nim);
  if (nim->nx != h.dim[1] || nim->ny != h.dim[2] || nim->nz != h.dim[3] || nim->nt != h.dim[4] ||
      static_cast<std::uint64_t>(nim->nvox) != h.voxels || nim->datatype != h.datatype)
    throw fail(what, path, "has a header the NIfTI library reads differently (damaged header?)");
  nim->scl_slope = h.slope;
  nim->scl_inter = h.inter;
  im.nx = static_cast<int>(nim->nx);
  im.ny = static_cast<int>(nim->ny);
  im.nz = static_cast<int>(nim->nz);
  im.nt = static_cast<int>(nim->nt);
  // The file's own number of dimensions, trailing ones of size 1 included
  // (a series of one volume stays 4-D, an X x Y x 1 volume 3-D, and a 5-D
  // file whose fifth size is 1 is written back 5-D); the engine sees at most
  // four.
  im.ndim = static_cast<int>(h.dim[0] < 2 ? 2 : (h.dim[0] > 4 ? 4 : h.dim[0]));
  nim->ndim = nim->dim[0] = std::max<std::int64_t>(im.ndim, h.dim[0]);

  try {
    if (std::string problem = read_data(h, im.raw, threads); !problem.empty())
      throw fail(what, path, problem);
  } catch (const std::bad_alloc&) {
    throw fail(
        what, path,
        "does not fit in memory: its data take " + megabytes(static_cast<double>(h.data_bytes)));
  }

  // Every voxel must be finite after scaling: the threads scan a share of
  // each volume each, a chunk at a time.
  struct Scan {
    std::size_t bad = 0, first = 0;  // first: in the volume
    double lo = HUGE_VAL, hi = -HUGE_VAL;
  };
  const std::size_t n = im.volume_voxels();
  for (int t = 0; t < im.nt; ++t) {
    const std::size_t base = n * static_cast<std::size_t>(t);
    std::vector<Scan> scans(static_cast<std::size_t>(std::max(threads, 1)));
    const int parts =
        in_parts(n, threads, std::size_t{1} << 20, [&](int p, std::size_t begin, std::size_t end) {
          Scan& s = scans[static_cast<std::size_t>(p)];
          double v[4096];
          for (std::size_t at = begin; at < end; at += 4096) {
            const std::size_t count = std::min<std::size_t>(4096, end - at);
            im.read_voxels(base + at, count, v);
            for (std::size_t i = 0; i < count; ++i) {
              if (!std::isfinite(v[i])) {
                if (s.bad++ == 0) s.first = at + i;
              } else {
                s.lo = v[i] < s.lo ? v[i] : s.lo;  // v[i] is finite here
                s.hi = v[i] > s.hi ? v[i] : s.hi;
              }
            }
          }
        });
    std::size_t bad = 0, first = 0;
    for (int p = parts - 1; p >= 0; --p) {
      const Scan& s = scans[static_cast<std::size_t>(p)];
      if (s.bad) first = s.first;
      bad += s.bad;
      im.lo = std::min(im.lo, s.lo);
      im.hi = std::max(im.hi, s.hi);
    }
    if (bad) {
      const std::size_t x = first % im.nx, y = (first / im.nx) % im.ny,
                        z = first / (static_cast<std::size_t>(im.nx) * im.ny);
      std::string where = std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(z);
      if (im.nt > 1) where += "," + std::to_string(t);
      throw fail(what, path,
                 "holds " + std::to_string(bad) + " NaN or infinite voxel(s) (the first at voxel " +
                     where + "); replace them before denoising");
    }
  }
  return im;
}

const std::vector<DataType>& datatypes() {
  static const std::vector<DataType> all{DataType::float32, DataType::float64, DataType::int16,
                                         DataType::uint16,  DataType::int32,   DataType::uint8};
  return all;
}

DataType parse_datatype(const std::string& n) {
  for (DataType t : datatypes())
    if (n == datatype_name(t)) return t;
  throw std::runtime_error("unknown data type '" + n + "' (known: " + datatype_names() + ")");
}

const char* datatype_name(DataType t) {
  switch (t) {
    case DataType::float32:
      return "float32";
    case DataType::float64:
      return "float64";
    case DataType::int16:
      return "int16";
    case DataType::uint16:
      return "uint16";
    case DataType::int32:
      return "int32";
    case DataType::uint8:
      return "uint8";
  }
  return "?";
}

const char* datatype_names() {
  static const std::string names = [] {
    std::string s;
    for (DataType t : datatypes()) s += (s.empty() ? "" : ", ") + std::string(datatype_name(t));
    return s;
  }();
  return names.c_str();
}

bool is_nifti_output_name(const std::string& p) {
  auto ends = [&](const char* e) {
    const std::size_t n = std::strlen(e);
    return p.size() > n && p.compare(p.size() - n, n, e) == 0;
  };
  return ends(".nii") || ends(".nii.gz");
}

namespace {

template <typename T>
void limits_of(double& lo, double& hi) {
  lo = static_cast<double>(std::numeric_limits<T>::lowest());
  hi = static_cast<double>(std::numeric_limits<T>::max());
}

void type_limits(DataType t, double& lo, double& hi) {
  switch (t) {
    case DataType::int16:
      limits_of<std::int16_t>(lo, hi);
      break;
    case DataType::uint16:
      limits_of<std::uint16_t>(lo, hi);
      break;
    case DataType::int32:
      limits_of<std::int32_t>(lo, hi);
      break;
    case DataType::uint8:
      limits_of<std::uint8_t>(lo, hi);
      break;
    default:
      lo = hi = 0;
      break;
  }
}

// The slope and intercept that spread [lo, hi] over an integer type, as the
// header will store them (float in a NIfTI-1 header). False when they are
// not finite, or the slope is 0 (which means "no scaling").
bool integer_scaling(double lo, double hi, DataType t, bool float_header, double& slope,
                     double& inter) {
  double tlo, thi;
  type_limits(t, tlo, thi);
  slope = hi > lo ? (hi - lo) / (thi - tlo) : 1.0;
  if (float_header) slope = static_cast<double>(static_cast<float>(slope));
  inter = lo - tlo * slope;
  if (float_header) inter = static_cast<double>(static_cast<float>(inter));
  const double least =
      float_header ? std::numeric_limits<float>::min() : std::numeric_limits<double>::min();
  return std::isfinite(slope) && std::isfinite(inter) && slope >= least;
}

std::string fmt(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

template <typename T>
void store(const double* v, std::size_t n, double slope, double inter, bool integer, T* d) {
  for (std::size_t i = 0; i < n; ++i) {
    double x = (v[i] - inter) / slope;
    if (integer) {
      x = std::nearbyint(x);
      const double lo = static_cast<double>(std::numeric_limits<T>::lowest());
      const double hi = static_cast<double>(std::numeric_limits<T>::max());
      x = x < lo ? lo : (x > hi ? hi : x);
    }
    d[i] = static_cast<T>(x);
  }
}

template <typename T>
T* as(Buffer<unsigned char>& bytes) {
  return reinterpret_cast<T*>(bytes.data());
}

Encoded encode(const std::vector<double>& v, DataType type, bool float_header,
               const std::string& path) {
  ImageEncoder e(type, float_header, v.size());
  e.put(0, v.data(), v.size());
  return e.finish(path);
}

// A single-file NIfTI-2 image: the library builds the header, znzlib writes
// it (the library's own writer does not lay out single NIfTI-2 files). The
// header extensions are not carried over.
void write_nifti2(const std::string& file, const std::string& shown, nifti_image* nim,
                  const Buffer<unsigned char>& bytes) {
  nifti_2_header h;
  nim->nifti_type = NIFTI_FTYPE_NIFTI2_1;
  if (nifti_convert_nim2n2hdr(nim, &h) != 0)
    throw std::runtime_error("cannot make a NIfTI-2 header for '" + shown + "'");
  h.vox_offset = 544;
  static const char magic[8] = {'n', '+', '2', '\0', '\r', '\n', '\032', '\n'};
  std::memcpy(h.magic, magic, sizeof magic);
  znzFile f = znzopen(file.c_str(), "wb", nifti_is_gzfile(file.c_str()));
  if (znz_isnull(f)) throw std::runtime_error("cannot create '" + shown + "'");
  const char extension[4] = {0, 0, 0, 0};
  const bool ok = znzwrite(&h, sizeof h, 1, f) == 1 && znzwrite(extension, 4, 1, f) == 1 &&
                  znzwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const int closed = znzclose(f);
  if (!ok || closed != 0)
    throw std::runtime_error("writing '" + shown +
                             "' failed (disk full, or the folder not writable?)");
}

bool needs_version2(const nifti_image* nim, int version) {
  return version == 2 || nim->nx > 32767 || nim->ny > 32767 || nim->nz > 32767 || nim->nt > 32767;
}

// Writes `out` with the encoded data to exactly `file`, and reads it back.
void write_nim_file(const std::string& file, const std::string& shown, nifti_image* out,
                    const Encoded& e, bool version2, const std::string& description) {
  out->datatype = e.datatype;
  nifti_datatype_sizes(out->datatype, &out->nbyper, &out->swapsize);
  out->scl_slope = e.slope;
  out->scl_inter = e.inter;
  out->cal_min = out->cal_max = 0.0;
  if (!description.empty()) {
    std::memset(out->descrip, 0, sizeof out->descrip);
    std::strncpy(out->descrip, description.c_str(), sizeof out->descrip - 1);
  }
  {
    StderrSilenced silenced;
    if (nifti_set_filenames(out, file.c_str(), 0, 1) != 0)
      throw std::runtime_error("cannot name the output file '" + shown + "'");
    if (version2) {
      write_nifti2(file, shown, out, e.bytes);
    } else {
      out->nifti_type = NIFTI_FTYPE_NIFTI1_1;
      out->data = const_cast<unsigned char*>(e.bytes.data());
      nifti_image_write(out);
      out->data = nullptr;
    }
  }
  // The library reports write errors only on stderr: read the file back.
  Header h;
  const bool same = read_header(file, h).empty() && h.datatype == e.datatype &&
                    h.voxels == static_cast<std::uint64_t>(out->nvox) &&
                    data_equal(h, e.bytes.data(), e.bytes.size());
  if (!same)
    throw std::runtime_error("writing '" + shown +
                             "' failed (disk full, or the folder not writable?)");
}

}  // namespace

std::string range_problem(double lo, double hi, DataType type, bool float_header) {
  const double top = std::fmax(std::fabs(lo), std::fabs(hi));
  const double fmax = std::numeric_limits<float>::max(), fmin = std::numeric_limits<float>::min();
  const std::string span = "the values span " + fmt(lo) + " to " + fmt(hi);
  const char* roomy = top <= fmax && (top == 0 || top >= fmin) ? "float32 or float64" : "float64";
  switch (type) {
    case DataType::float64:
      return {};
    case DataType::float32:
      if (top > fmax)
        return span + ", beyond float32's range (" + fmt(fmax) + "); --datatype float64 holds them";
      if (top > 0 && top < fmin)
        return span + ", all below float32's smallest normal number (" + fmt(fmin) +
               ") in magnitude, so they would be written as 0 or lose their precision; "
               "--datatype float64 holds them";
      return {};
    default: {
      double slope, inter;
      if (!integer_scaling(lo, hi, type, float_header, slope, inter))
        return span + ", which " + std::string(datatype_name(type)) +
               " with a scale factor cannot represent (the header's scl_slope/scl_inter would "
               "not be finite and positive); --datatype " +
               roomy + " holds them";
      return {};
    }
  }
}

ImageEncoder::ImageEncoder(DataType type, bool float_header, std::size_t voxels, int threads)
    : type_(type), float_header_(float_header), voxels_(voxels), threads_(threads) {}

void ImageEncoder::reserve() {
  // On the first part, not before: a front end that puts volumes as they
  // are denoised pays for the memory while the work goes on.
  if (ready_) return;
  switch (type_) {
    case DataType::float32:
      resize_large(encoded_.bytes, voxels_ * sizeof(float), threads_);
      break;
    case DataType::float64:
      resize_large(encoded_.bytes, voxels_ * sizeof(double), threads_);
      break;
    default:
      resize_large(values_, voxels_, threads_);
      break;
  }
  ready_ = true;
}

ImageEncoder::ImageEncoder(const Image& like, DataType type, int threads)
    : ImageEncoder(type, !needs_version2(like.nim.get(), like.version),
                   static_cast<std::size_t>(like.nim->nvox), threads) {}

void ImageEncoder::put(std::size_t offset, const double* v, std::size_t n) {
  if (offset > voxels_ || n > voxels_ - offset)
    throw std::logic_error("ImageEncoder: out of range");
  reserve();
  for (std::size_t i = 0; i < n; ++i) lo_ = v[i] < lo_ ? v[i] : lo_, hi_ = v[i] > hi_ ? v[i] : hi_;
  switch (type_) {
    case DataType::float32:
      store(v, n, 1, 0, false, as<float>(encoded_.bytes) + offset);
      break;
    case DataType::float64:
      store(v, n, 1, 0, false, as<double>(encoded_.bytes) + offset);
      break;
    default:
      std::copy(v, v + n, values_.begin() + static_cast<std::ptrdiff_t>(offset));
      break;
  }
}

Encoded ImageEncoder::finish(const std::string& path) {
  reserve();
  double lo = lo_, hi = hi_;
  if (voxels_ == 0) lo = hi = 0;
  if (std::string p = range_problem(lo, hi, type_, float_header_); !p.empty())
    throw std::runtime_error("'" + path + "': " + p);
  Encoded e = std::move(encoded_);
  switch (type_) {
    case DataType::float32:
      e.datatype = DT_FLOAT32;
      return e;
    case DataType::float64:
      e.datatype = DT_FLOAT64;
      return e;
    case DataType::int16:
      e.datatype = DT_INT16;
      break;
    case DataType::uint16:
      e.datatype = DT_UINT16;
      break;
    case DataType::int32:
      e.datatype = DT_INT32;
      break;
    case DataType::uint8:
      e.datatype = DT_UINT8;
      break;
  }
  // Integer types: the scale factor spans the whole range.
  integer_scaling(lo, hi, type_, float_header_, e.slope, e.inter);
  const std::size_t n = values_.size();
  auto put_all = [&](auto* none) {
    using T = std::remove_pointer_t<decltype(none)>;
    e.bytes.resize(n * sizeof(T));
    store(values_.data(), n, e.slope, e.inter, true, as<T>(e.bytes));
  };
  switch (type_) {
    case DataType::int16:
      put_all(static_cast<std::int16_t*>(nullptr));
      break;
    case DataType::uint16:
      put_all(static_cast<std::uint16_t*>(nullptr));
      break;
    case DataType::int32:
      put_all(static_cast<std::int32_t*>(nullptr));
      break;
    case DataType::uint8:
      put_all(static_cast<std::uint8_t*>(nullptr));
      break;
    default:
      break;
  }
  Buffer<double>().swap(values_);
  return e;
}

std::string output_range_problem(double lo, double hi, DataType type, const Image& like) {
  return range_problem(lo, hi, type, !needs_version2(like.nim.get(), like.version));
}

void write_image_file(const std::string& file, const std::string& shown, const Image& like,
                      ImageEncoder& data, const std::string& description) {
  NiftiPtr out(nifti_copy_nim_info(like.nim.get()));
  if (!out) throw std::runtime_error("cannot copy the header for '" + shown + "'");
  const bool version2 = needs_version2(out.get(), like.version);
  const Encoded e = data.finish(shown);
  write_nim_file(file, shown, out.get(), e, version2, description);
}

void write_volume_file(const std::string& file, const std::string& shown, const Image& like,
                       ImageEncoder& data, const std::string& description) {
  NiftiPtr out(nifti_copy_nim_info(like.nim.get()));
  if (!out) throw std::runtime_error("cannot copy the header for '" + shown + "'");
  out->dim[0] = std::min<std::int64_t>(out->dim[0], 3);
  normalise_dims(out.get());
  out->ndim = out->dim[0];
  const bool version2 = needs_version2(out.get(), like.version);
  const Encoded e = data.finish(shown);
  write_nim_file(file, shown, out.get(), e, version2, description);
}

void write_image(const std::string& path, const Image& like, const std::vector<double>& data,
                 DataType type, const std::string& description) {
  if (data.size() != static_cast<std::size_t>(like.nim->nvox))
    throw std::logic_error("write_image: data and header sizes differ");
  ImageEncoder encoder(like, type);
  encoder.put(0, data.data(), data.size());
  write_atomically(path, [&](const std::string& temp) {
    write_image_file(temp, path, like, encoder, description);
  });
}

void write_new_image(const std::string& path, int nx, int ny, int nz,
                     const std::vector<double>& data, double voxel, DataType type,
                     const std::string& description) {
  const int64_t dims[8] = {3, nx, ny, nz, 1, 1, 1, 1};
  NiftiPtr out(nifti_make_new_nim(dims, DT_FLOAT32, 0));
  if (!out) throw std::runtime_error("cannot make a header for '" + path + "'");
  normalise_dims(out.get());
  out->dx = out->dy = out->dz = voxel;
  out->pixdim[1] = out->pixdim[2] = out->pixdim[3] = voxel;
  out->xyz_units = NIFTI_UNITS_MM;
  out->qform_code = out->sform_code = NIFTI_XFORM_SCANNER_ANAT;
  out->quatern_b = out->quatern_c = out->quatern_d = 0.0;
  out->qfac = 1.0;
  out->qoffset_x = -0.5 * voxel * (nx - 1);
  out->qoffset_y = -0.5 * voxel * (ny - 1);
  out->qoffset_z = -0.5 * voxel * (nz - 1);
  out->qto_xyz = nifti_quatern_to_dmat44(0, 0, 0, out->qoffset_x, out->qoffset_y, out->qoffset_z,
                                         voxel, voxel, voxel, 1.0);
  out->sto_xyz = out->qto_xyz;
  out->nifti_type = NIFTI_FTYPE_NIFTI1_1;
  if (data.size() != static_cast<std::size_t>(out->nvox))
    throw std::logic_error("write_new_image: data and shape differ");
  const bool version2 = needs_version2(out.get(), 1);
  const Encoded e = encode(data, type, !version2, path);
  write_atomically(path, [&](const std::string& temp) {
    write_nim_file(temp, path, out.get(), e, version2, description);
  });
}

Shape shape_of(const Image& im) {
  Shape s;
  s.ndims = im.ndim;
  s.rows = im.nx;
  s.cols = im.ny;
  s.slices = im.nz;
  s.volumes = im.nt;
  return s;
}

}  // namespace zarvo::cli
