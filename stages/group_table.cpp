// The matching pass that records a walk's groups, and their look-up.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

#include "core/parts.h"
#include "stage.h"
#include "walker.h"

namespace zarvo::stages {

namespace {

// Ordinal of every coordinate of one axis of the walk's grid (-1 off it);
// returns the number of grid positions.
int axis_ordinals(int step, int bound, int length, std::vector<int>& ordinal) {
  ordinal.assign(static_cast<std::size_t>(std::max(length, 0)), -1);
  int count = 0;
  walk_axis(step, bound, [&](int p) { ordinal[static_cast<std::size_t>(p - 1)] = count++; });
  return count;
}

}  // namespace

int GroupTable::group(int x, int y, int z, std::uint16_t* to) const {
  const auto at = [](const std::vector<int>& ordinal, int p) {
    return p >= 1 && p <= static_cast<int>(ordinal.size())
               ? ordinal[static_cast<std::size_t>(p - 1)]
               : -1;
  };
  const int ox = at(column_ordinal, x), oy = at(row_ordinal, y), oz = at(slice_ordinal, z);
  if (ox < 0 || oy < 0 || oz < 0) return 0;
  const std::size_t cell =
      (static_cast<std::size_t>(oz) * grid[0] + static_cast<std::size_t>(ox)) * grid[1] +
      static_cast<std::size_t>(oy);
  const int L = sizes[cell];
  std::memcpy(to, positions.data() + cell * 3 * static_cast<std::size_t>(largest_group),
              3 * static_cast<std::size_t>(L) * sizeof(std::uint16_t));
  return L;
}

bool GroupTable::fits(const Geometry& geometry) const {
  const Layout g(geometry);
  const int slices = g.ndims == 3 ? g.dims[2] : 1;
  return dims[0] == g.dims[0] && dims[1] == g.dims[1] && dims[2] == slices &&
         cube_side == g.cube_side && cube_depth == g.cube_depth && step == g.step &&
         largest_group == g.largest_group && mask == g.mask && reach == matching_reach(g);
}

std::size_t GroupTable::bytes() const {
  return sizes.size() * sizeof(int) + positions.size() * sizeof(std::uint16_t) +
         (column_ordinal.size() + row_ordinal.size() + slice_ordinal.size()) * sizeof(int);
}

namespace {

// The table's bytes: a marker and a format version, then every number
// little-endian whatever the machine (a table matched on one node of a
// cluster is filtered on on another): 32-bit integers, 16-bit positions,
// each list led by its 64-bit length.
constexpr std::uint8_t table_magic[4] = {'Z', 'G', 'R', 'T'};
constexpr std::uint32_t table_version = 1;

template <typename T>
void put_number(std::vector<std::uint8_t>& out, T value) {
  using U = std::make_unsigned_t<T>;
  const U u = static_cast<U>(value);
  for (std::size_t b = 0; b < sizeof(T); ++b)
    out.push_back(static_cast<std::uint8_t>(u >> (8 * b)));
}

template <typename T>
void put_list(std::vector<std::uint8_t>& out, const std::vector<T>& v) {
  static_assert(sizeof(int) == 4, "the tables' integers are 32 bits");
  put_number<std::uint64_t>(out, v.size());
  for (T x : v) put_number(out, x);
}

// Reads a table's bytes, refusing to run past their end; `what` names the
// part being read for the message.
struct Reader {
  const std::uint8_t* at;
  const std::uint8_t* end;

