// Runs one plug-in on the stand-alone host with arguments read from a file,
// and writes its outputs (or its error) to another. The Octave tests use it
// to check that a plug-in gives the same result through both hosts.
//
//   zarvo_run PLUGIN ARGS_FILE OUTPUTS_FILE
//
// File format (little-endian): "ZARV", uint32 count, then each array as
// uint8 kind (0 double, 1 cell), uint32 ndims, uint64 dims[ndims], then the
// column-major doubles or the cell's elements. On error the outputs file
// holds "ZERR" followed by the identifier and message, one per line.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "gateways/plugins.h"
#include "host/standalone/call.h"

namespace sa = zarvo::standalone;

namespace {

template <typename T>
T read_value(std::istream& in) {
  T v{};
  if (!in.read(reinterpret_cast<char*>(&v), sizeof v)) throw std::runtime_error("truncated file");
  return v;
}

sa::Array read_array(std::istream& in) {
  const auto kind = read_value<std::uint8_t>(in);
  const auto ndims = read_value<std::uint32_t>(in);
  std::vector<std::size_t> dims(ndims);
  std::size_t count = 1;
  for (auto& d : dims) {
    d = static_cast<std::size_t>(read_value<std::uint64_t>(in));
    count *= d;
  }
  if (kind == 1) {
    std::vector<sa::Array> elements;
    for (std::size_t i = 0; i < count; ++i) elements.push_back(read_array(in));
    return sa::make_cell(std::move(elements));
  }
  std::vector<double> values(count);
  if (count && !in.read(reinterpret_cast<char*>(values.data()),
                        static_cast<std::streamsize>(count * sizeof(double))))
    throw std::runtime_error("truncated file");
  return sa::make_array(dims, values);
}

template <typename T>
void write_value(std::ostream& out, T v) {
  out.write(reinterpret_cast<const char*>(&v), sizeof v);
}

void write_array(std::ostream& out, const mxArray* a) {
  const std::vector<std::size_t> dims = sa::dimensions(a);
  write_value<std::uint8_t>(out, 0);
  write_value<std::uint32_t>(out, static_cast<std::uint32_t>(dims.size()));
  for (std::size_t d : dims) write_value<std::uint64_t>(out, d);
  const std::vector<double> v = sa::values(a);
  out.write(reinterpret_cast<const char*>(v.data()),
            static_cast<std::streamsize>(v.size() * sizeof(double)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: zarvo_run PLUGIN ARGS_FILE OUTPUTS_FILE\n");
    return 2;
  }
  const std::map<std::string, sa::EntryPoint> plugins = {
      {"zarvo_thr_mex", zarvo_thr_mex::mexFunction},
      {"zarvo_wie_mex", zarvo_wie_mex::mexFunction},
      {"zarvo_thr_rice_mex", zarvo_thr_rice_mex::mexFunction},
      {"zarvo_wie_rice_mex", zarvo_wie_rice_mex::mexFunction},
  };
  auto plugin = plugins.find(argv[1]);
  if (plugin == plugins.end()) {
    std::fprintf(stderr, "zarvo_run: unknown plug-in %s\n", argv[1]);
    return 2;
  }
  try {
    std::ifstream in(argv[2], std::ios::binary);
    char magic[4];
    if (!in.read(magic, 4) || std::string(magic, 4) != "ZARV")
      throw std::runtime_error("not an arguments file");
    const auto count = read_value<std::uint32_t>(in);
    std::vector<sa::Array> args;
    std::vector<const mxArray*> inputs;
    for (std::uint32_t i = 0; i < count; ++i) {
      args.push_back(read_array(in));
      inputs.push_back(args.back().get());
    }
    sa::CallResult r = sa::call(plugin->second, inputs, 2);
    std::ofstream out(argv[3], std::ios::binary);
    if (!r.ok) {
      out << "ZERR\n" << r.error_id << "\n" << r.message << "\n";
      return 0;
    }
    out.write("ZARV", 4);
    write_value<std::uint32_t>(out, static_cast<std::uint32_t>(r.outputs.size()));
    for (const auto& o : r.outputs) write_array(out, o.get());
    return out ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zarvo_run: %s\n", e.what());
    return 1;
  }
}
