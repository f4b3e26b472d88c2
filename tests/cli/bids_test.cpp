// The BIDS layout: which images a participant run denoises, the names of
// their derivatives, the metadata each inherits, and the derivative dataset's
// description.
#include "io/bids.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "support.h"
#include "zarvo/run.h"

namespace fs = std::filesystem;
namespace zb = zarvo::bids;
using zarvo::test::spit;

namespace {

class Bids : public zarvo::test::TempFolder {
 protected:
  void SetUp() override {
    TempFolder::SetUp();
    raw_ = path("raw");
    put("dataset_description.json", R"({"Name": "tiny", "BIDSVersion": "1.8.0"})");
    // Top-level metadata for every bold run, overridden for sub-01 below.
    put("task-rest_bold.json", R"({"RepetitionTime": 2.0, "TaskName": "rest"})");
    put("sub-01/anat/sub-01_T1w.nii.gz", "");
    put("sub-01/anat/sub-01_T1w.json", R"({"MagneticFieldStrength": 3})");
    put("sub-01/anat/sub-01_part-phase_T2starw.nii.gz", "");  // not a magnitude
    put("sub-01/anat/notes.nii", "");                         // not a BIDS name
    put("sub-01/func/sub-01_task-rest_bold.nii.gz", "");
    put("sub-01/func/sub-01_task-rest_bold.json", R"({"RepetitionTime": 1.5})");
    put("sub-01/func/sub-01_task-rest_events.tsv", "");
    put("sub-01/fmap/sub-01_phasediff.nii.gz", "");
    put("sub-02/ses-1/dwi/sub-02_ses-1_dwi.nii", "");
    put("sub-02/ses-1/dwi/sub-02_ses-1_dwi.bval", "0 1000");
    put("sub-02/ses-1/anat/sub-02_ses-1_run-1_T1w.nii", "");
    put("derivatives/other/sub-01/anat/sub-01_desc-x_T1w.nii.gz", "");
  }
  void put(const std::string& name, const std::string& text) {
    const fs::path p = fs::path(raw_) / name;
    fs::create_directories(p.parent_path());
    spit(p.string(), text);
  }
  zb::Request request() const {
    zb::Request r;
    r.bids_dir = raw_;
    r.out_dir = path("out");
    return r;
  }
  std::string raw_;
};

TEST(BidsNames, EntitiesSuffixAndDerivativeNames) {
  const zb::Name n = zb::parse_name("/a/sub-01_ses-2_acq-fast_T1w.nii.gz");
  ASSERT_EQ(n.entities.size(), 3u);
  EXPECT_EQ(n.entities[2].first, "acq");
  EXPECT_EQ(n.entities[2].second, "fast");
  EXPECT_EQ(n.suffix, "T1w");
  EXPECT_EQ(n.extension, ".nii.gz");
  EXPECT_EQ(zb::format_name(n), "sub-01_ses-2_acq-fast_T1w.nii.gz");

  EXPECT_EQ(zb::derivative_name("sub-01_task-rest_bold.nii.gz", "denoised"),
            "sub-01_task-rest_desc-denoised_bold.nii.gz");
  // A desc the source has is replaced, not repeated.
  EXPECT_EQ(zb::derivative_name("sub-01_desc-raw_run-2_T1w.nii", "zarvo"),
            "sub-01_run-2_desc-zarvo_T1w.nii");
  EXPECT_THROW(zb::parse_name("sub-01_T1w-x.nii"), zarvo::Error);
  EXPECT_THROW(zb::parse_name("sub01_T1w.nii"), zarvo::Error);
  EXPECT_THROW(zb::derivative_name("sub-01_T1w.nii", "de-noised"), zarvo::Error);
}

TEST_F(Bids, PlansEveryMagnitudeImageWithInheritedMetadata) {
  const std::vector<zb::Job> jobs = zb::plan(request());
  ASSERT_EQ(jobs.size(), 4u);
  EXPECT_EQ(jobs[0].relative, "sub-01/anat/sub-01_T1w.nii.gz");
  EXPECT_EQ(jobs[1].relative, "sub-01/func/sub-01_task-rest_bold.nii.gz");
  EXPECT_EQ(jobs[2].relative, "sub-02/ses-1/anat/sub-02_ses-1_run-1_T1w.nii");
  EXPECT_EQ(jobs[3].relative, "sub-02/ses-1/dwi/sub-02_ses-1_dwi.nii");

  const fs::path out = fs::weakly_canonical(path("out"));
  EXPECT_EQ(jobs[1].output,
            (out / "sub-01/func/sub-01_task-rest_desc-denoised_bold.nii.gz").string());
  EXPECT_EQ(jobs[3].output, (out / "sub-02/ses-1/dwi/sub-02_ses-1_desc-denoised_dwi.nii").string());
  EXPECT_EQ(jobs[1].source, "bids:raw:sub-01/func/sub-01_task-rest_bold.nii.gz");
  EXPECT_TRUE(fs::path(jobs[0].input).is_absolute());

  // The participant's sidecar overrides the dataset's; the rest is kept.
  EXPECT_EQ(jobs[1].metadata.at("RepetitionTime"), 1.5);
  EXPECT_EQ(jobs[1].metadata.at("TaskName"), "rest");
  EXPECT_EQ(jobs[0].metadata.at("MagneticFieldStrength"), 3);
  EXPECT_FALSE(jobs[0].metadata.contains("RepetitionTime"));  // another suffix
  EXPECT_TRUE(jobs[2].metadata.empty());
  EXPECT_EQ(jobs[3].bval,
            (fs::canonical(raw_) / "sub-02/ses-1/dwi/sub-02_ses-1_dwi.bval").string());
  EXPECT_TRUE(jobs[0].bval.empty());
}

TEST_F(Bids, ParticipantsAndDatatypesFilter) {
  zb::Request r = request();
  r.participants = {"sub-02"};
  r.datatypes = {"dwi"};
  const std::vector<zb::Job> jobs = zb::plan(r);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].subject, "02");
  EXPECT_EQ(jobs[0].suffix, "dwi");

  r.participants = {"01", "07"};
  try {
    zb::plan(r);
    FAIL() << "a missing participant was accepted";
  } catch (const zarvo::Error& e) {
    EXPECT_NE(std::string(e.what()).find("participant '07'"), std::string::npos) << e.what();
  }
}

