// Figures for the file side of a large survey: loading a list of many units and saving the
// report and progress file for them, in memory and on the real file system.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "core/context.h"
#include "platform/memory/fake_clock.h"
#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_files.h"
#include "platform/memory/memory_list_view.h"
#include "platform/memory/memory_network.h"
#include "platform/posix/posix_files.h"
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

// A directory holding fleet.IPs with `units` entries, chosen in the selector: in memory, or in a
// temporary folder of the real file system.
struct Fleet {
  Fleet(int64_t units, bool onDisk) {
    if (onDisk) {
      std::string pattern = (std::filesystem::temp_directory_path() / "vyr-bench-XXXXXX").string();
      directory = ::mkdtemp(pattern.data());
      files = vyr::openPosixFileSystem(pattern.c_str());
    } else {
      files = std::make_unique<vyr::MemoryFileSystem>();
    }
    std::string text = makeList(units);
    auto list = files->create("fleet.IPs");
    list->write(text.data(), static_cast<int32_t>(text.size()));
    list->close();
    context = std::make_unique<vyr::Context>(*files, dialog, rows, clock, network.toolSocket());
    vyr::fillListSelector(*context);
    dialog.select(0);
  }
  Fleet(const Fleet&) = delete;
  Fleet& operator=(const Fleet&) = delete;
  ~Fleet() {
    context.reset();
    files.reset();
    if (!directory.empty()) std::filesystem::remove_all(directory);
  }

  std::filesystem::path directory;
  std::unique_ptr<vyr::FileSystem> files;
  vyr::MemoryDialog dialog;
  vyr::MemoryListView rows;
  vyr::FakeClock clock;
  vyr::MemoryNetwork network{clock};
  std::unique_ptr<vyr::Context> context;
};

void BM_chooseListFile(benchmark::State& state) {
  Fleet fleet(state.range(0), state.range(1) != 0);
  for (auto _ : state) {
    vyr::chooseListFile(*fleet.context);
    benchmark::DoNotOptimize(fleet.rows.rowCount());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_saveReport(benchmark::State& state) {
  Fleet fleet(state.range(0), state.range(1) != 0);
  vyr::chooseListFile(*fleet.context);
  vyr::startSurvey(*fleet.context, vyr::StartMode::FRESH);
  for (auto _ : state) {
    fleet.context->survey.reportOffset = 0;  // rewrite the one section in place
    vyr::saveReport(*fleet.context);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Arguments: units, and 1 for the real file system.
BENCHMARK(BM_chooseListFile)->ArgsProduct({{1000, 100000}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_saveReport)->ArgsProduct({{1000, 100000}, {0, 1}})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
