// Issue 12: corrupt headers, output sets, value ranges, threads and memory
// limits, with the built command run as a user runs it; and the replay of
// every input that ever crashed the NIfTI reading fuzzer.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../fuzz/read_one.h"
#include "io/nifti_io.h"
#include "io/outputs.h"
#include "support.h"

namespace zc = zarvo::cli;
using zarvo::test::kSanitized;
using zarvo::test::Outcome;
using zarvo::test::slurp;
using zarvo::test::spit;

namespace {

template <typename T>
void poke(std::string& bytes, std::size_t at, T value) {
  std::memcpy(&bytes[at], &value, sizeof value);
}

class Hardening : public zarvo::test::TempFolder {
 protected:
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    DIR* d = opendir(dir_.c_str());
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  void refused(const std::string& args, const std::string& fragment) const {
    const std::vector<std::string> before = files();
    const Outcome r = zarvo(args);
    EXPECT_EQ(r.status, 1) << args << "\n" << r.err;
    EXPECT_NE(r.err.find(fragment), std::string::npos) << args << "\n" << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("zarvo: error: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find("** ERROR"), std::string::npos) << r.err;
    EXPECT_EQ(files(), before) << args;
  }

  // A float NIfTI-1 file (or NIfTI-2 when version is 2) of the given shape.
  void image(const std::string& file, std::vector<int64_t> shape, int datatype,
             const std::vector<double>& values, int version = 1) const {
    int64_t dims[8] = {static_cast<int64_t>(shape.size()), 1, 1, 1, 1, 1, 1, 1};
    for (std::size_t i = 0; i < shape.size(); ++i) dims[i + 1] = shape[i];
    zc::NiftiPtr nim(nifti_make_new_nim(dims, datatype, 1));
    for (int64_t i = 0; i < nim->nvox; ++i) {
      const double v = values[static_cast<std::size_t>(i) % values.size()];
      if (datatype == DT_FLOAT64)
        static_cast<double*>(nim->data)[i] = v;
      else
        static_cast<float*>(nim->data)[i] = static_cast<float>(v);
    }
    const std::string one = version == 2 ? path(".one.nii") : file;
    ASSERT_EQ(nifti_set_filenames(nim.get(), one.c_str(), 0, 1), 0);
    nifti_image_write(nim.get());
    if (version == 2) {
      zc::Image im = zc::read_image(one, "x");
      im.version = 2;
      std::vector<double> all;
      for (int t = 0; t < im.nt; ++t) {
        const auto v = im.volume(t);
        all.insert(all.end(), v.begin(), v.end());
      }
      zc::write_image(file, im, all,
                      datatype == DT_FLOAT64 ? zc::DataType::float64 : zc::DataType::float32);
      std::remove(one.c_str());
    }
  }

  std::vector<double> ramp(int n, double scale = 1.0) const {
    std::vector<double> v(n);
    for (int i = 0; i < n; ++i) v[i] = scale * (100 + (i * 37 % 101) + 20 * std::sin(i * 0.3));
    return v;
  }
};

}  // namespace

TEST_F(Hardening, CorruptNiftiOneHeadersAreRefusedByName) {
  image(path("good.nii"), {12, 10, 6}, DT_FLOAT32, ramp(720));
  const std::string good = slurp(path("good.nii"));
  struct Case {
    const char* name;
    std::size_t at;
    int kind;  // 0: int16, 1: float
    double value;
    const char* fragment;
  } cases[] = {
      {"dim0_zero", 40, 0, 0, "dim[0] = 0"},
      {"dim0_nine", 40, 0, 9, "dim[0] = 9"},
      {"dim2_zero", 44, 0, 0, "dimension 2 of size 0"},
      {"dim1_negative", 42, 0, -5, "dimension 1 of size -5"},
      {"offset_zero", 108, 1, 0, "vox_offset 0, inside its 348-byte header"},
      {"offset_negative", 108, 1, -16, "vox_offset -16"},
      {"offset_nan", 108, 1, NAN, "vox_offset nan"},
      {"offset_past_end", 108, 1, 1e6, "is truncated"},
      {"huge_claim", 42, 0, 32767, "is truncated"},
      {"bitpix", 72, 0, 8, "bitpix 8"},
      {"datatype", 70, 0, 77, "not a NIfTI data type"},
      {"slope_inf", 112, 1, INFINITY, "non-finite scaling"},
  };
  for (const Case& c : cases) {
    std::string bytes = good;
    if (c.kind == 0)
      poke<int16_t>(bytes, c.at, static_cast<int16_t>(c.value));
    else
      poke<float>(bytes, c.at, static_cast<float>(c.value));
    if (std::string(c.name) == "huge_claim") {  // 32767^3 voxels in a small file
      poke<int16_t>(bytes, 44, 32767);
      poke<int16_t>(bytes, 46, 32767);
    }
    const std::string file = path(std::string(c.name) + ".nii");
    spit(file, bytes);
    refused("denoise " + file + " " + path("out.nii"), c.fragment);
    std::remove(file.c_str());
  }
  // A voxel count that wraps: 2^16 x 2^16 x 2^16 x 2^16 in NIfTI-2.
  image(path("two.nii"), {12, 10, 6}, DT_FLOAT32, ramp(720), 2);
  const std::string two = slurp(path("two.nii"));
  std::string wrap = two;
  poke<int64_t>(wrap, 8, 5);  // dim[0] lives at 16; datatype at 12 stays
  wrap = two;
  poke<int64_t>(wrap, 16, 4);
  for (int i = 1; i <= 4; ++i) poke<int64_t>(wrap, 16 + 8 * i, int64_t{1} << 16);
  spit(path("wrap.nii"), wrap);
  refused("denoise " + path("wrap.nii") + " " + path("out.nii"), "more voxels than 64 bits");
  std::string big = two;
  poke<int64_t>(big, 16, 7);
  for (int i = 1; i <= 7; ++i) poke<int64_t>(big, 16 + 8 * i, int64_t{1} << 40);
  spit(path("big.nii"), big);
  refused("denoise " + path("big.nii") + " " + path("out.nii"), "more voxels than 64 bits");
  std::string swapped = two;  // only the header size byte-swapped
  poke<int32_t>(swapped, 0, static_cast<int32_t>(__builtin_bswap32(540)));
  spit(path("swapped.nii"), swapped);
  refused("denoise " + path("swapped.nii") + " " + path("out.nii"), "dim[0]");
  std::string dim0 = two;
  poke<int64_t>(dim0, 16, 12);
  spit(path("dim0.nii"), dim0);
  refused("denoise " + path("dim0.nii") + " " + path("out.nii"), "dim[0] = 12");
  // A compressed file claiming far more than it holds is read in bounded
  // chunks: refused as truncated, quickly, whatever it claims.
  image(path("small.nii.gz"), {12, 10, 6}, DT_FLOAT32, ramp(720));
  std::string claim = good;  // 1024^3 float voxels: 4 GB
  poke<int16_t>(claim, 42, 1024);
  poke<int16_t>(claim, 44, 1024);
  poke<int16_t>(claim, 46, 1024);
  {
    gzFile gz = gzopen(path("claim.nii.gz").c_str(), "wb");
    gzwrite(gz, claim.data(), static_cast<unsigned>(claim.size()));
    gzclose(gz);
  }
  refused("denoise " + path("claim.nii.gz") + " " + path("out.nii"), "is truncated");
  if (!kSanitized) {
    const Outcome limited =
        zarvo("denoise " + path("claim.nii.gz") + " " + path("out.nii"), "ulimit -v 300000;");
    EXPECT_NE(limited.err.find("is truncated"), std::string::npos) << limited.err;
  }
}

TEST_F(Hardening, OutputsCannotDestroyEachOther) {
  image(path("in.nii"), {16, 14, 6}, DT_FLOAT32, ramp(16 * 14 * 6));
  mkdir(path("d").c_str(), 0777);
  // The same file spelled twice.
  refused(
      "denoise " + path("in.nii") + " " + path("d/out.nii") + " --noise-map " + path("d/./out.nii"),
      "must be different files");
  // A hard link to the input, with --force.
  ASSERT_EQ(link(path("in.nii").c_str(), path("d/alias.nii").c_str()), 0);
  refused("denoise " + path("in.nii") + " " + path("d/alias.nii") + " --force",
          "is the input file");
  // The noise map cannot be written (its values exceed float32): neither
  // file is written, and with --force the old output stays.
  image(path("huge.nii"), {16, 14, 6}, DT_FLOAT64, ramp(16 * 14 * 6, 1e37), 1);
  spit(path("d/old.nii"), "precious");
  const Outcome r =
      zarvo("denoise " + path("huge.nii") + " " + path("d/old.nii") +
            " --datatype float64 --sigma 1e39 --force --quiet --noise-map " + path("d/map.nii"));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("float32's range"), std::string::npos) << r.err;
  EXPECT_EQ(slurp(path("d/old.nii")), "precious");
  std::vector<std::string> left;
  DIR* d = opendir(path("d").c_str());
  while (dirent* e = readdir(d)) left.push_back(e->d_name);
  closedir(d);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{".", "..", "alias.nii", "old.nii"}));
  // A name of 250 characters works (the temporary names are short).
  const std::string name(246, 'n');
  const Outcome l = zarvo("denoise " + path("in.nii") + " " + path(name + ".nii") + " --quiet");
  EXPECT_EQ(l.status, 0) << l.err;
  EXPECT_EQ(zc::read_image(path(name + ".nii"), "x").shape(), "16x14x6");
  refused("denoise " + path("in.nii") + " " + path(name + "xxxxxxxxxx.nii"), "name is too long");
}