TEST_F(Bids, RefusesWhatIsNoDatasetAndOutputsInsideIt) {
  zb::Request r = request();
  r.out_dir = raw_ + "/sub-01";
  EXPECT_THROW(zb::plan(r), zarvo::Error);
  r.out_dir = raw_;
  EXPECT_THROW(zb::plan(r), zarvo::Error);
  r.out_dir = raw_ + "/derivatives/zarvo";  // the usual place inside a dataset
  EXPECT_EQ(zb::plan(r).size(), 4u);

  r.bids_dir = path("raw/sub-01");  // no dataset_description.json
  r.out_dir = path("out");
  EXPECT_THROW(zb::plan(r), zarvo::Error);
  r.bids_dir = path("missing");
  EXPECT_THROW(zb::plan(r), zarvo::Error);

  put("sub-01/anat/sub-01_T1w.json", "{broken");
  EXPECT_THROW(zb::plan(request()), zarvo::Error);
}

TEST_F(Bids, DerivativeDescription) {
  const nlohmann::ordered_json d = zb::dataset_description(request(), "9.9");
  EXPECT_EQ(d.at("DatasetType"), "derivative");
  EXPECT_EQ(d.at("BIDSVersion"), "1.8.0");
  EXPECT_EQ(d.at("GeneratedBy").at(0).at("Name"), "zarvo");
  EXPECT_EQ(d.at("GeneratedBy").at(0).at("Version"), "9.9");
  // The raw link resolves from the derivative's folder to the raw dataset.
  const std::string link = d.at("DatasetLinks").at("raw");
  EXPECT_EQ(fs::weakly_canonical(fs::path(path("out")) / link), fs::canonical(raw_));
}

}  // namespace

namespace {

// The app as a user runs it, on a dataset made of the demo's head.
class BidsApp : public zarvo::test::TempFolder {
 protected:
  void SetUp() override {
    TempFolder::SetUp();
    ASSERT_EQ(zarvo("demo '" + path("demo") + "' --size 12 --quiet").status, 0);
    const std::string head = path("demo/gaussian_noisy.nii.gz");
    auto copy = [&](const std::string& to) {
      fs::create_directories(fs::path(path(to)).parent_path());
      fs::copy_file(head, path(to));
    };
    fs::create_directories(path("raw"));
    spit(path("raw/dataset_description.json"), R"({"Name": "app", "BIDSVersion": "1.9.0"})");
    spit(path("raw/T1w.json"), R"({"MagneticFieldStrength": 3, "Manufacturer": "none"})");
    copy("raw/sub-01/anat/sub-01_T1w.nii.gz");
    spit(path("raw/sub-01/anat/sub-01_T1w.json"), R"({"Manufacturer": "some"})");
    copy("raw/sub-02/ses-a/anat/sub-02_ses-a_T1w.nii.gz");
    spit(path("raw/sub-02/ses-a/anat/sub-02_ses-a_run-2_T1w.nii.gz"), "not an image");
  }
  std::vector<std::string> tree(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(path(folder)))
      names.push_back(e.path().string() + " " +
                      (e.is_regular_file() ? std::to_string(fs::file_size(e.path())) : "/"));
    std::sort(names.begin(), names.end());
    return names;
  }
  // The command run in the test's folder, so that relative names work.
  zarvo::test::Outcome app(const std::string& args) const {
    return zarvo(args, "cd '" + dir_ + "' &&");
  }
  nlohmann::json json(const std::string& file) const {
    return nlohmann::json::parse(zarvo::test::slurp(path(file)));
  }
};

