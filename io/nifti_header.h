// Our own reading and checking of NIfTI-1, NIfTI-2 and ANALYZE 7.5 headers,
// before the NIfTI library sees anything of the file: the library trusts its
// input (a wrapping voxel count, a dim[0] outside 1..7 or a byte-swapped
// header size crash it), so it is only handed a header that passed every
// check here, in native byte order, and never reads a file itself.
//
// Every check is made on the header and the file's size, before any large
// allocation; the data of a compressed file is read in bounded chunks, so a
// small file that claims a huge volume costs only what it really holds.
#pragma once

#include <nifti2_io.h>

#include <cstdint>
#include <string>
#include <vector>

#include "zarvo/buffer.h"

namespace zarvo::cli {

struct NiftiExtension {
  int code = 0;
  std::string data;
};

struct Header {
  std::string header_file, data_file;  // the same file for .nii / .nii.gz
  int version = 1;                     // 1 or 2; 0 for ANALYZE 7.5 (a pair without magic)
  bool swapped = false;                // stored in the other byte order
  nifti_1_header n1{};                 // native byte order, when version is 0 or 1
  nifti_2_header n2{};                 // native byte order, when version is 2
  int64_t dim[8] = {};                 // dim[0] = number of dimensions; unused ones are 1
  int datatype = 0;
  int bytes_per_voxel = 0;
  int64_t vox_offset = 0;        // where the data starts in data_file
  std::uint64_t voxels = 0;      // product of the used dimensions
  std::uint64_t data_bytes = 0;  // voxels x bytes_per_voxel
  double slope = 0, inter = 0;   // as stored (slope 0: no scaling)
  std::vector<NiftiExtension> extensions;
};

// Reads and checks the header of `path` (.nii, .nii.gz, .hdr, .img,
// optionally .gz, upper or lower case). Returns an empty string when the
// header is sound, else what is wrong, phrased to follow the file's name
// ("is not a NIfTI file ...", "has dim[0] = 9 ...").
std::string read_header(const std::string& path, Header& header);

// Reads the data described by a sound header, in the file's byte order
// swapped to the native one. Returns an empty string, or what is wrong
// ("is truncated ..."). Throws std::bad_alloc when the data do not fit.
std::string read_data(const Header& header, Buffer<unsigned char>& data, int threads = 1);

// True when the data of a sound header in the native byte order are exactly
// `count` bytes equal to `bytes` (compared a chunk at a time, so that a
// written file can be checked without a second copy of it in memory).
bool data_equal(const Header& header, const unsigned char* bytes, std::size_t count);

// Bytes per voxel of a data type zarvo can hold in memory, 0 otherwise.
int bytes_per_voxel(int datatype);

}  // namespace zarvo::cli
