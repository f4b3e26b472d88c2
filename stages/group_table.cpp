// The matching pass that records a walk's groups, and their look-up.
#include <algorithm>
#include <cstring>
#include <string>

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
  // Matching a large volume takes seconds: the cancel flag is polled before
  // every reference (a relaxed load; one group's matching costs far more),
  // and the table is dropped once it is set.
  const auto cancelled = [&] {
    return context.cancel && context.cancel->load(std::memory_order_relaxed);
  };
  in_parts(total, threads, 1, [&](int part, std::size_t first, std::size_t last) {
    Scratch& s = scratch[static_cast<std::size_t>(part)];
    for (std::size_t i = first; i < last; ++i) {
      if (cancelled()) return;
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
