// What the list control costs with a large fleet on screen: loading a list file's rows, a
// survey's worth of row replacements, and scrolling, each including the repaint it causes.
// Runs on the offscreen platform, which paints into memory as a screen would.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QScrollBar>
#include <string>
#include <vector>

#include "app/qt/device_list.h"

namespace {

std::vector<std::string> rowsOf(int64_t count, const char* form) {
  std::vector<std::string> rows;
  for (int64_t i = 0; i < count; ++i) {
    rows.push_back("127." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
                   std::to_string(i % 256) + form);
  }
  return rows;
}

struct ShownList {
  ShownList() {
    list.resize(615, 164);
    list.setTabStops({42, 56, 83, 97, 125, 143, 206}, 6);
    list.show();
    QApplication::processEvents();
  }
  void repaint() {
    list.viewport()->repaint();
    QApplication::processEvents();
  }
  vyr::DeviceList list;
};

void loadRows(benchmark::State& state) {
  ShownList shown;
  const std::vector<std::string> rows = rowsOf(state.range(0), "");
  for (auto _ : state) {
    shown.list.clearRows();
    for (const std::string& row : rows) shown.list.addRow(row.c_str());
    shown.repaint();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(loadRows)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// Every unit's row is rewritten twice (versions, then modem info), in bursts between repaints as
// replies arrive, with the view somewhere in the middle.
void replaceRows(benchmark::State& state) {
  ShownList shown;
  const int64_t count = state.range(0);
  for (const std::string& row : rowsOf(count, "")) shown.list.addRow(row.c_str());
  shown.list.verticalScrollBar()->setValue(static_cast<int>(count / 2));
  const std::vector<std::string> versions = rowsOf(count, "\t1001\tPUMP0001\t1.20\tPUMPCTL\t2.05");
  const std::vector<std::string> complete =
      rowsOf(count, "\t1001\tPUMP0001\t1.20\tPUMPCTL\t2.05\t354779012345678\tA100001234567");
  for (auto _ : state) {
    for (const auto* forms : {&versions, &complete}) {
      for (int64_t i = 0; i < count; ++i) {
        shown.list.replaceRow(static_cast<int32_t>(i), (*forms)[static_cast<size_t>(i)].c_str());
        if (i % 1000 == 999) QApplication::processEvents();
      }
      shown.repaint();
    }
    state.PauseTiming();
    for (int64_t i = 0; i < count; ++i) shown.list.replaceRow(static_cast<int32_t>(i), "");
    QApplication::processEvents();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * count * 2);
}
BENCHMARK(replaceRows)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void scrollPage(benchmark::State& state) {
  ShownList shown;
  for (const std::string& row : rowsOf(state.range(0), "\t1001\tPUMP0001\t1.20\tPUMPCTL\t2.05")) {
    shown.list.addRow(row.c_str());
  }
  QScrollBar* bar = shown.list.verticalScrollBar();
  int step = bar->pageStep();
  for (auto _ : state) {
    if (bar->value() + step > bar->maximum() || bar->value() + step < 0) step = -step;
    bar->setValue(bar->value() + step);
    shown.repaint();
  }
}
BENCHMARK(scrollPage)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
