#include "nifti_io.h"

#include <nifti2_io.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "files.h"

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

std::string type_problem(int dt) {
  switch (dt) {
    case DT_UINT8: case DT_INT8: case DT_INT16: case DT_UINT16: case DT_INT32:
    case DT_UINT32: case DT_INT64: case DT_UINT64: case DT_FLOAT32: case DT_FLOAT64:
      return {};
    case DT_COMPLEX64: case DT_COMPLEX128: case DT_COMPLEX256:
      return "holds complex data; zarvo denoises real (magnitude) data only";
    case DT_RGB24: case DT_RGBA32:
      return "holds RGB colour data; zarvo denoises scalar data only";
    default:
      return std::string("has data type ") + nifti_datatype_to_string(dt) +
             ", which zarvo does not read";
  }
}

// NIfTI version of the header in `path` (1 or 2; 0 for ANALYZE 7.5), or -1
// when the file does not start with a header the library knows. A .hdr/.img
// pair is recognised by its .hdr.
int header_version(const std::string& path) {
  if (!nifti_is_complete_filename(path.c_str())) return -1;
  char* header_name = nifti_findhdrname(path.c_str());
  if (!header_name) return -1;
  unsigned char buf[540] = {};
  znzFile f = znzopen(header_name, "rb", nifti_is_gzfile(header_name));
  std::free(header_name);
  if (znz_isnull(f)) return -1;
  const std::size_t got = znzread(buf, 1, sizeof buf, f);
  znzclose(f);
  if (got < 348) return -1;
  return nifti_header_version(reinterpret_cast<const char*>(buf), got);
}

// Reads the voxels as stored. nifti_image_load would do it too, but it
// replaces NaN and infinite floats by 0 silently, and those must be reported.
void load_data(nifti_image* nim, const std::string& what, const std::string& path) {
  const std::size_t bytes = static_cast<std::size_t>(nim->nvox) * nim->nbyper;
  void* data = std::malloc(bytes ? bytes : 1);
  if (!data) throw fail(what, path, "does not fit in memory");
  znzFile f = znzopen(nim->iname, "rb", nifti_is_gzfile(nim->iname));
  if (znz_isnull(f)) {
    std::free(data);
    throw fail(what, path, "cannot be opened for its data");
  }
  std::size_t got = 0;
  if (znzseek(f, static_cast<znz_off_t>(nim->iname_offset), SEEK_SET) >= 0)
    got = znzread(data, 1, bytes, f);
  znzclose(f);
  if (got != bytes) {
    std::free(data);
    throw fail(what, path, "is truncated or its data cannot be read");
  }
  if (nim->byteorder != nifti_short_order() && nim->swapsize > 1)
    nifti_swap_Nbytes(static_cast<int64_t>(bytes / nim->swapsize), nim->swapsize, data);
  nim->data = data;
}

}  // namespace

std::vector<double> Image::volume(int t) const {
  std::vector<double> v(volume_voxels());
  read_volume(t, v.data());
  return v;
}

void Image::read_volume(int t, double* out) const {
  const std::size_t n = volume_voxels(), offset = n * static_cast<std::size_t>(t);
  double slope = 1.0, inter = 0.0;
  if (scaled(nim.get())) slope = nim->scl_slope, inter = nim->scl_inter;
  const void* d = nim->data;
  switch (nim->datatype) {
    case DT_UINT8: convert<std::uint8_t>(d, offset, n, slope, inter, out); break;
    case DT_INT8: convert<std::int8_t>(d, offset, n, slope, inter, out); break;
    case DT_INT16: convert<std::int16_t>(d, offset, n, slope, inter, out); break;
    case DT_UINT16: convert<std::uint16_t>(d, offset, n, slope, inter, out); break;
    case DT_INT32: convert<std::int32_t>(d, offset, n, slope, inter, out); break;
    case DT_UINT32: convert<std::uint32_t>(d, offset, n, slope, inter, out); break;
    case DT_INT64: convert<std::int64_t>(d, offset, n, slope, inter, out); break;
    case DT_UINT64: convert<std::uint64_t>(d, offset, n, slope, inter, out); break;
    case DT_FLOAT32: convert<float>(d, offset, n, slope, inter, out); break;
    case DT_FLOAT64: convert<double>(d, offset, n, slope, inter, out); break;
    default: throw std::logic_error("unchecked data type");
  }
}

std::string Image::shape() const {
  std::string s = std::to_string(nx) + "x" + std::to_string(ny);
  if (ndim >= 3) s += "x" + std::to_string(nz);
  if (ndim >= 4) s += "x" + std::to_string(nt);
  return s;
}