TEST_F(Hardening, AFileThatAppearsDuringTheWorkIsNotReplaced) {
  // The commit of two outputs where the second name appeared after the
  // checks: nothing is written, the newcomer is intact.
  zc::OutputSet set(false);
  set.add_input(path("in.nii"), "input");
  set.add_output(path("a.nii"), "output");
  set.add_output(path("b.nii"), "noise map");
  set.check();
  spit(path("b.nii"), "another run's result");
  set.write(path("a.nii"), [](const std::string& t) { spit(t, "a"); });
  set.write(path("b.nii"), [](const std::string& t) { spit(t, "b"); });
  try {
    set.commit();
    ADD_FAILURE() << "commit replaced a file that appeared";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("appeared while zarvo was working"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(slurp(path("b.nii")), "another run's result");
  EXPECT_EQ(files(), std::vector<std::string>{"b.nii"});
  // With --force both are replaced together.
  zc::OutputSet forced(true);
  forced.add_output(path("a.nii"), "output");
  forced.add_output(path("b.nii"), "noise map");
  forced.check();
  forced.write(path("a.nii"), [](const std::string& t) { spit(t, "a"); });
  forced.write(path("b.nii"), [](const std::string& t) { spit(t, "b"); });
  forced.commit();
  EXPECT_EQ(slurp(path("a.nii")), "a");
  EXPECT_EQ(slurp(path("b.nii")), "b");
  EXPECT_EQ(files(), (std::vector<std::string>{"a.nii", "b.nii"}));
}

TEST_F(Hardening, TwoRunsWritingTheSameNewOutputCannotBothSucceed) {
  image(path("a.nii"), {48, 48, 24}, DT_FLOAT32, ramp(48 * 48 * 24));
  image(path("b.nii"), {48, 48, 24}, DT_FLOAT32, ramp(48 * 48 * 24, 2.0));
  const std::string bin = ZARVO_BIN;
  const std::string cmd = "('" + bin + "' denoise " + path("a.nii") + " " + path("out.nii") +
                          " --quiet --threads 1 2>" + path("ea") + "; echo $? >" + path("ra") +
                          ") & ('" + bin + "' denoise " + path("b.nii") + " " + path("out.nii") +
                          " --quiet --threads 1 2>" + path("eb") + "; echo $? >" + path("rb") +
                          "); wait";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const std::string ra = slurp(path("ra")), rb = slurp(path("rb"));
  const std::string ea = slurp(path("ea")), eb = slurp(path("eb"));
  EXPECT_EQ((ra == "0\n") + (rb == "0\n"), 1) << ra << rb << ea << eb;
  const std::string& loser = ra == "0\n" ? eb : ea;
  const bool told = loser.find("appeared while zarvo was working") != std::string::npos ||
                    loser.find("exists (use --force") != std::string::npos;
  EXPECT_TRUE(told) << loser;
  // The file is whole: one run's result, not a mix.
  EXPECT_EQ(zc::read_image(path("out.nii"), "out").shape(), "48x48x24");
}

TEST_F(Hardening, ValuesBeyondTheOutputTypeAreRefusedBeforeTheWork) {
  image(path("big.nii"), {16, 14, 6}, DT_FLOAT64, ramp(16 * 14 * 6, 1e37));
  image(path("tiny.nii"), {16, 14, 6}, DT_FLOAT64, ramp(16 * 14 * 6, 1e-170));
  image(path("vast.nii"), {16, 14, 6}, DT_FLOAT64, ramp(16 * 14 * 6, 1e300));
  refused("denoise " + path("big.nii") + " " + path("out.nii"), "--datatype float64 holds them");
  refused("denoise " + path("big.nii") + " " + path("out.nii") + " --datatype int16",
          "--datatype float64 holds them");
  refused("denoise " + path("tiny.nii") + " " + path("out.nii"), "smallest normal number");
  refused("denoise " + path("vast.nii") + " " + path("out.nii") + " --datatype uint8",
          "scale factor cannot represent");
  const Outcome r = zarvo("denoise " + path("big.nii") + " " + path("out.nii") +
                          " --datatype float64 --quiet --profile fast");
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Hardening, ThreadsAndCommonOptionsAfterTheSubcommand) {
  image(path("in.nii"), {20, 20, 16}, DT_FLOAT32, ramp(20 * 20 * 16));
  Outcome r =
      zarvo("denoise " + path("in.nii") + " " + path("a.nii") + " --threads 2000 --profile fast");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("zarvo: using "), std::string::npos) << r.err;
  r = zarvo("denoise " + path("in.nii") + " " + path("a.nii") + " --threads 2 --force --quiet");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  r = zarvo("--threads 0 denoise " + path("in.nii") + " " + path("b.nii") + " --quiet");
  EXPECT_EQ(r.status, 0) << r.err;
  r = zarvo("--quiet --force denoise " + path("in.nii") + " " + path("b.nii"));  // before it too
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(zc::read_image(path("a.nii"), "a").volume(0),
            zc::read_image(path("b.nii"), "b").volume(0));  // threads do not change results
  r = zarvo("denoise " + path("in.nii") + " " + path("c.nii") + " --threads many");
  EXPECT_EQ(r.status, 2);  // a usage error, as every option's bad value
  EXPECT_EQ(r.err, "zarvo: error: --threads: 'many' is not a number (see zarvo --help)\n");
  r = zarvo("denoise " + path("in.nii") + " " + path("c.nii"), "ZARVO_THREADS=-3");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("ZARVO_THREADS: '-3' is not a thread count"), std::string::npos) << r.err;
  EXPECT_EQ(zarvo("profiles --threads 1 --quiet --force").status, 0);
  r = zarvo("denoise --help");
  EXPECT_EQ(r.status, 0);
}

