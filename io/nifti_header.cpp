#include "io/nifti_header.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "core/memory.h"

namespace zarvo::cli {

namespace {

constexpr std::uint64_t kChunk = std::uint64_t{16} << 20;  // bytes read at a time

struct GzClose {
  void operator()(gzFile_s* f) const { gzclose(f); }
};
using Gz = std::unique_ptr<gzFile_s, GzClose>;

// zlib reads plain files unchanged, so one reader serves both. Only regular
// files are read: opening a FIFO would wait for a writer forever, and a
// device never ends (errno ENODEV for both).
Gz open_gz(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = ENODEV;
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  Gz f(gzdopen(fd, "rb"));
  if (!f) {
    close(fd);
    return nullptr;
  }
  gzbuffer(f.get(), 1 << 17);
  return f;
}

// Reads up to n bytes; returns the count, or -1 on a read or decompression error.
long long read_some(gzFile f, void* out, std::uint64_t n) {
  std::uint64_t got = 0;
  auto* p = static_cast<unsigned char*>(out);
  while (got < n) {
    const unsigned want = static_cast<unsigned>(std::min<std::uint64_t>(n - got, 1u << 30));
    const int r = gzread(f, p + got, want);
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<std::uint64_t>(r);
  }
  return static_cast<long long>(got);
}

bool exists(const std::string& p) {
  struct stat st {};
  return stat(p.c_str(), &st) == 0;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool ends_with(const std::string& s, const std::string& e) {
  return s.size() > e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
}

// Finds the header and data files from the name. Returns a problem or "".
std::string locate(const std::string& path, Header& h) {
  const std::string l = lower(path);
  const bool gz = ends_with(l, ".gz");
  const std::string base = gz ? path.substr(0, path.size() - 3) : path;
  const std::string lbase = lower(base);
  auto ext = [&](const char* e) { return ends_with(lbase, e); };
  if (ext(".nii")) {
    h.header_file = h.data_file = path;
    return {};
  }
  if (!ext(".hdr") && !ext(".img"))
    return "is not a NIfTI file (the name must end in .nii, .nii.gz, .hdr or .img)";
  const std::string stem = base.substr(0, base.size() - 4);
  const bool upper = std::isupper(static_cast<unsigned char>(base[base.size() - 3])) != 0;
  const std::string other = ext(".hdr") ? (upper ? ".IMG" : ".img") : (upper ? ".HDR" : ".hdr");
  std::string found;
  for (const std::string& c : {stem + other, stem + other + (upper ? ".GZ" : ".gz")})
    if (exists(c)) {
      found = c;
      break;
    }
  if (found.empty())
    return std::string("has no matching ") + (ext(".hdr") ? ".img" : ".hdr") + " file ('" + stem +
           other + "')";
  if (ext(".hdr")) {
    h.header_file = path;
    h.data_file = found;
  } else {
    h.header_file = found;
    h.data_file = path;
  }
  return {};
}

std::uint32_t swap32(std::uint32_t v) { return __builtin_bswap32(v); }

int bitpix_of(int datatype) {
  switch (datatype) {
    case DT_UINT8:
    case DT_INT8:
      return 8;
    case DT_INT16:
    case DT_UINT16:
      return 16;
    case DT_INT32:
    case DT_UINT32:
    case DT_FLOAT32:
    case DT_RGBA32:
      return 32;
    case DT_RGB24:
      return 24;
    case DT_INT64:
    case DT_UINT64:
    case DT_FLOAT64:
    case DT_COMPLEX64:
      return 64;
    case DT_FLOAT128:
    case DT_COMPLEX128:
      return 128;
    case DT_COMPLEX256:
      return 256;
    default:
      return 0;
  }
}

std::string type_problem(int dt) {
  switch (dt) {
    case DT_COMPLEX64:
    case DT_COMPLEX128:
    case DT_COMPLEX256:
      return "holds complex data; zarvo denoises real (magnitude) data only";
    case DT_RGB24:
    case DT_RGBA32:
      return "holds RGB colour data; zarvo denoises scalar data only";
    case DT_FLOAT128:
      return "holds 128-bit floats, which zarvo does not read";
    default:
      if (bytes_per_voxel(dt)) return {};
      return "has data type " + std::to_string(dt) + ", which is not a NIfTI data type";
  }
}

std::string num(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// Reads the extensions between the header and `end` (exclusive; -1: to the
// end of the header file). Malformed extensions end the list; they never
// make the image unreadable.
void read_extensions(gzFile f, std::int64_t start, std::int64_t end, bool swapped, Header& h) {
  unsigned char extender[4] = {};
  if (end >= 0 && end - start < 4) return;
  if (read_some(f, extender, 4) != 4 || extender[0] == 0) return;
  std::int64_t at = start + 4;
  const std::int64_t cap = std::int64_t{64} << 20;  // extensions held in memory at most
  std::int64_t held = 0;
  for (;;) {
    if (end >= 0 && end - at < 8) return;
    std::int32_t head[2];
    if (read_some(f, head, 8) != 8) return;
    if (swapped) {
      head[0] = static_cast<std::int32_t>(swap32(static_cast<std::uint32_t>(head[0])));
      head[1] = static_cast<std::int32_t>(swap32(static_cast<std::uint32_t>(head[1])));
    }
    const std::int64_t size = head[0];
    if (size < 16 || size % 16 != 0 || (end >= 0 && size > end - at) || held + size > cap) return;
    NiftiExtension e;
    e.code = head[1];
    e.data.resize(static_cast<std::size_t>(size - 8));
    if (read_some(f, e.data.data(), e.data.size()) != static_cast<long long>(e.data.size())) return;
    h.extensions.push_back(std::move(e));
    at += size;
    held += size;
  }
}

}  // namespace

int bytes_per_voxel(int datatype) {
  switch (datatype) {
    case DT_UINT8:
    case DT_INT8:
      return 1;
    case DT_INT16:
    case DT_UINT16:
      return 2;
    case DT_INT32:
    case DT_UINT32:
    case DT_FLOAT32:
      return 4;
    case DT_INT64:
    case DT_UINT64:
    case DT_FLOAT64:
      return 8;
    default:
      return 0;
  }
}

static_assert(sizeof(nifti_1_header) == 348 && sizeof(nifti_2_header) == 540,
              "NIfTI header layouts");

namespace {

// The header's size field: 348 (NIfTI-1, ANALYZE 7.5) or 540 (NIfTI-2), in
// either byte order; sets h.swapped.
std::string header_size(const unsigned char* raw, long long got, Header& h, std::int32_t& size) {
  if (got < 0) return "is damaged: its compressed stream cannot be read";
  if (got < 4) return "is not a NIfTI file (" + std::to_string(got) + " bytes)";
  std::memcpy(&size, raw, 4);
  const std::int32_t swapped_size =
      static_cast<std::int32_t>(swap32(static_cast<std::uint32_t>(size)));
  if (size == 348 || size == 540) {
    h.swapped = false;
  } else if (swapped_size == 348 || swapped_size == 540) {
    h.swapped = true;
    size = swapped_size;
  } else {
    return "is not a NIfTI file (its header size field is " + std::to_string(size) +
           ", not 348 or 540)";
  }
  if (got < size)
    return "is truncated inside its header (" + std::to_string(got) + " of " +
           std::to_string(size) + " bytes)";
  return {};
}

std::string take_nifti2(const unsigned char* raw, bool pair, Header& h) {
  h.version = 2;
  std::memcpy(&h.n2, raw, sizeof h.n2);
  if (h.swapped) nifti_swap_as_nifti2(&h.n2);
  h.n2.sizeof_hdr = 540;
  const char* m = h.n2.magic;
  const bool one = std::memcmp(m, "n+2\0", 4) == 0, two = std::memcmp(m, "ni2\0", 4) == 0;
  if (!one && !two) return "has a NIfTI-2 header size but not the NIfTI-2 magic 'n+2'";
  if (one != !pair) {
    if (one)
      h.data_file = h.header_file;  // the data follow the header in the same file
    else
      return "is a single file but its magic 'ni2' says the data lie in a separate .img file";
  }
  for (int i = 0; i < 8; ++i) h.dim[i] = h.n2.dim[i];
  h.datatype = h.n2.datatype;
  h.vox_offset = h.n2.vox_offset;
  h.slope = h.n2.scl_slope;
  h.inter = h.n2.scl_inter;
  if (h.n2.bitpix != bitpix_of(h.datatype) && bitpix_of(h.datatype))
    return "has bitpix " + std::to_string(h.n2.bitpix) + " but its data type needs " +
           std::to_string(bitpix_of(h.datatype));
  return {};
}

// NIfTI-1, or ANALYZE 7.5 (a pair without magic).
std::string take_nifti1(const unsigned char* raw, bool pair, Header& h) {
  std::memcpy(&h.n1, raw, sizeof h.n1);
  const char* m = h.n1.magic;
  const bool one = std::memcmp(m, "n+1\0", 4) == 0, two = std::memcmp(m, "ni1\0", 4) == 0;
  h.version = one || two ? 1 : 0;
  if (h.swapped) {
    if (h.version)
      nifti_swap_as_nifti1(&h.n1);
    else
      old_swap_nifti_header(&h.n1, 0);
  }
  h.n1.sizeof_hdr = 348;
  if (h.version == 0) {
    if (!pair) return "has no NIfTI magic ('n+1'); an ANALYZE 7.5 image must be a .hdr/.img pair";
  } else if (one != !pair) {
    if (one)
      h.data_file = h.header_file;
    else
      return "is a single file but its magic 'ni1' says the data lie in a separate .img file";
  }
  for (int i = 0; i < 8; ++i) h.dim[i] = h.n1.dim[i];
  h.datatype = h.n1.datatype;
  const double offset = h.n1.vox_offset;
  if (!std::isfinite(offset) || offset < 0 || offset != std::floor(offset) || offset > 9.0e15)
    return "has vox_offset " + num(offset) +
           "; it must be a whole number of bytes at or after the header";
  h.vox_offset = static_cast<std::int64_t>(offset);
  if (h.version) {
    h.slope = h.n1.scl_slope;
    h.inter = h.n1.scl_inter;
  } else {
    h.slope = h.inter = 0;  // ANALYZE 7.5 has no scaling fields the library reads
  }
  if (h.n1.bitpix != bitpix_of(h.datatype) && bitpix_of(h.datatype))
    return "has bitpix " + std::to_string(h.n1.bitpix) + " but its data type needs " +
           std::to_string(bitpix_of(h.datatype));
  return {};
}

// The dimensions, the data type, the scaling and the data's place: every
// count checked against overflow before anything is allocated.
std::string check_layout(Header& h, std::int64_t header_bytes, bool single) {
  if (h.dim[0] < 1 || h.dim[0] > 7)
    return "has dim[0] = " + std::to_string(h.dim[0]) +
           "; the number of dimensions must be 1 to 7 (damaged header?)";
  std::uint64_t voxels = 1;
  for (int i = 1; i <= h.dim[0]; ++i) {
    if (h.dim[i] < 1)
      return "has dimension " + std::to_string(i) + " of size " + std::to_string(h.dim[i]) +
             "; every dimension must be at least 1 (damaged header?)";
    if (__builtin_mul_overflow(voxels, static_cast<std::uint64_t>(h.dim[i]), &voxels) ||
        voxels > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return "claims more voxels than 64 bits can count (damaged header?)";
  }
  for (int i = h.dim[0] + 1; i < 8; ++i) h.dim[i] = 1;
  h.voxels = voxels;

  if (std::string p = type_problem(h.datatype); !p.empty()) return p;
  h.bytes_per_voxel = bytes_per_voxel(h.datatype);
  if (__builtin_mul_overflow(voxels, static_cast<std::uint64_t>(h.bytes_per_voxel),
                             &h.data_bytes) ||
      h.data_bytes > (std::uint64_t{1} << 62))
    return "claims " + std::to_string(voxels) + " voxels, more bytes than any file can hold";

  if (h.slope != 0 && (!std::isfinite(h.slope) || !std::isfinite(h.inter)))
    return "has a non-finite scaling (scl_slope " + num(h.slope) + ", scl_inter " + num(h.inter) +
           ")";

  if (single && h.vox_offset < header_bytes)
    return "has vox_offset " + std::to_string(h.vox_offset) + ", inside its " +
           std::to_string(header_bytes) + "-byte header (damaged header?)";
  if (h.vox_offset < 0) return "has a negative vox_offset";
  std::uint64_t end = 0;
  if (__builtin_add_overflow(static_cast<std::uint64_t>(h.vox_offset), h.data_bytes, &end))
    return "has a vox_offset past any file's end";
  return {};
}

// A plain data file must be as large as the header says; a compressed one
// is checked as it is read (read_data), in bounded chunks.
std::string check_data_size(const Header& h, gzFile header_file, bool single) {
  Gz other = single ? nullptr : open_gz(h.data_file);
  if (!single && !other)
    return "cannot open its data file '" + h.data_file + "'" +
           (errno == ENODEV ? " (not a regular file)" : "");
  const bool plain = gzdirect(single ? header_file : other.get()) != 0;
  struct stat st {};
  const std::uint64_t end = static_cast<std::uint64_t>(h.vox_offset) + h.data_bytes;
  if (plain && stat(h.data_file.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<std::uint64_t>(st.st_size) < end)
    return "is truncated: its header describes " + std::to_string(h.data_bytes) +
           " bytes of data from byte " + std::to_string(h.vox_offset) + ", but " +
           (single ? "the file" : "'" + h.data_file + "'") + " holds " +
           std::to_string(st.st_size) + " bytes";
  return {};
}

}  // namespace

std::string read_header(const std::string& path, Header& h) {
  h = Header{};
  if (std::string p = locate(path, h); !p.empty()) return p;
  const bool pair = h.header_file != h.data_file;

  Gz f = open_gz(h.header_file);
  if (!f) return "cannot be opened: " + std::string(std::strerror(errno ? errno : EIO));
  unsigned char raw[540] = {};
  std::int32_t size = 0;
  if (std::string p = header_size(raw, read_some(f.get(), raw, sizeof raw), h, size); !p.empty())
    return p;
  const std::int64_t header_bytes = size;
  if (std::string p = size == 540 ? take_nifti2(raw, pair, h) : take_nifti1(raw, pair, h);
      !p.empty())
    return p;
  const bool single = h.header_file == h.data_file;
  if (std::string p = check_layout(h, header_bytes, single); !p.empty()) return p;
  if (std::string p = check_data_size(h, f.get(), single); !p.empty()) return p;

  // Extensions: after the header, before the data (single file) or to the
  // end of the header file (pair).
  if (h.version >= 1) {
    if (single) {
      if (h.vox_offset >= header_bytes + 4) {
        if (gzseek(f.get(), static_cast<z_off_t>(header_bytes), SEEK_SET) == header_bytes)
          read_extensions(f.get(), header_bytes, h.vox_offset, h.swapped, h);
      }
    } else if (gzseek(f.get(), static_cast<z_off_t>(header_bytes), SEEK_SET) == header_bytes) {
      read_extensions(f.get(), header_bytes, -1, h.swapped, h);
    }
  }
  return {};
}

namespace {

// Opens the data of a sound header at its first byte (a compressed stream
// is read up to it, as it cannot seek otherwise); empty with `problem` set
// when that fails.
Gz open_data(const Header& h, std::string& problem) {
  Gz f = open_gz(h.data_file);
  if (!f) {
    problem = "cannot be opened for its data ('" + h.data_file + "')";
    return nullptr;
  }
  std::uint64_t skip = static_cast<std::uint64_t>(h.vox_offset);
  if (gzdirect(f.get())) {
    if (skip &&
        gzseek(f.get(), static_cast<z_off_t>(skip), SEEK_SET) != static_cast<z_off_t>(skip)) {
      problem = "is truncated before its data";
      return nullptr;
    }
    return f;
  }
  std::vector<unsigned char> sink(static_cast<std::size_t>(std::min<std::uint64_t>(skip, kChunk)));
  while (skip) {
    const std::uint64_t n = std::min<std::uint64_t>(skip, sink.size());
    const long long r = read_some(f.get(), sink.data(), n);
    if (r < 0) {
      problem = "is damaged: its compressed stream cannot be read";
      return nullptr;
    }
    if (static_cast<std::uint64_t>(r) != n) {
      problem = "is truncated before its data";
      return nullptr;
    }
    skip -= n;
  }
  return f;
}

}  // namespace

std::string read_data(const Header& h, Buffer<unsigned char>& data, int threads) {
  data.clear();
  std::string problem;
  Gz f = open_data(h, problem);
  if (!f) return problem;
  // A plain file holds what its header claims (read_header checked its
  // size): one read. A compressed stream may hold less than its header
  // claims: the buffer grows as the data arrive, never past the claim.
  std::uint64_t have = 0;
  const bool plain = gzdirect(f.get()) != 0;
  while (have < h.data_bytes) {
    const std::uint64_t want =
        plain ? h.data_bytes
              : std::min<std::uint64_t>(h.data_bytes - have, std::max<std::uint64_t>(kChunk, have));
    resize_large(data, static_cast<std::size_t>(have + want), threads);
    const long long r = read_some(f.get(), data.data() + have, want);
    if (r < 0) {
      data.clear();
      return "is damaged: its compressed stream cannot be read (truncated?)";
    }
    have += static_cast<std::uint64_t>(r);
    if (static_cast<std::uint64_t>(r) < want) {
      data.clear();
      data.shrink_to_fit();
      return "is truncated: its header describes " + std::to_string(h.data_bytes) +
             " bytes of data, the file holds " + std::to_string(have);
    }
  }
  data.resize(static_cast<std::size_t>(h.data_bytes));
  if (h.swapped && h.bytes_per_voxel > 1)
    nifti_swap_Nbytes(static_cast<int64_t>(h.voxels), h.bytes_per_voxel, data.data());
  return {};
}

bool data_equal(const Header& h, const unsigned char* bytes, std::size_t count) {
  if (h.swapped || h.data_bytes != count) return false;
  std::string problem;
  Gz f = open_data(h, problem);
  if (!f) return false;
  // A small chunk, used again and again: it stays in the cache, and a large
  // one would be fresh memory, whose first touch costs more than the read.
  constexpr std::uint64_t compared = std::uint64_t{1} << 20;
  std::vector<unsigned char> chunk(
      static_cast<std::size_t>(std::min<std::uint64_t>(count, compared)));
  for (std::size_t at = 0; at < count;) {
    const std::size_t n = std::min(count - at, chunk.size());
    if (read_some(f.get(), chunk.data(), n) != static_cast<long long>(n) ||
        std::memcmp(chunk.data(), bytes + at, n) != 0)
      return false;
    at += n;
  }
  return true;
}

}  // namespace zarvo::cli
