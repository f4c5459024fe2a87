// Writes the fuzz targets' seed inputs, made from the examples the tests use, into
// DIRECTORY/<target>/seed-NNN:   vyr-fuzz-seeds DIRECTORY

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/survey_driver.h"
#include "fleet/fleet_model.h"
#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_files.h"
#include "platform/memory/memory_list_view.h"
#include "protocol/frame_codec.h"
#include "protocol/messages.h"
#include "support/memory_fleet_world.h"
#include "support/virtual_time_loop.h"
#include "survey/list_files.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

struct SeedWriter {
  fs::path directory;
  int count = 0;
  void write(const Bytes& bytes) {
    char name[32];
    std::snprintf(name, sizeof name, "seed-%03d", count++);
    std::ofstream(directory / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  void write(const std::string& text) { write(Bytes(text.begin(), text.end())); }
};

Bytes frameOf(const Bytes& message, bool runCoding) {
  Bytes frame(static_cast<size_t>(vyr::frameCapacity(static_cast<int32_t>(message.size()))));
  frame.resize(static_cast<size_t>(vyr::writeFrame(
      message.data(), static_cast<int32_t>(message.size()), runCoding, frame.data())));
  return frame;
}

// The messages the units and the tool exchange, and the codec's hard cases.
std::vector<Bytes> exampleMessages() {
  Bytes version(vyr::VERSION_REPLY_LENGTH, 0);
  version[0] = vyr::VERSION_REPLY;
  version[10] = 105;
  version[12] = 0xF4;
  version[13] = 0x01;
  std::memcpy(version.data() + 32, "PUMP", 4);
  version[41] = 2;
  version[42] = 0xE0;
  version[43] = 0x01;
  Bytes modem(vyr::MODEM_REPLY_LENGTH, 0);
  modem[0] = vyr::MODEM_INFO;
  std::memcpy(modem.data() + vyr::MODEM_ESN_OFFSET, "E77", 3);
  std::memcpy(modem.data() + vyr::MODEM_ID_OFFSET, "MX200", 5);
  Bytes reserved(vyr::DECODED_LIMIT);
  for (size_t i = 0; i < reserved.size(); ++i) reserved[i] = static_cast<uint8_t>(0xFC + i % 4);
  return {
      {0x64, 0x00},
      {0x01, 0x00},
      {0x65, 'A', '1', '7', 0, 0, 0, 0, 0, 0},
      {0x64, 'A', '1', '7', 0, 0, 0, 0, 0, 0},
      {0x64, 'T', 'A', 'N', 'K', '0', '0', '0', '1', 0, 0, 0},
      version,
      modem,
      Bytes(5, 0),
      {0x41, 0xFF, 0x42},
      {0xFC, 0x01},
      Bytes(3, 0xFC),
      Bytes(252, 0x20),
      Bytes(258, 0xFF),
      reserved,
      {},
  };
}

void frameCodecSeeds(SeedWriter& out) {
  for (const Bytes& message : exampleMessages()) {
    for (uint8_t runCoding = 0; runCoding < 2; ++runCoding) {
      Bytes input{runCoding};
      Bytes frame = frameOf(message, runCoding != 0);
      if (frame.size() <= static_cast<size_t>(vyr::RECEIVE_BUFFER_SIZE)) {
        input.insert(input.end(), frame.begin(), frame.end());
        out.write(input);
      }
      input.assign(1, runCoding);
      input.insert(input.end(), message.begin(), message.end());
      out.write(input);
    }
  }
  out.write(Bytes{1, 0xFF, 0xFC, 0xFD, 0x30, 0xFD, 0x30, 0xFC, 0x2D, 0xFD, 0x30, 0xFE});
  out.write(Bytes{1, 0xFF, 0xFC, 0x00, 0x00, 0xFE});
  out.write(Bytes{0, 0xFF, 0xFD, 0xFE});
}

void listFileSeeds(SeedWriter& out, const fs::path& demo) {
  const char* lines[] = {
      "10.20.0.11\r\n  192.168.1.20   ; pump station\r\n010.020.000.011\r\n10.0.0.300\r\n",
      "10.0.0.1/55\n1.2.3\ntank 3: 172.16.0.7\n; north site units\n; gateway 10.0.0.254\n",
      "A17/501\r\nTANK0001/502\r\nTOOLONGID/503\r\nTOOLONGID/503 10.9.9.9\r\n",
      "unit ABC/123\r\ndevice ABC/123\r\n  ABC/77\r\n12.5/100\r\nABC/\r\nABC/ 99\r\n/123\r\n",
      "0.0.0.0\r\n0.0.0.0 10.0.0.9\r\n\r\n \t \r\n10.0.0.2147483648\r\n10.0.0.-2147483648\r\n",
      "+1.-2.3.4\nA/4294967295\nA/4294967296\nA/4294967296 B/7\nA/-5\n  \t /9\n",
  };
  for (const char* text : lines) out.write(std::string(text));
  // A line cut into pieces of 79 bytes, and one that fills a piece exactly.
  out.write(std::string(81, 'A') + " 10.0.0.1\n");
  out.write(std::string(79, 'A') + "\n10.0.0.2");
  out.write(std::string("10.0.0.1\n10.0.\0.2\n10.0.0.3\n", 27));
  for (const char* name : {"north.IPs", "south.IPs"}) {
    std::ifstream in(demo / name, std::ios::binary);
    out.write(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
  }
}

// Progress files of the fuzz target's own lists, saved after 0 to 3 ticks of a survey of units
// that answer, so that they hold records at every stage.
void progressFileSeeds(SeedWriter& out) {
  for (int rows : {1, 3, 8}) {
    for (int mask : {0x00, 0x05, 0xFF}) {
      const auto serialRows = static_cast<uint8_t>(mask);
      vyr::fleet::FleetDescription fleet;
      std::string listText = "# rows\r\n";
      for (int i = 0; i < rows; ++i) {
        vyr::fleet::UnitDescription unit;
        const uint8_t ip[4] = {10, 0, static_cast<uint8_t>(i), static_cast<uint8_t>(i + 1)};
        std::memcpy(unit.ip, ip, 4);
        unit.id = "U" + std::to_string(i);
        unit.serial = static_cast<uint32_t>(1000 + i);
        unit.modemId = "MDM" + std::to_string(i);
        unit.esn = "E" + std::to_string(i);
        if (serialRows & (1u << i)) {
          unit.listing = vyr::fleet::Listing::BY_SERIAL;
          unit.runCoding = true;
          listText += unit.id + "/" + std::to_string(unit.serial) + "\r\n";
        } else {
          listText += "10.0." + std::to_string(i) + "." + std::to_string(i + 1) + "\r\n";
        }
        fleet.units.push_back(unit);
      }
      for (int ticks = 0; ticks <= 3; ++ticks) {
        vyr::fleet::MemoryFleetWorld world(fleet);
        world.chooseList("fuzz.IPs", listText);
        vyr::pressStart(world.context, vyr::StartMode::FRESH);
        for (int t = 0; t < ticks && vyr::surveyRunning(world.context); ++t) {
          vyr::runPeriod(world.context, world.clock, world.network);
        }
        vyr::closeSurvey(world.context);
        const std::string* progress = world.files.contents("fuzz.soFar");
        if (progress == nullptr) continue;
        const std::string* report = world.files.contents("fuzz.model");
        Bytes input{static_cast<uint8_t>(rows - 1), serialRows,
                    static_cast<uint8_t>(ticks == 2 && report ? 17 : 0)};
        input.insert(input.end(), progress->begin(), progress->end());
        out.write(input);
        if (ticks == 3) {
          input.pop_back();  // one byte short: refused
          out.write(input);
        }
      }
    }
  }
}

// Step sequences for the receiver target: ticks alone (the fleet completes the survey), and ticks
// among noise, framed replies from the units and server replies.
void receiverSeeds(SeedWriter& out) {
  out.write(Bytes(8, 0));
  out.write(Bytes(40, 0x40));  // ticks that restart with Resume once the survey ends
  Bytes steps;
  for (int t = 0; t < 6; ++t) {
    steps.push_back(0);                                                            // tick
    steps.insert(steps.end(), {1, static_cast<uint8_t>(t), 3, 0xFF, 0x00, 0xFE});  // raw
    steps.insert(steps.end(), {1, 6, 0});  // empty from the server
    steps.insert(steps.end(), {3, static_cast<uint8_t>(t), 127, 0, 0, static_cast<uint8_t>(9 + t)});
  }
  out.write(steps);
  for (const Bytes& message : exampleMessages()) {
    if (message.size() > 255) continue;
    for (uint8_t unit = 0; unit < 6; ++unit) {
      Bytes one{2, unit, static_cast<uint8_t>(message.size())};
      one.insert(one.end(), message.begin(), message.end());
      one.push_back(0);
      out.write(one);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: vyr-fuzz-seeds DIRECTORY DEMO-DIRECTORY\n");
    return 1;
  }
  const fs::path root = argv[1];
  struct {
    const char* name;
    void (*make)(SeedWriter&, const fs::path&);
  } const targets[] = {
      {"frame_codec", [](SeedWriter& out, const fs::path&) { frameCodecSeeds(out); }},
      {"list_file", listFileSeeds},
      {"progress_file", [](SeedWriter& out, const fs::path&) { progressFileSeeds(out); }},
      {"receiver", [](SeedWriter& out, const fs::path&) { receiverSeeds(out); }},
  };
  for (const auto& target : targets) {
    SeedWriter out{root / target.name};
    fs::create_directories(out.directory);
    target.make(out, argv[2]);
    std::printf("%s: %d seeds\n", target.name, out.count);
  }
  return 0;
}
