// The declaration of every option (zarvo/options.h) and the engine's thread
// policy: what every front end builds its options from.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <set>
#include <string>

#include "zarvo/options.h"

namespace {

using zarvo::GivenOptions;
using zarvo::OptionError;
using zarvo::OptionKind;

// The problem an option's value is refused with ("" when accepted).
std::string refusal(const GivenOptions& given) {
  zarvo::DenoiseOptions o;
  zarvo::RunContext c;
  try {
    zarvo::apply_options(given, o, c);
  } catch (const OptionError& e) {
    return e.what();
  }
  return "";
}

TEST(OptionTable, NamesAreUniqueAndExpertOnesHaveAPlace) {
  std::set<std::string> names;
  for (const zarvo::OptionDecl& o : zarvo::option_table()) {
    EXPECT_TRUE(names.insert(o.name).second) << o.name;
    EXPECT_EQ(zarvo::find_option(o.name), &o);
    EXPECT_NE(std::string(o.help), "") << o.name;
    if (o.expert && std::string(o.name) != "estimate") {
      EXPECT_EQ((o.whole_field != nullptr) + (o.real_field != nullptr) + (o.flag_field != nullptr),
                1)
          << o.name;
    }
    if (o.kind == OptionKind::choice) {
      EXPECT_FALSE(zarvo::option_choices(o).empty()) << o.name;
    }
  }
  EXPECT_EQ(zarvo::find_option("radius"), nullptr);
}

TEST(OptionTable, DefaultsComeFromTheEngine) {
  const zarvo::Params& base = zarvo::default_params();
  EXPECT_EQ(zarvo::default_text(*zarvo::find_option("search")),
            std::to_string(base.search) + " (default profile)");
  EXPECT_EQ(zarvo::default_text(*zarvo::find_option("noise")),
            zarvo::noise_name(zarvo::DenoiseOptions().noise));
  EXPECT_EQ(zarvo::default_text(*zarvo::find_option("profile")), zarvo::profiles().front().name);
  EXPECT_EQ(zarvo::default_text(*zarvo::find_option("series")), "volumes");

  // Nothing given: the engine's own defaults, untouched.
  zarvo::DenoiseOptions o;
  zarvo::RunContext c;
  zarvo::apply_options({}, o, c);
  EXPECT_EQ(c.threads, zarvo::threads_not_given);
  EXPECT_EQ(o.noise, zarvo::DenoiseOptions().noise);
  EXPECT_EQ(o.params.search, base.search);
  EXPECT_TRUE(o.sigma.empty());
}

TEST(OptionTable, GivenOptionsReachTheirPlaces) {
  zarvo::DenoiseOptions o;
  zarvo::RunContext c;
  // The profile applies first wherever it is given; the overrides after it.
  zarvo::apply_options({{"search", 7.0},
                        {"profile", std::string("fast")},
                        {"noise", std::string("rician")},
                        {"sigma", std::vector<double>{2, 3}},
                        {"sigma_scope", std::string("volume")},
                        {"series", std::string("joint")},
                        {"estimate", std::string("group")},
                        {"lambda", 2.5},
                        {"threads", 3.0},
                        {"basic_only", 1.0}},
                       o, c);
  EXPECT_EQ(o.params.search, 7);
  EXPECT_EQ(o.params.step, zarvo::profile("fast").step);
  EXPECT_EQ(o.noise, zarvo::Noise::rician);
  EXPECT_EQ(o.sigma, (std::vector<double>{2, 3}));
  EXPECT_EQ(o.sigma_scope, zarvo::SigmaScope::volume);
  EXPECT_EQ(o.series, zarvo::SeriesMode::joint);
  EXPECT_EQ(o.params.estimate_gaussian, zarvo::Estimate::group);
  EXPECT_EQ(o.params.estimate_rician, zarvo::Estimate::group);
  EXPECT_EQ(o.params.lambda, 2.5);
  EXPECT_EQ(c.threads, 3);
  EXPECT_TRUE(o.basic_only);
}

TEST(OptionTable, FlagsWorkBothWays) {
  for (const char* flag : {"soft", "synchronous"}) {
    const zarvo::OptionDecl& d = *zarvo::find_option(flag);
    for (double value : {1.0, 0.0}) {
      zarvo::DenoiseOptions o;
      o.params.*d.flag_field = value == 0;  // the opposite first
      zarvo::RunContext c;
      zarvo::apply_options({{flag, value}}, o, c);
      EXPECT_EQ(o.params.*d.flag_field, value != 0) << flag;
      EXPECT_EQ(std::get<double>(zarvo::expert_value(d, o.params, o.noise)), value) << flag;
    }
  }
}

TEST(OptionTable, EveryExpertValueRoundTripsAtItsBounds) {
  for (const zarvo::OptionDecl& d : zarvo::option_table()) {
    if (!d.expert || d.kind == OptionKind::choice) continue;
    for (double v : {d.min, d.max}) {
      zarvo::DenoiseOptions o;
      zarvo::RunContext c;
      zarvo::apply_options({{d.name, v}}, o, c);
      EXPECT_EQ(std::get<double>(zarvo::expert_value(d, o.params, o.noise)), v) << d.name;
    }
  }
}

TEST(OptionTable, ValuesOutsideTheDeclarationAreRefusedNamingTheOption) {
  const struct {
    GivenOptions given;
    const char* message;
  } cases[] = {
      {{{"search", 1025.0}}, "search: must be from 0 to 1024 (got 1025)"},
      {{{"search", 1e9}}, "search: must be from 0 to 1024 (got 1000000000)"},
      {{{"search", -1.0}}, "search: must be from 0 to 1024"},
      {{{"cube", 65.0}}, "cube: must be from 1 to 64 (got 65)"},
      {{{"group2", 0.0}}, "group2: must be from 1 to 1024"},
      {{{"step", 2.5}}, "step: 2.5 is not a whole number"},
      {{{"threads", 4097.0}}, "threads: must be from 0 to 4096"},
      {{{"alpha", 0.0}}, "alpha: must be a number from 0.001 to 1000 (got 0)"},
      {{{"lambda", std::nan("")}}, "lambda: must be a number"},
      {{{"tau1", std::string("x")}}, "tau1: 'x' is not a number"},
      {{{"soft", 2.0}}, "soft: must be true or false"},
      {{{"noise", std::string("poisson")}}, "noise: 'poisson' is neither gaussian nor rician"},
      {{{"noise", 1.0}}, "noise: must be gaussian or rician"},
      {{{"profile", std::string("slow")}}, "profile: unknown profile 'slow'"},
      {{{"sigma", std::vector<double>{1, -1}}},
       "sigma: the noise level must be a finite number > 0 (got -1)"},
      {{{"sigma", std::vector<double>{}}}, "sigma: give at least one noise level"},
      {{{"mask", 1.0}}, "mask: is given as data"},
      {{{"radius", 1.0}}, "radius: unknown option"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(refusal(c.given).rfind(c.message, 0), 0u) << refusal(c.given) << " / " << c.message;
  EXPECT_EQ(refusal({{"search", 1024.0}, {"threads", 4096.0}, {"alpha", 1e3}}), "");
}

TEST(OptionTable, TextAsTheCommandGivesIt) {
  auto parse = [](const char* name, const char* text) {
    return zarvo::parse_option_text(*zarvo::find_option(name), text);
  };
  EXPECT_EQ(std::get<std::vector<double>>(parse("sigma", "4.5,5,1e1")),
            (std::vector<double>{4.5, 5, 10}));
  EXPECT_EQ(std::get<double>(parse("soft", "false")), 0.0);
  EXPECT_EQ(std::get<double>(parse("soft", "1")), 1.0);
  EXPECT_EQ(std::get<std::string>(parse("noise", "rician")), "rician");
  for (auto [name, text] :
       {std::pair{"sigma", "4,"}, {"sigma", "nan"}, {"cube", "4x"}, {"cube", ""}, {"soft", "yes"}})
    EXPECT_THROW(parse(name, text), OptionError) << name << " " << text;
}

TEST(OptionTable, TheProfileTableIsCheckedByTheDeclaration) {
  EXPECT_THROW(zarvo::parse_profiles("bad 4 4 3 3 2000 16 32 3 30 20 1 0 volume volume\n"),
               zarvo::Error);
  try {
    zarvo::parse_profiles("bad 4 4 3 3 2000 16 32 3 30 20 1 0 volume volume\n");
  } catch (const zarvo::Error& e) {
    EXPECT_NE(std::string(e.what()).find("line 1: search: must be from 0 to 1024"),
              std::string::npos)
        << e.what();
  }
}

TEST(ThreadPolicy, EnvironmentCoresAndWork) {
  const int cores = zarvo::available_cores();
  unsetenv("ZARVO_THREADS");
  EXPECT_EQ(zarvo::choose_threads(zarvo::threads_not_given).threads, cores);
  EXPECT_EQ(zarvo::choose_threads(0).threads, cores);
  EXPECT_EQ(zarvo::choose_threads(0).note, "");  // nobody asked for a count
  const zarvo::ThreadChoice many = zarvo::choose_threads(cores + 1);
  EXPECT_EQ(many.threads, cores);
  EXPECT_NE(many.note.find("this process may run on"), std::string::npos);
  // Few reference cubes: a thread for every 16 at most.
  EXPECT_EQ(zarvo::choose_threads(0, 20).threads, 1);
  EXPECT_THROW(zarvo::choose_threads(-2), zarvo::Error);
  EXPECT_THROW(zarvo::choose_threads(zarvo::max_threads + 1), zarvo::Error);

  setenv("ZARVO_THREADS", "1", 1);
  EXPECT_EQ(zarvo::choose_threads(zarvo::threads_not_given).threads, 1);
  EXPECT_EQ(zarvo::walk_threads(zarvo::RunContext()), 1);
  EXPECT_EQ(zarvo::choose_threads(0).threads, cores);  // a count given wins
  setenv("ZARVO_THREADS", "-3", 1);
  try {
    zarvo::choose_threads(zarvo::threads_not_given);
    ADD_FAILURE() << "a bad ZARVO_THREADS was accepted";
  } catch (const zarvo::Error& e) {
    EXPECT_NE(std::string(e.what()).find("ZARVO_THREADS: '-3' is not a thread count"),
              std::string::npos);
  }
  unsetenv("ZARVO_THREADS");
}

}  // namespace