  [[noreturn]] static void fail(const std::string& why) {
    throw Error("the bytes are not a group table: " + why);
  }
  std::size_t left() const { return static_cast<std::size_t>(end - at); }
  template <typename T>
  T number(const char* what) {
    if (left() < sizeof(T)) fail(std::string("they end early, in ") + what);
    using U = std::make_unsigned_t<T>;
    U u = 0;
    for (std::size_t b = 0; b < sizeof(T); ++b) u = static_cast<U>(u | (U(at[b]) << (8 * b)));
    at += sizeof(T);
    return static_cast<T>(u);
  }
  template <typename T>
  void list(std::vector<T>& v, const char* what) {
    const std::uint64_t count = number<std::uint64_t>(what);
    if (count > left() / sizeof(T))
      fail(std::string("they end early, in ") + what + " (" + std::to_string(count) +
           " entries announced)");
    v.resize(static_cast<std::size_t>(count));
    for (T& x : v) x = number<T>(what);
  }
};

}  // namespace

std::vector<std::uint8_t> GroupTable::save() const {
  std::vector<std::uint8_t> out(table_magic, table_magic + 4);
  out.reserve(8 + 11 * 4 + 5 * 8 +
              (column_ordinal.size() + row_ordinal.size() + slice_ordinal.size() + sizes.size()) *
                  4 +
              positions.size() * 2);
  put_number(out, table_version);
  for (int h : {dims[0], dims[1], dims[2], cube_side, cube_depth, step, largest_group, reach,
                grid[0], grid[1], grid[2]})
    put_number<std::int32_t>(out, h);
  put_list(out, column_ordinal);
  put_list(out, row_ordinal);
  put_list(out, slice_ordinal);
  put_list(out, sizes);
  put_list(out, positions);
  return out;
}

namespace {

// Why the ordinals of one axis cannot be the walk's, or empty.
std::string ordinal_problem(const char* axis, const std::vector<int>& ordinal, int length,
                            int count) {
  if (ordinal.size() != static_cast<std::size_t>(std::max(length, 0)))
    return std::string("the ") + axis + " ordinals are " + std::to_string(ordinal.size()) +
           " for " + std::to_string(length) + " " + axis + "s";
  for (int o : ordinal)
    if (o < -1 || o >= count)
      return std::string("a ") + axis + " ordinal (" + std::to_string(o) + ") is off the grid of " +
             std::to_string(count);
  return {};
}

}  // namespace

GroupTable GroupTable::load(const std::uint8_t* bytes, std::size_t size,
                            const unsigned char* mask) {
  Reader r{bytes, bytes + size};
  if (size < 4 || !std::equal(table_magic, table_magic + 4, bytes))
    Reader::fail("no group table marker at their start");
  r.at += 4;
  const std::uint32_t version = r.number<std::uint32_t>("the version");
  if (version != table_version)
    Reader::fail("format version " + std::to_string(version) + ", this build reads version " +
                 std::to_string(table_version));
  GroupTable t;
  int head[11];
  for (int& h : head) h = r.number<std::int32_t>("the header");
  std::copy(head, head + 3, t.dims);
  t.cube_side = head[3];
  t.cube_depth = head[4];
  t.step = head[5];
  t.largest_group = head[6];
  t.reach = head[7];
  std::copy(head + 8, head + 11, t.grid);
  r.list(t.column_ordinal, "the column ordinals");
  r.list(t.row_ordinal, "the row ordinals");
  r.list(t.slice_ordinal, "the slice ordinals");
  r.list(t.sizes, "the group sizes");
  r.list(t.positions, "the cube positions");
  if (r.at != r.end) Reader::fail(std::to_string(r.left()) + " bytes follow the table");
  t.check();
  t.mask = mask;
  return t;
}

// What group() and the stages rely on: a walk's sizes, the ordinals on the
// grid, every group within its room, every cube inside the volume, within
// the search window's reach across slices of its reference (the stages'
// sums hold only those slices), the reference first.
void GroupTable::check() const {
  const auto fail = [](const std::string& why) { Reader::fail(why); };
  for (int d : dims)
    if (d < 1 || d > 65535) fail("a volume size of " + std::to_string(d));
  if (cube_side < 1 || cube_depth < 1 || step < 1 || reach < 0 || largest_group < 1)
    fail("a cube of " + std::to_string(cube_side) + "x" + std::to_string(cube_depth) + ", step " +
         std::to_string(step) + ", reach " + std::to_string(reach) + ", largest group " +
         std::to_string(largest_group));
  const int lengths[3] = {dims[1], dims[0], dims[2]};
  for (int a = 0; a < 3; ++a)
    if (grid[a] < 0 || grid[a] > lengths[a])
      fail("a grid of " + std::to_string(grid[a]) + " positions along " +
           std::to_string(lengths[a]) + " voxels");
  for (const std::string& p : {ordinal_problem("column", column_ordinal, dims[1], grid[0]),
                               ordinal_problem("row", row_ordinal, dims[0], grid[1]),
                               ordinal_problem("slice", slice_ordinal, dims[2], grid[2])})
    if (!p.empty()) fail(p);
  const std::size_t cells = static_cast<std::size_t>(grid[0]) * static_cast<std::size_t>(grid[1]) *
                            static_cast<std::size_t>(grid[2]);
  const std::size_t room = 3 * static_cast<std::size_t>(largest_group);
  // (cells is at most 65535^3: compared with the positions by division.)
  if (sizes.size() != cells || positions.size() % room != 0 || positions.size() / room != cells)
    fail(std::to_string(sizes.size()) + " group sizes and " + std::to_string(positions.size()) +
         " positions for " + std::to_string(cells) + " grid positions with room for " +
         std::to_string(largest_group) + " cubes");
  // The reference of each grid position, from the ordinals.
  const auto coordinates = [](const std::vector<int>& ordinal, int count) {
    std::vector<int> at(static_cast<std::size_t>(std::max(count, 0)), 0);
    for (std::size_t p = 0; p < ordinal.size(); ++p)
      if (ordinal[p] >= 0) at[static_cast<std::size_t>(ordinal[p])] = static_cast<int>(p) + 1;
    return at;
  };
  const std::vector<int> xs = coordinates(column_ordinal, grid[0]),
                         ys = coordinates(row_ordinal, grid[1]),
                         zs = coordinates(slice_ordinal, grid[2]);
  const int last[3] = {dims[1] - cube_side + 1, dims[0] - cube_side + 1,
                       dims[2] > 1 ? dims[2] - cube_depth + 1 : 1};
  const char* axes[3] = {"column", "row", "slice"};
  for (std::size_t cell = 0; cell < cells; ++cell) {
    const int L = sizes[cell];
    const auto where = [cell] { return "grid position " + std::to_string(cell); };
    if (L < 0 || L > largest_group)
      fail("a group of " + std::to_string(L) + " cubes at " + where() + " (room for " +
           std::to_string(largest_group) + ")");
    if (L == 0) continue;
    const std::size_t oy = cell % static_cast<std::size_t>(grid[1]);
    const std::size_t ox =
        cell / static_cast<std::size_t>(grid[1]) % static_cast<std::size_t>(grid[0]);
    const std::size_t oz = cell / (static_cast<std::size_t>(grid[1]) * grid[0]);
    const int reference[3] = {xs[ox], ys[oy], zs[oz]};
    const std::uint16_t* c = positions.data() + cell * room;
    for (int a = 0; a < 3; ++a)
      if (reference[a] < 1 || c[a] != reference[a])
        fail("the group at " + where() + " does not start with its reference cube (" + axes[a] +
             " " + std::to_string(c[a]) + ", not " + std::to_string(reference[a]) + ")");
    for (int k = 0; k < L; ++k)
      for (int a = 0; a < 3; ++a) {
        const int p = c[3 * k + a];
        if (p < 1 || p > last[a] || (a == 2 && std::abs(p - reference[2]) > reach))
          fail("cube " + std::to_string(k + 1) + " of the group at " + where() + " lies at " +
               axes[a] + " " + std::to_string(p) + ", outside the volume or the search window");
      }
  }
}

GroupTable match_groups(const Geometry& geometry, const double* const* volumes, int channels,
                        const RunContext& context) {
  const Layout g(geometry);
  GroupTable t;
  t.dims[0] = g.dims[0];
  t.dims[1] = g.dims[1];
  t.dims[2] = g.ndims == 3 ? g.dims[2] : 1;
  t.cube_side = g.cube_side;
  t.cube_depth = g.cube_depth;
  t.step = g.step;
  t.largest_group = g.largest_group;
  t.mask = g.mask;
  t.reach = matching_reach(g);
  t.grid[0] = axis_ordinals(g.step, g.last_column, g.dims[1], t.column_ordinal);
  t.grid[1] = axis_ordinals(g.step, g.last_row, g.dims[0], t.row_ordinal);
  t.grid[2] = axis_ordinals(g.step, g.last_slice, t.dims[2], t.slice_ordinal);
  const std::size_t cells =
      static_cast<std::size_t>(t.grid[0]) * static_cast<std::size_t>(t.grid[1]) * t.grid[2];
  const std::size_t room = 3 * static_cast<std::size_t>(g.largest_group);
  t.sizes.assign(cells, 0);
  t.positions.assign(cells * room, 0);

  const std::vector<int> cubes = detail::reference_list(g, reference_cubes(g));
  const std::size_t total = cubes.size() / 3;
  int threads = walk_threads(context);
  if (static_cast<std::size_t>(threads) > total) threads = total > 0 ? static_cast<int>(total) : 1;
  const int h = window_half_width(g);
  struct Scratch {
    Workspace w;
    std::vector<double> extra;
  };
  std::vector<Scratch> scratch(static_cast<std::size_t>(threads));
  for (Scratch& s : scratch) {
    s.w = allocate_workspace(g, StageKind::thr);
    s.extra.resize(static_cast<std::size_t>(
        grouping_channels_extra_doubles(g.cube_side, g.cube_depth, h, channels)));
  }
  // Every group is matched on its own: the parts may be any size, the table
  // is the same. Runs of neighbouring references share their windows' cache
  // lines, hence consecutive parts.
  // Matching a large volume takes seconds: the cancel flag is polled every
  // few references, and the table is dropped once it is set.
  const auto cancelled = [&] {
    return context.cancel && context.cancel->load(std::memory_order_relaxed);
  };
  in_parts(total, threads, 1, [&](int part, std::size_t first, std::size_t last) {
    Scratch& s = scratch[static_cast<std::size_t>(part)];
    for (std::size_t i = first; i < last; ++i) {
      if ((i - first) % 64 == 0 && cancelled()) return;
      const int* c = &cubes[3 * i];
      int L = 0;
      if (channels == 1) {
        L = find_group(g, volumes[0], c[0], c[1], c[2], s.w);
      } else {
        grouping_channels(volumes, channels, g.ndims, g.dims, g.cube_side, g.largest_group,
                          g.cube_depth, h, g.synchronous, g.match_threshold, c[0], c[1], c[2],
                          s.w.positions, &L, s.w.match_work, s.w.match_ints, s.extra.data());
      }
      const std::size_t cell = (static_cast<std::size_t>(t.slice_ordinal[c[2] - 1]) * t.grid[0] +
                                static_cast<std::size_t>(t.column_ordinal[c[0] - 1])) *
                                   t.grid[1] +
                               static_cast<std::size_t>(t.row_ordinal[c[1] - 1]);
      t.sizes[cell] = L;
      std::memcpy(t.positions.data() + cell * room, s.w.positions,
                  3 * static_cast<std::size_t>(L) * sizeof(std::uint16_t));
    }
  });
  if (cancelled()) throw Cancelled();
  return t;
}

GroupTable match_groups(const Geometry& geometry, const double* volume, const RunContext& context) {
  return match_groups(geometry, &volume, 1, context);
}

// A stage's group: from the table when one is given, else matched on `volume`.
int stage_group(const Layout& g, const GroupTable* table, const double* volume, int x, int y, int z,
                Workspace& w) {
  if (table) return table->group(x, y, z, w.positions);
  return find_group(g, volume, x, y, z, w);
}

void check_table(const Layout& g, const GroupTable* table) {
  if (table && !table->fits(g))
    throw Error("the group table was matched for another volume size, cube, step or group size");
}

}  // namespace zarvo::stages
