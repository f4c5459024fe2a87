// Figures behind vyr-survey's progress line: what a count of the finished units costs when the
// whole table of a 100,000-unit survey is walked, against the count kept from the rows rewritten
// since the last one (a reading every 250 ms, with the rows a busy period rewrites).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/memory/memory_list_view.h"
#include "platform/memory/seeded_random.h"
#include "survey_command/finished_units.h"

namespace {

constexpr int32_t UNITS = 100000;

// A survey state of `UNITS` records, every other one finished.
vyr::SurveyState halfFinishedSurvey() {
  vyr::SurveyState survey;
  survey.deviceTable = std::make_unique<vyr::DeviceRecord[]>(UNITS);
  survey.deviceCount = UNITS;
  for (int32_t i = 0; i < UNITS; i += 2) {
    vyr::setFieldText(survey.deviceTable[i].id, "U1");
    survey.deviceTable[i].flags = vyr::COMPLETE;
  }
  return survey;
}

void BM_countByWalkingTheTable(benchmark::State& state) {
  const vyr::SurveyState survey = halfFinishedSurvey();
  for (auto _ : state) {
    int32_t finished = 0;
    for (int32_t i = 0; i < survey.deviceCount; ++i) {
      finished += vyr::isFinished(survey.deviceTable[i]) ? 1 : 0;
    }
    benchmark::DoNotOptimize(finished);
  }
  state.SetLabel("one count of 100000 records");
}
BENCHMARK(BM_countByWalkingTheTable)->Unit(benchmark::kMicrosecond);

// A count after `rows` row rewrites (argument), the rewrites included: rewriting rows is what the
// survey does anyway, the marking is what the count adds to it.
void BM_countFromRewrittenRows(benchmark::State& state) {
  const vyr::SurveyState survey = halfFinishedSurvey();
  vyr::MemoryListView rows;
  for (int32_t i = 0; i < UNITS; ++i) rows.addRow("127.0.0.1");
  vyr::FinishedUnits list(rows);
  const auto rewrites = static_cast<int32_t>(state.range(0));
  vyr::SeededRandom random(3);
  std::vector<int32_t> order(static_cast<size_t>(rewrites));
  for (int32_t& row : order) row = static_cast<int32_t>(random.below(static_cast<uint32_t>(UNITS)));
  for (auto _ : state) {
    state.PauseTiming();
    list.restart();  // every row countable again, as early in a survey
    state.ResumeTiming();
    for (int32_t row : order) list.replaceRow(row, "127.0.0.1");
    benchmark::DoNotOptimize(list.count(survey));
  }
  state.SetLabel("rewrites and one count");
}
BENCHMARK(BM_countFromRewrittenRows)->Arg(0)->Arg(1000)->Arg(25000)->Unit(benchmark::kMicrosecond);

// The rewrites alone on the plain list view, for comparison.
void BM_rewritesAlone(benchmark::State& state) {
  vyr::MemoryListView rows;
  for (int32_t i = 0; i < UNITS; ++i) rows.addRow("127.0.0.1");
  const auto rewrites = static_cast<int32_t>(state.range(0));
  vyr::SeededRandom random(3);
  std::vector<int32_t> order(static_cast<size_t>(rewrites));
  for (int32_t& row : order) row = static_cast<int32_t>(random.below(static_cast<uint32_t>(UNITS)));
  for (auto _ : state) {
    for (int32_t row : order) rows.replaceRow(row, "127.0.0.1");
  }
}
BENCHMARK(BM_rewritesAlone)->Arg(1000)->Arg(25000)->Unit(benchmark::kMicrosecond);

}  // namespace