Image read_image(const std::string& path, const std::string& what) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0)
    throw fail(what, path, std::string("cannot be opened: ") + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) throw fail(what, path, "is a folder, not a NIfTI file");
  if (access(path.c_str(), R_OK) != 0)
    throw fail(what, path, std::string("cannot be read: ") + std::strerror(errno));
  Image im;
  im.version = header_version(path);
  if (im.version < 0) throw fail(what, path, "is not a NIfTI file (or its header is damaged)");
  im.nim.reset(nifti_image_read(path.c_str(), 0));
  nifti_image* nim = im.nim.get();
  if (!nim) throw fail(what, path, "is not a NIfTI file (or its header is damaged)");
  normalise_dims(nim);
  const std::string problem = type_problem(nim->datatype);
  if (!problem.empty()) throw fail(what, path, problem);
  if (nim->nu > 1 || nim->nv > 1 || nim->nw > 1)
    throw fail(what, path, "has more than 4 dimensions; zarvo reads 2-D, 3-D and 4-D images");
  const int64_t limit = 65535;
  if (nim->nx < 1 || nim->ny < 1 || nim->nz < 1 || nim->nt < 1)
    throw fail(what, path, "has an empty dimension");
  if (nim->nx > limit || nim->ny > limit || nim->nz > limit)
    throw fail(what, path, "is larger than 65535 voxels along a spatial axis");
  if (nim->nx * nim->ny * nim->nz > std::numeric_limits<int>::max())
    throw fail(what, path, "has too many voxels per volume (2^31 or more)");
  im.nx = static_cast<int>(nim->nx);
  im.ny = static_cast<int>(nim->ny);
  im.nz = static_cast<int>(nim->nz);
  im.nt = static_cast<int>(nim->nt);
  im.ndim = im.nt > 1 ? 4 : (im.nz > 1 ? 3 : 2);

  load_data(nim, what, path);

  // Every voxel must be finite after scaling.
  for (int t = 0; t < im.nt; ++t) {
    const std::vector<double> v = im.volume(t);
    std::size_t bad = 0, first = 0;
    for (std::size_t i = 0; i < v.size(); ++i)
      if (!std::isfinite(v[i]) && bad++ == 0) first = i;
    if (bad) {
      const std::size_t x = first % im.nx, y = (first / im.nx) % im.ny,
                        z = first / (static_cast<std::size_t>(im.nx) * im.ny);
      std::string where = std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(z);
      if (im.nt > 1) where += "," + std::to_string(t);
      throw fail(what, path, "holds " + std::to_string(bad) +
                                 " NaN or infinite voxel(s) (the first at voxel " + where +
                                 "); replace them before denoising");
    }
  }
  return im;
}

DataType parse_datatype(const std::string& n) {
  if (n == "float32") return DataType::float32;
  if (n == "float64") return DataType::float64;
  if (n == "int16") return DataType::int16;
  if (n == "uint16") return DataType::uint16;
  if (n == "int32") return DataType::int32;
  if (n == "uint8") return DataType::uint8;
  throw std::runtime_error("unknown data type '" + n + "' (known: " + datatype_names() + ")");
}

const char* datatype_names() { return "float32, float64, int16, uint16, int32, uint8"; }

bool is_nifti_output_name(const std::string& p) {
  auto ends = [&](const char* e) {
    const std::size_t n = std::strlen(e);
    return p.size() > n && p.compare(p.size() - n, n, e) == 0;
  };
  return ends(".nii") || ends(".nii.gz");
}

namespace {

struct Encoded {
  int datatype = DT_FLOAT32;
  double slope = 1.0, inter = 0.0;
  std::vector<unsigned char> bytes;
};

template <typename T>
void store(const std::vector<double>& v, double slope, double inter, bool integer,
           std::vector<unsigned char>& out) {
  out.resize(v.size() * sizeof(T));
  T* d = reinterpret_cast<T*>(out.data());
  for (std::size_t i = 0; i < v.size(); ++i) {
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
void fit_integer(const std::vector<double>& v, Encoded& e) {
  double lo = v.empty() ? 0.0 : v[0], hi = lo;
  for (double x : v) lo = x < lo ? x : lo, hi = x > hi ? x : hi;
  const double tlo = static_cast<double>(std::numeric_limits<T>::lowest());
  const double thi = static_cast<double>(std::numeric_limits<T>::max());
  e.slope = hi > lo ? (hi - lo) / (thi - tlo) : 1.0;
  e.inter = lo - tlo * e.slope;
  store<T>(v, e.slope, e.inter, true, e.bytes);
}

Encoded encode(const std::vector<double>& v, DataType type) {
  Encoded e;
  switch (type) {
    case DataType::float32: e.datatype = DT_FLOAT32; store<float>(v, 1, 0, false, e.bytes); break;
    case DataType::float64: e.datatype = DT_FLOAT64; store<double>(v, 1, 0, false, e.bytes); break;
    case DataType::int16: e.datatype = DT_INT16; fit_integer<std::int16_t>(v, e); break;
    case DataType::uint16: e.datatype = DT_UINT16; fit_integer<std::uint16_t>(v, e); break;
    case DataType::int32: e.datatype = DT_INT32; fit_integer<std::int32_t>(v, e); break;
    case DataType::uint8: e.datatype = DT_UINT8; fit_integer<std::uint8_t>(v, e); break;
  }
  return e;
}

// A single-file NIfTI-2 image: the library builds the header, znzlib writes
// it (the library's own writer does not lay out single NIfTI-2 files). The
// header extensions are not carried over.
void write_nifti2(const std::string& file, nifti_image* nim, const std::vector<unsigned char>& bytes) {
  nifti_2_header h;
  nim->nifti_type = NIFTI_FTYPE_NIFTI2_1;
  if (nifti_convert_nim2n2hdr(nim, &h) != 0)
    throw std::runtime_error("cannot make a NIfTI-2 header for '" + file + "'");
  h.vox_offset = 544;
  static const char magic[8] = {'n', '+', '2', '\0', '\r', '\n', '\032', '\n'};
  std::memcpy(h.magic, magic, sizeof magic);
  znzFile f = znzopen(file.c_str(), "wb", nifti_is_gzfile(file.c_str()));
  if (znz_isnull(f)) throw std::runtime_error("cannot create '" + file + "'");
  const char extension[4] = {0, 0, 0, 0};
  const bool ok = znzwrite(&h, sizeof h, 1, f) == 1 && znzwrite(extension, 4, 1, f) == 1 &&
                  znzwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const int closed = znzclose(f);
  if (!ok || closed != 0) throw std::runtime_error("writing '" + file + "' failed");
}

void write_nim(const std::string& path, nifti_image* out, Encoded& e, int version,
               const std::string& description) {
  out->datatype = e.datatype;
  nifti_datatype_sizes(out->datatype, &out->nbyper, &out->swapsize);
  out->scl_slope = e.slope;
  out->scl_inter = e.inter;
  out->cal_min = out->cal_max = 0.0;
  if (!description.empty()) {
    std::memset(out->descrip, 0, sizeof out->descrip);
    std::strncpy(out->descrip, description.c_str(), sizeof out->descrip - 1);
  }
  const bool big = out->nx > 32767 || out->ny > 32767 || out->nz > 32767 || out->nt > 32767;
  const bool version2 = version == 2 || big;

  write_atomically(path, [&](const std::string& temp) {
    if (nifti_set_filenames(out, temp.c_str(), 0, 1) != 0)
      throw std::runtime_error("cannot name the output file '" + path + "'");
    if (version2) {
      write_nifti2(temp, out, e.bytes);
    } else {
      out->nifti_type = NIFTI_FTYPE_NIFTI1_1;
      out->data = e.bytes.data();
      nifti_image_write(out);
      out->data = nullptr;
    }
    // The library reports write errors only on stderr: read the file back.
    NiftiPtr back(nifti_image_read(temp.c_str(), 1));
    if (!back || back->nvox != out->nvox || back->datatype != out->datatype ||
        std::memcmp(back->data, e.bytes.data(), e.bytes.size()) != 0)
      throw std::runtime_error("writing '" + path +
                               "' failed (disk full, or the folder not writable?)");
  });
}

}  // namespace

void write_image(const std::string& path, const Image& like, const std::vector<double>& data,
                 DataType type, const std::string& description) {
  if (data.size() != static_cast<std::size_t>(like.nim->nvox))
    throw std::logic_error("write_image: data and header sizes differ");
  NiftiPtr out(nifti_copy_nim_info(like.nim.get()));
  if (!out) throw std::runtime_error("cannot copy the header for '" + path + "'");
  Encoded e = encode(data, type);
  write_nim(path, out.get(), e, like.version, description);
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
  Encoded e = encode(data, type);
  write_nim(path, out.get(), e, 1, description);
}

}  // namespace zarvo::cli
