// Figures for the file side of a large survey: loading a list of many units and saving the
// report and progress file for them.

#include <benchmark/benchmark.h>

#include <string>

#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_files.h"
#include "platform/memory/memory_list_view.h"
#include "survey/context.h"
#include "survey/lifecycle.h"
#include "survey/list_files.h"
#include "survey/report_files.h"

namespace {

std::string makeList(int64_t units) {
  std::string text;
  for (int64_t i = 0; i < units; ++i) {
    if (i % 2 == 0) {
      text += "10." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." +
              std::to_string((i & 255) | 1) + "  ; pump station\r\n";
    } else {
      text += "U" + std::to_string(i) + "/" + std::to_string(100000 + i) + "\r\n";
    }
  }
  return text;
}

void BM_chooseListFile(benchmark::State& state) {
  vyr::MemoryFileSystem files;
  files.setContents("fleet.IPs", makeList(state.range(0)));
  vyr::MemoryDialog dialog;
  vyr::MemoryListView list;
  vyr::Context context(files, dialog, list);
  vyr::fillListSelector(context);
  dialog.select(0);
  for (auto _ : state) {
    vyr::chooseListFile(context);
    benchmark::DoNotOptimize(list.rowCount());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_chooseListFile)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_saveReport(benchmark::State& state) {
  vyr::MemoryFileSystem files;
  files.setContents("fleet.IPs", makeList(state.range(0)));
  vyr::MemoryDialog dialog;
  vyr::MemoryListView list;
  vyr::Context context(files, dialog, list);
  vyr::fillListSelector(context);
  dialog.select(0);
  vyr::chooseListFile(context);
  vyr::startSurvey(context, vyr::NEW_BUTTON);
  for (auto _ : state) {
    context.survey.reportOffset = 0;  // rewrite the one section in place
    vyr::saveReport(context);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_saveReport)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