TEST_F(BidsApp, DerivativesWithMetadataAndABadFileThatStopsNoOther) {
  const std::vector<std::string> raw = tree("raw");
  const zarvo::test::Outcome r = app("bids raw out participant --quiet --threads 2");
  EXPECT_EQ(r.status, 1) << r.err;  // the broken run-2 image
  EXPECT_NE(r.err.find("sub-02_ses-a_run-2_T1w.nii.gz"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("2 denoised, 0 already complete, 1 failed"), std::string::npos) << r.err;
  EXPECT_EQ(tree("raw"), raw);  // the dataset is only read

  const nlohmann::json d = json("out/dataset_description.json");
  EXPECT_EQ(d.at("DatasetType"), "derivative");
  EXPECT_EQ(d.at("GeneratedBy").at(0).at("Name"), "zarvo");
  for (const char* name : {"out/sub-01/anat/sub-01_desc-denoised_T1w",
                           "out/sub-02/ses-a/anat/sub-02_ses-a_desc-denoised_T1w"}) {
    ASSERT_TRUE(fs::is_regular_file(path(std::string(name) + ".nii.gz"))) << name;
    const nlohmann::json s = json(std::string(name) + ".json");
    EXPECT_EQ(s.at("MagneticFieldStrength"), 3) << name;  // inherited from the top
    EXPECT_EQ(s.at("Sources").size(), 1u);
    EXPECT_EQ(s.at("Sources").at(0).get<std::string>().rfind("bids:raw:sub-0", 0), 0u);
    EXPECT_EQ(s.at("RicianBiasRemoved"), false);
    EXPECT_TRUE(fs::path(s.at("input").get<std::string>()).is_absolute());
    EXPECT_EQ(s.at("complete"), true);
  }
  EXPECT_EQ(json("out/sub-01/anat/sub-01_desc-denoised_T1w.json").at("Manufacturer"), "some");
  // A QC page beside every output, in the sidecar's record, and an index.
  EXPECT_TRUE(fs::is_regular_file(path("out/sub-01/anat/sub-01_desc-denoised_T1w.html")));
  const nlohmann::json record = json("out/sub-01/anat/sub-01_desc-denoised_T1w.json")["outputs"];
  EXPECT_TRUE(std::any_of(record.begin(), record.end(),
                          [](const nlohmann::json& o) { return o["role"] == "report"; }));
  const std::string index = zarvo::test::slurp(path("out/zarvo_reports.html"));
  EXPECT_NE(index.find("href=\"sub-01/anat/sub-01_desc-denoised_T1w.html\""), std::string::npos);
  EXPECT_NE(index.find("failed: "), std::string::npos);
  EXPECT_EQ(json("out/sub-02/ses-a/anat/sub-02_ses-a_desc-denoised_T1w.json").at("Manufacturer"),
            "none");

  // A rerun keeps what is complete and tries the broken file again.
  const auto before = fs::last_write_time(path("out/sub-01/anat/sub-01_desc-denoised_T1w.nii.gz"));
  const zarvo::test::Outcome again = app("bids raw out participant --participant-label 01");
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.err.find("1 already complete"), std::string::npos) << again.err;
  EXPECT_EQ(fs::last_write_time(path("out/sub-01/anat/sub-01_desc-denoised_T1w.nii.gz")), before);
}

TEST_F(BidsApp, UsageErrorsExitTwoAndDatasetErrorsOne) {
  EXPECT_EQ(app("bids raw out group").status, 2);
  EXPECT_EQ(app("bids raw out participant --step 0").status, 2);
  const zarvo::test::Outcome missing = app("bids raw out participant --participant-label 9");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("participant '9'"), std::string::npos) << missing.err;
  EXPECT_EQ(app("bids raw raw/sub-01 participant").status, 1);  // inside the dataset
  EXPECT_FALSE(fs::exists(path("out")));
}

}  // namespace