TEST_F(Hardening, MemoryLimitsEndWithAOutcomeOrAClearError) {
  if (kSanitized) GTEST_SKIP() << "a sanitized command cannot run under ulimit -v";
  image(path("in.nii.gz"), {40, 36, 20}, DT_FLOAT32, ramp(40 * 36 * 20));
  for (int mb : {50, 60, 70, 90, 120, 170, 250, 400}) {
    const std::string out = path("out" + std::to_string(mb) + ".nii");
    const Outcome r = zarvo("denoise " + path("in.nii.gz") + " " + out + " --quiet",
                            "ulimit -v " + std::to_string(mb * 1024) + ";");
    if (r.status == 0) {
      EXPECT_EQ(zc::read_image(out, "out").shape(), "40x36x20") << mb;
    } else {
      EXPECT_EQ(r.status, 1) << mb << " MB: " << r.err;
      EXPECT_EQ(r.err.rfind("zarvo: error: ", 0), 0u) << mb << " MB: " << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    const Outcome v = zarvo("--version", "ulimit -v " + std::to_string(mb * 1024) + ";");
    EXPECT_NE(v.status, 124) << "zarvo --version hangs under ulimit -v " << mb << " MB";
  }
}

TEST(FuzzRegressions, EveryInputThatEverCrashedIsRefusedOrRead) {
  const std::string folder = std::string(ZARVO_SOURCE_DIR) + "/tests/fuzz/regressions";
  char scratch[] = "/tmp/zarvo-replay-XXXXXX";
  ASSERT_NE(mkdtemp(scratch), nullptr);
  DIR* d = opendir(folder.c_str());
  ASSERT_NE(d, nullptr);
  int replayed = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string bytes = slurp(folder + "/" + e->d_name);
    zarvo::fuzz::read_one(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                          scratch);
    ++replayed;
  }
  closedir(d);
  rmdir(scratch);
  EXPECT_GT(replayed, 0);
}
