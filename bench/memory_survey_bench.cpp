// CPU cost of whole surveys of responsive fleets on the in-memory network: the tool's side (queue,
// codec, scheduler, receiver, rows, report) plus the simulated fleet's, from the start button to
// the saved report. Each must end at the third tick, the protocol's minimum.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include "core/survey_driver.h"
#include "fleet/fleet_model.h"
#include "support/memory_fleet_world.h"
#include "support/virtual_time_loop.h"
#include "survey/lifecycle.h"

namespace {

struct Survey : vyr::fleet::MemoryFleetWorld {
  explicit Survey(uint32_t units) : MemoryFleetWorld(vyr::fleet::generateFleet(units, 41, 25, 50)) {
    chooseList("fleet.IPs", vyr::fleet::listFileText(model.description()));
  }
};

void BM_memorySurvey(benchmark::State& state) {
  const auto units = static_cast<uint32_t>(state.range(0));
  int ticks = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto survey = std::make_unique<Survey>(units);
    state.ResumeTiming();
    vyr::startProtocolSurvey(survey->context, vyr::StartMode::FRESH);
    vyr::pollDevices(survey->context, vyr::POLL_EVERYONE);
    ticks = vyr::runSurveyPeriods(survey->context, survey->clock, survey->network, 100);
    state.PauseTiming();
    survey.reset();
    state.ResumeTiming();
  }
  if (ticks != 3) state.SkipWithError("the survey did not end at the third tick");
  state.counters["ticks"] = ticks;
  state.counters["per_unit"] =
      benchmark::Counter(static_cast<double>(units), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

// The press of a start button alone: the table built from the rows, the two indexes and every
// unit asked. The dialogs give each of these steps a pass of their event loop; the counters say
// how long each took, in milliseconds.
void BM_pressStart(benchmark::State& state) {
  const auto units = static_cast<uint32_t>(state.range(0));
  double stepMs[4] = {};
  const char* const stepNames[4] = {"table_ms", "address_index_ms", "locate_index_ms", "ask_ms"};
  for (auto _ : state) {
    state.PauseTiming();
    auto survey = std::make_unique<Survey>(units);
    state.ResumeTiming();
    auto started = std::chrono::steady_clock::now();
    const auto lap = [&](int step) {
      const auto now = std::chrono::steady_clock::now();
      stepMs[step] += std::chrono::duration<double, std::milli>(now - started).count();
      started = now;
    };
    vyr::DriverWait wait;
    vyr::pressStart(survey->context, vyr::StartMode::FRESH, wait);
    lap(0);
    for (int step = 1; step < 3 && wait.startStepPending; ++step) {
      wait = vyr::startStep(survey->context);
      lap(step);
    }
    while (wait.startStepPending) wait = vyr::startStep(survey->context);
    lap(3);
    state.PauseTiming();
    survey.reset();
    state.ResumeTiming();
  }
  for (int step = 0; step < 4; ++step) {
    state.counters[stepNames[step]] = stepMs[step] / static_cast<double>(state.iterations());
  }
}

BENCHMARK(BM_pressStart)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK(BM_memorySurvey)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace
