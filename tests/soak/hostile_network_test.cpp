// Catches surveys that stall, store a wrong byte, leak, or let the send queue or the heap grow over
// time on a hostile network: loss both ways, duplicates, reordering, replies to an earlier survey
// arriving late, and a flood of empty and garbage datagrams from unit and server addresses.

#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/survey_driver.h"
#include "fleet/fleet_simulator.h"
#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_list_view.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_udp_socket.h"
#include "protocol/scheduler.h"
#include "protocol/send_queue.h"
#include "support/private_network_test.h"
#include "survey/list_files.h"
#include "survey_command/poll_loop.h"

#if defined(__SANITIZE_ADDRESS__)
#define VYR_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VYR_SOAK_ASAN 1
#endif
#endif
#ifdef VYR_SOAK_ASAN
// The sanitizer's allocator keeps its own count; its header does not come with every compiler.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace vyr::testing {
namespace {

constexpr int SURVEY_LIMIT_MS = 480000;  // a bound for a stall, far beyond what a survey needs
// The loop runs in slices of four whole ticks and a little more, so that no tick is lost at the
// seams; the samples are taken between slices, on the loop's own thread.
constexpr int SLICE_MS = 4 * static_cast<int>(TICK_PERIOD) + 10;
// Distinct datagrams a unit can have waiting at once: identify, locate query, acknowledgement,
// version query plain and run-coded, modem request. The queue refuses a second copy of any.
constexpr uint64_t DATAGRAMS_PER_UNIT = 6;

// How much more the heap may hold later than earlier: the rows of the list view lengthen as units
// complete, the rest is noise of the allocator. A leak of a few bytes per request, reply or flood
// datagram, or a report section kept per survey, is far above it.
double heapAllowance(double earlierPeak) { return earlierPeak * 1.02 + 256 * 1024; }

struct Scenario {
  uint32_t units = 2000;
  uint64_t seed = 20261208;
  uint32_t lossPercent = 30;  // units, each way, and the server
  uint32_t floodPerSecond = 3000;
  uint32_t latePercent = 10;  // replies sent again after lateMs
  uint32_t lateMs = 8000;
  int firstSurveyMs = 10000;  // the earlier survey of part of the fleet, aborted after this
  int seconds = 0;            // keep starting surveys of the whole fleet until this has passed
  bool printEverySample = false;
};

struct Sample {
  double seconds;
  int survey;
  uint64_t queued;  // datagrams waiting in the send queue
  uint64_t queuedBytes;
  uint64_t heap;      // bytes the allocator has handed out and not had back
  uint64_t resident;  // bytes of the process in memory
  uint64_t flood;     // flood datagrams sent so far
  uint64_t late;      // late copies sent so far
};

uint64_t heapInUse() {
#ifdef VYR_SOAK_ASAN
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#endif
}

uint64_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0;
  uint64_t resident = 0;
  statm >> size >> resident;
  return resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

uint64_t queuedBytes(const SendQueue& queue) {
  uint64_t bytes = 0;
  for (const QueuedDatagram* node = queue.head; node != nullptr; node = node->next) {
    const auto* run = reinterpret_cast<const RequestRun*>(node->bytes());
    bytes +=
        sizeof(QueuedDatagram) +
        (isRequestRun(*node) ? sizeof(RequestRun) + sizeof(int32_t) * run->capacity : node->length);
  }
  return bytes;
}

// A run of deferred requests counts as the datagrams it holds.
uint64_t queuedCount(const SendQueue& queue) { return waitingDatagrams(queue); }

// A whole non-negative number from the environment; anything else gives `fallback`.
int environmentNumber(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  return *end == '\0' && value >= 0 && value <= INT32_MAX ? static_cast<int>(value) : fallback;
}

fleet::FleetDescription hostileFleet(const Scenario& scenario) {
  fleet::FleetDescription description = fleet::generateFleet(scenario.units, scenario.seed, 25, 50);
  for (fleet::UnitDescription& unit : description.units) unit.lossPercent = scenario.lossPercent;
  description.serverLossPercent = scenario.lossPercent;
  description.duplicatePercent = 10;
  description.jitterMs = 40;  // reorders replies and their copies
  description.latePercent = scenario.latePercent;
  description.lateMs = scenario.lateMs;
  description.wrongPortPercent = 5;
  description.zeroLengthPercent = 5;
  description.oversizedPercent = 2;
  description.garbagePercent = 5;
  description.floodPerSecond = scenario.floodPerSecond;
  return description;
}

double peakOf(const std::vector<Sample>& samples, size_t from, size_t to, uint64_t Sample::*field) {
  uint64_t peak = 0;
  for (size_t i = from; i < to; ++i) peak = std::max(peak, samples[i].*field);
  return static_cast<double>(peak);
}

void printSample(const Sample& s) {
  std::printf(
      "sample t=%7.1fs survey=%d queue=%llu datagrams/%llu bytes heap=%llu resident=%llu "
      "flood=%llu late=%llu\n",
      s.seconds, s.survey, static_cast<unsigned long long>(s.queued),
      static_cast<unsigned long long>(s.queuedBytes), static_cast<unsigned long long>(s.heap),
      static_cast<unsigned long long>(s.resident), static_cast<unsigned long long>(s.flood),
      static_cast<unsigned long long>(s.late));
  std::fflush(stdout);
}

// Names the first line of the report section that differs, and how many do, rather than print
// two long reports.
void reportDifferences(int survey, const std::string& section, const std::string& expected) {
  std::istringstream got(section);
  std::istringstream want(expected);
  std::string gotLine;
  std::string wantLine;
  int row = 0;
  int differing = 0;
  while (std::getline(want, wantLine)) {
    gotLine.clear();
    std::getline(got, gotLine);
    if (gotLine != wantLine && ++differing == 1) {
      ADD_FAILURE() << "survey " << survey << ", report line " << row << " (0: header)\n got "
                    << gotLine << "\nwant " << wantLine;
    }
    ++row;
  }
  ADD_FAILURE() << "survey " << survey << ": " << differing << " lines of the report differ";
}

// Bounded: the queue never holds more than each unit's distinct requests, and nothing grows over
// time: the second half of the run peaks no higher than the first half, give or take.
void expectNoGrowth(const std::vector<Sample>& samples, size_t from, uint32_t units) {
  const size_t middle = from + (samples.size() - from) / 2;
  const uint64_t queueBound = DATAGRAMS_PER_UNIT * units;
  const double firstQueue = peakOf(samples, from, middle, &Sample::queued);
  const double secondQueue = peakOf(samples, middle, samples.size(), &Sample::queued);
  const double firstBytes = peakOf(samples, from, middle, &Sample::queuedBytes);
  const double secondBytes = peakOf(samples, middle, samples.size(), &Sample::queuedBytes);
  const double firstHeap = peakOf(samples, from, middle, &Sample::heap);
  const double secondHeap = peakOf(samples, middle, samples.size(), &Sample::heap);
  const double firstResident = peakOf(samples, from, middle, &Sample::resident);
  const double secondResident = peakOf(samples, middle, samples.size(), &Sample::resident);
  std::printf(
      "peaks, first half / second half: queue %.0f / %.0f datagrams (bound %llu), %.0f / %.0f "
      "bytes; heap %.0f / %.0f bytes; resident %.0f / %.0f bytes; %zu samples\n",
      firstQueue, secondQueue, static_cast<unsigned long long>(queueBound), firstBytes, secondBytes,
      firstHeap, secondHeap, firstResident, secondResident, samples.size() - from);
  std::fflush(stdout);
  for (const Sample& s : samples) {
    EXPECT_LE(s.queued, queueBound) << "at " << s.seconds << " s";
  }
  EXPECT_LE(secondQueue, firstQueue + units / 20.0);
  EXPECT_LE(secondBytes, firstBytes + units / 20.0 * 64);
  EXPECT_LE(secondHeap, heapAllowance(firstHeap));
}

// The survey under test and its surroundings: the fleet simulator in a thread of its own, and the
// tool's loop, files and socket on this one. Samples are taken on this thread between slices of
// the loop, so that nothing reads the send queue while it changes.
class SoakRun {
 public:
  SoakRun(const Scenario& scenario, const std::filesystem::path& directory)
      : scenario_(scenario),
        description_(hostileFleet(scenario)),
        model_(description_),
        simulator_(model_),
        files_(openPosixFileSystem(directory.c_str())),
        socket_(PosixUdpSocket::open()) {
    // Room for every sample up front, so that the test's own bookkeeping does not show as growth.
    samples_.reserve(static_cast<size_t>(scenario.seconds + scenario.firstSurveyMs / 1000) * 2 +
                     4096);
  }
  SoakRun(const SoakRun&) = delete;
  SoakRun& operator=(const SoakRun&) = delete;
  ~SoakRun() { stopFleet(); }

  // Opens the simulator's sockets and the tool's, and starts the fleet.
  bool start(std::string& error) {
    if (socket_ == nullptr) {
      error = "the tool's socket cannot be opened";
      return false;
    }
    if (!simulator_.open(error)) return false;
    context_ = std::make_unique<Context>(*files_, dialog_, list_, clock_, *socket_);
    dialog_.serverField = "127.0.0.1";
    fillListSelector(*context_);
    fleetThread_ = std::thread([this] { simulator_.run(stop_); });
    return true;
  }

  void stopFleet() {
    stop_ = true;
    if (fleetThread_.joinable()) fleetThread_.join();
  }

  // Chooses the list file `name` and presses New; false when the survey did not start.
  bool startSurvey(const std::string& name) {
    if (!dialog_.selectItem(name)) return false;
    chooseListFile(*context_);
    return pressStart(*context_, StartMode::FRESH) && surveyRunning(*context_);
  }

  // Runs the loop until the survey ends or `limitMs` passes, sampling between slices of four
  // whole ticks and a little more, so that no tick is lost at the seams. True once it has ended.
  bool runSurvey(int survey, int limitMs) {
    const auto start = std::chrono::steady_clock::now();
    sample(survey);  // the start's everyone pass, not yet flushed
    while (surveyRunning(*context_) && secondsSince(start) * 1000 < limitMs) {
      runUntilDone(*context_, socket_->fd(), SLICE_MS);
      sample(survey);
    }
    return !surveyRunning(*context_);
  }

  void abort() { abortSurvey(*context_); }
  static double secondsSince(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
  }
  double elapsed() const { return secondsSince(began_); }

  const Scenario& scenario() const { return scenario_; }
  const fleet::FleetDescription& description() const { return description_; }
  const fleet::FleetModel& model() const { return model_; }
  const fleet::FleetSimulator& simulator() const { return simulator_; }
  const std::vector<Sample>& samples() const { return samples_; }
  int beeps() const { return dialog_.beeps; }

 private:
  void sample(int survey) {
    const Sample s{elapsed(),
                   survey,
                   queuedCount(context_->sendQueue),
                   queuedBytes(context_->sendQueue),
                   heapInUse(),
                   residentBytes(),
                   simulator_.live().floodSent.load(),
                   simulator_.live().lateCopiesSent.load()};
    samples_.push_back(s);
    if (scenario_.printEverySample || samples_.size() % 10 == 1) printSample(s);
  }

  Scenario scenario_;
  fleet::FleetDescription description_;
  fleet::FleetModel model_;
  fleet::FleetSimulator simulator_;
  std::atomic<bool> stop_{false};
  std::thread fleetThread_;
  std::unique_ptr<FileSystem> files_;
  std::unique_ptr<PosixUdpSocket> socket_;
  MemoryDialog dialog_;
  MemoryListView list_;
  PosixClock clock_;
  std::unique_ptr<Context> context_;
  const std::chrono::steady_clock::time_point began_ = std::chrono::steady_clock::now();
  std::vector<Sample> samples_;
};

class HostileNetworkTest : public PrivateNetworkTest {
 protected:
  void run(const Scenario& scenario);
  // Survey after survey of the whole fleet until the scenario's time is up, each checked to the
  // byte.
  void surveyWholeFleet(SoakRun& soak);
  // The new report section and the progress file of the survey just ended.
  void expectSurveyFiles(const SoakRun& soak, int survey, size_t reportBefore, size_t earlierHash);

  size_t lateWindowFirst_ = 0;  // samples of the whole fleet's first survey while late copies
  size_t lateWindowLast_ = 0;   // can only be the earlier survey's
};

void HostileNetworkTest::run(const Scenario& scenario) {
  const fleet::FleetDescription description = hostileFleet(scenario);
  // The earlier survey lists the first three quarters of the same units.
  fleet::FleetDescription earlier = description;
  earlier.units.resize(description.units.size() * 3 / 4);
  std::ofstream(directory_ / "early.IPs", std::ios::binary) << fleet::listFileText(earlier);
  std::ofstream(directory_ / "fleet.IPs", std::ios::binary) << fleet::listFileText(description);

  SoakRun soak(scenario, directory_);
  std::string error;
  ASSERT_TRUE(soak.start(error)) << error;

  // The earlier survey, cut short by the operator while its replies are still on their way.
  ASSERT_TRUE(soak.startSurvey("early.IPs"));
  if (!soak.runSurvey(0, scenario.firstSurveyMs)) soak.abort();
  const size_t firstOfWhole = soak.samples().size();

  surveyWholeFleet(soak);
  soak.stopFleet();

  // What the network did.
  const std::vector<Sample>& samples = soak.samples();
  const fleet::FleetCounters& fleetCounters = soak.model().counters();
  const Sample& last = samples.back();
  const double floodSeconds = last.seconds - samples[firstOfWhole].seconds;
  const uint64_t flood = last.flood - samples[firstOfWhole].flood;
  const uint64_t lateFromEarlier = samples[lateWindowLast_].late - samples[lateWindowFirst_].late;
  std::printf(
      "network: %u units, %u%% loss each way, %llu requests and %llu replies lost, %llu "
      "duplicates, %llu late copies made, %llu late copies sent, %llu of the earlier survey's "
      "delivered in the next, flood %.0f datagrams/s (%llu sent)\n",
      scenario.units, scenario.lossPercent,
      static_cast<unsigned long long>(fleetCounters.droppedRequests),
      static_cast<unsigned long long>(fleetCounters.droppedReplies),
      static_cast<unsigned long long>(fleetCounters.duplicates),
      static_cast<unsigned long long>(fleetCounters.lateCopies),
      static_cast<unsigned long long>(soak.simulator().live().lateCopiesSent.load()),
      static_cast<unsigned long long>(lateFromEarlier),
      static_cast<double>(flood) / std::max(floodSeconds, 1.0),
      static_cast<unsigned long long>(last.flood));
  if (scenario.latePercent > 0) {
    EXPECT_GT(lateFromEarlier, 0u) << "no reply of the earlier survey reached the next one";
  }
  if (scenario.floodPerSecond > 0) {
    EXPECT_GT(flood, 0u) << "the flood never ran";
  }
  expectNoGrowth(samples, firstOfWhole, scenario.units);
}

void HostileNetworkTest::surveyWholeFleet(SoakRun& soak) {
  const Scenario& scenario = soak.scenario();
  int surveys = 0;
  double firstSurveyHeap = 0;
  do {
    ++surveys;
    // Only the earlier sections' length and hash are kept while the survey runs: the report grows
    // by a section per survey, and holding it would read as growth of the tool.
    size_t reportBefore = 0;
    size_t earlierHash = 0;
    {
      const std::string earlierSections = read("fleet.model");
      reportBefore = earlierSections.size();
      earlierHash = std::hash<std::string>{}(earlierSections);
    }
    const int beeps = soak.beeps();
    const size_t firstOfSurvey = soak.samples().size();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(soak.startSurvey("fleet.IPs"));
    const bool done = soak.runSurvey(surveys, SURVEY_LIMIT_MS);

    const std::vector<Sample>& samples = soak.samples();
    if (surveys == 1) {
      // Late copies sent before this survey's own replies can have come due belong to the earlier
      // survey.
      lateWindowFirst_ = lateWindowLast_ = firstOfSurvey;
      while (lateWindowLast_ + 1 < samples.size() &&
             samples[lateWindowLast_ + 1].seconds - samples[firstOfSurvey].seconds <
                 scenario.lateMs / 1000.0) {
        ++lateWindowLast_;
      }
    }
    const double surveyHeap = peakOf(samples, firstOfSurvey, samples.size(), &Sample::heap);
    std::printf(
        "survey %d of %u units: %s after %.1f s; peaks: queue %.0f datagrams, heap %.0f bytes, "
        "resident %.0f bytes\n",
        surveys, scenario.units, done ? "complete" : "STALLED", SoakRun::secondsSince(start),
        peakOf(samples, firstOfSurvey, samples.size(), &Sample::queued), surveyHeap,
        peakOf(samples, firstOfSurvey, samples.size(), &Sample::resident));
    std::fflush(stdout);
    if (surveys == 1) firstSurveyHeap = surveyHeap;
    EXPECT_LE(surveyHeap, heapAllowance(firstSurveyHeap))
        << "survey " << surveys << " holds more than the first";
    if (!done) {
      soak.abort();
      ADD_FAILURE() << "survey " << surveys << " stalled";
      return;
    }
    EXPECT_EQ(soak.beeps(), beeps + 1);
    expectSurveyFiles(soak, surveys, reportBefore, earlierHash);
    // A wrong byte is reported and the soak goes on; only a stall ends it early.
  } while (soak.elapsed() < scenario.seconds);
}

void HostileNetworkTest::expectSurveyFiles(const SoakRun& soak, int survey, size_t reportBefore,
                                           size_t earlierHash) {
  const std::string report = read("fleet.model");
  ASSERT_GE(report.size(), reportBefore);
  EXPECT_EQ(std::hash<std::string>{}(report.substr(0, reportBefore)), earlierHash)
      << "survey " << survey << " changed an earlier section";
  const std::string section = report.substr(reportBefore);
  const std::string expected = fleet::expectedReport(soak.description());
  if (section != expected) reportDifferences(survey, section, expected);
  EXPECT_TRUE(fleet::withoutSendTimes(read("fleet.soFar")) ==
              fleet::expectedProgress(soak.description(), static_cast<int32_t>(reportBefore)))
      << "survey " << survey << ": the progress file differs";
}

TEST_F(HostileNetworkTest, TwoThousandUnitsSurviveLossLateRepliesAndAFlood) { run(Scenario{}); }

// The soak proper: the same network for as long as scripts/soak asks, survey after survey.
TEST_F(HostileNetworkTest, LongSoakOfBackToBackSurveys) {
  const int seconds = environmentNumber("VYR_SOAK_SECONDS", 0);
  if (seconds <= 0) {
    GTEST_SKIP() << "the long soak runs only from scripts/soak (VYR_SOAK_SECONDS not set)";
  }
  Scenario scenario;
  scenario.seconds = seconds;
  scenario.units = static_cast<uint32_t>(environmentNumber("VYR_SOAK_UNITS", 2000));
  scenario.floodPerSecond = static_cast<uint32_t>(environmentNumber("VYR_SOAK_FLOOD", 5000));
  scenario.seed = static_cast<uint64_t>(environmentNumber("VYR_SOAK_SEED", 20261209));
  scenario.lossPercent = static_cast<uint32_t>(environmentNumber("VYR_SOAK_LOSS", 30));
  scenario.latePercent = static_cast<uint32_t>(environmentNumber("VYR_SOAK_LATE", 10));
  scenario.printEverySample = true;
  run(scenario);
}

}  // namespace
}  // namespace vyr::testing
