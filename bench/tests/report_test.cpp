// Verdicts against the targets, and what the JSON form tells a tool.
#include "report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "line_model.h"

namespace ttycard::bench {
namespace {

// One APDU of `chars` characters that took `ratio` times its line-rate time
// and `cpu_share` of it in CPU.
ShapeRow Row(double ratio, double cpu_share, std::uint64_t failures = 0) {
  ShapeRow r{"shape", "what", {}};
  r.run.apdus = 1;
  r.run.failures = failures;
  r.run.chars_out = 30;
  r.run.chars_in = 40;
  const double line = LineSeconds(70);
  r.run.wall_s = ratio * line;
  r.run.user_s = cpu_share * line;
  r.run.cpu_s = {cpu_share * line};
  return r;
}

TEST(Report, ShapeVerdictsAtTheTargetBoundaries) {
  // The host road: CPU at most 0.2 %, at most 0.2 system calls per character
  // (the row has 70 characters).
  const struct {
    double ratio, cpu;
    std::uint64_t failures;
    bool host;
    std::uint64_t calls;
    bool ratio_pass, cpu_pass, calls_pass;
  } cases[] = {
      {1.0050, 0.002, 0, false, 0, true, true, true},
      {1.0199, 0.0099, 0, false, 112, true, true, true},  // shown only
      {1.0210, 0.002, 0, false, 0, false, true, true},
      {1.0050, 0.0101, 0, false, 0, true, false, true},
      {1.0050, 0.002, 1, false, 0, false, false, true},  // a wrong answer is never a pass
      {1.0050, 0.0019, 0, true, 14, true, true, true},
      {1.0050, 0.0021, 0, true, 15, true, false, false},
  };
  for (const auto& c : cases) {
    ShapeRow r = Row(c.ratio, c.cpu, c.failures);
    r.host_road = c.host;
    r.run.syscalls.read = c.calls;
    EXPECT_NEAR(r.Ratio(), c.ratio, 1e-9);
    EXPECT_EQ(r.RatioPasses(), c.ratio_pass) << c.ratio;
    EXPECT_EQ(r.CpuPasses(), c.cpu_pass) << c.cpu;
    EXPECT_EQ(r.CallsPass(), c.calls_pass) << c.calls;
  }
}

TEST(Report, CpuShareIsJudgedOnTheMedianApdu) {
  ShapeRow r = Row(1.0, 0.0);
  const double line = LineSeconds(70);
  r.run.apdus = 5;
  r.run.chars_out *= 5;
  r.run.chars_in *= 5;
  // Four ordinary APDUs and one that paid for another process.
  r.run.cpu_s = {0.004 * line, 0.005 * line, 0.003 * line, 0.004 * line, 0.5 * line};
  EXPECT_NEAR(r.CpuShare(), 0.004, 1e-12);
  EXPECT_TRUE(r.CpuPasses());
  EXPECT_EQ(Median({}), 0.0);
  EXPECT_EQ(Median({3, 1, 2, 10}), 2.5);
}

TEST(Report, EfficiencyIsJudgedOnlyOnTheHostRoad) {
  const struct {
    std::uint64_t minimal;
    bool judged;
    std::uint64_t failures;
    bool pass;
  } cases[] = {
      {70, true, 0, true},   // 1.000
      {67, true, 0, true},   // 0.957
      {66, true, 0, false},  // 0.943
      {40, false, 0, true},  // 0.571, shown only
      {70, true, 1, false},  // a wrong answer is never a pass
      {0, false, 1, true},   // nothing to judge
  };
  for (const auto& c : cases) {
    ShapeRow r = Row(1.005, 0.0015, c.failures);
    r.minimal_chars = c.minimal;
    r.host_road = c.judged;
    EXPECT_NEAR(r.Efficiency(), c.minimal / 70.0, 1e-12);
    EXPECT_EQ(r.EfficiencyPasses(), c.pass) << c.minimal << (c.judged ? " judged" : "");
    Report report;  // the unpaced rows count too
    report.paced = {Row(1.005, 0.002)};
    report.unpaced = {r};
    report.timeout.tries = 1;
    report.timeout.overshoot_s = {0.001};
    EXPECT_EQ(report.AllPass(), c.pass) << c.minimal;
    report.unpaced.clear();
    report.paced = {r};
    EXPECT_EQ(report.AllPass(), c.pass && c.failures == 0) << c.minimal;
  }
}

TEST(Report, TimeoutVerdict) {
  TimeoutResult t;
  EXPECT_FALSE(t.Passes());  // nothing measured
  t.tries = 2;
  t.overshoot_s = {0.001, 0.049};
  EXPECT_TRUE(t.Passes());
  t.overshoot_s.push_back(0.051);
  t.tries = 3;
  EXPECT_FALSE(t.Passes());
  t.overshoot_s = {0.001};
  t.all_failed_in_time = false;  // a read on a silent line claimed success
  EXPECT_FALSE(t.Passes());
}

std::string Json(const Report& report) {
  char* buf = nullptr;
  std::size_t size = 0;
  std::FILE* f = open_memstream(&buf, &size);
  PrintJson(report, f);
  std::fclose(f);
  std::string s(buf, size);
  std::free(buf);
  return s;
}

TEST(Report, JsonCarriesVerdictsAndProblems) {
  Report good;
  good.paced = {Row(1.004, 0.003)};
  good.timeout.tries = 1;
  good.timeout.overshoot_s = {0.001};
  EXPECT_TRUE(good.AllPass());
  EXPECT_NE(Json(good).find("\"all_pass\": true"), std::string::npos);
  EXPECT_NE(Json(good).find("\"ratio\": 1.00400"), std::string::npos);
  good.paced[0].minimal_chars = 63;
  good.paced[0].host_road = true;
  EXPECT_FALSE(good.AllPass());
  EXPECT_NE(Json(good).find("\"efficiency\": 0.9000, \"efficiency_judged\": true, "
                            "\"efficiency_pass\": false"),
            std::string::npos);
  good.paced[0].minimal_chars = 70;

  Report violated = good;
  violated.violations = {"paced: malformed \"frame\""};
  EXPECT_FALSE(violated.AllPass());
  const std::string json = Json(violated);
  EXPECT_NE(json.find("\"all_pass\": false"), std::string::npos);
  EXPECT_NE(json.find("malformed \\\"frame\\\""), std::string::npos);

  Report empty;  // nothing paced: no claim of success
  EXPECT_FALSE(empty.AllPass());
}

}  // namespace
}  // namespace ttycard::bench
