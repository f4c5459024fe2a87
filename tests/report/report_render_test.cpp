// Catches a page that a browser renders blank, or in which a unit's texts become elements instead
// of text.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#ifdef VYR_HAVE_PNG
#include <png.h>
#endif

#include "report_texts.h"

namespace {

namespace fs = std::filesystem;
using vyr::report_test::reportText;

const char* const CHROMIUM = "/usr/bin/chromium";

std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

int run(const std::string& command) {
  // The test runs fixed programs with arguments it made itself, through the shell for its
  // redirections.
  const int status = std::system(command.c_str());  // NOLINT(cert-env33-c)
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

uint32_t bigEndian(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

class ReportRender : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("vyr-report-render-test-" + std::to_string(std::random_device{}()));
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "profile");
  }
  void TearDown() override { fs::remove_all(folder_); }

  // Chromium headless with a profile of its own; its messages go to a log.
  int chromium(const std::string& arguments, const std::string& output) {
    return run(std::string("timeout 120 ") + CHROMIUM +
               " --headless --no-sandbox --disable-gpu --no-first-run --user-data-dir=" +
               (folder_ / "profile").string() + " " + arguments + " > " + output + " 2>> " +
               (folder_ / "chromium.log").string());
  }

  fs::path folder_;
};

TEST_F(ReportRender, ChromiumShowsThePageWithTheUnitsTextsAsText) {
  if (!fs::exists(CHROMIUM) || run(std::string(CHROMIUM) + " --version > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << CHROMIUM << " is missing or cannot run here";
  }
  // Units whose texts are markup, entities, quotes and control bytes.
  std::ofstream(folder_ / "r.model", std::ios::binary) << reportText({
      "H",
      "10.0.0.1\t1\tA\t1.05\tPUMP\t3.12\tMX200\tE1",
      "10.0.0.2\t2\tB\t1.05\tPUMP\t3.12\tMX200\tE2",
      "10.0.0.3\t3\tC\t1.00\t<svg>\t2.50",
      "10.0.0.4\t0\t\t0.00\t\t0.00",
      "H",
      "10.0.0.1\t1\tA\t1.10\tPUMP\t3.20\t<img src=x onerror=alert(1)>\t\"><script>",
      "10.0.0.2\t2\tB\t1.05\tPUMP\t3.12\tMX200\tE2",
      "10.0.0.3\t3\tC\t1.00\t<svg>\t2.50",
      "0.0.0.0\t9\t<i>&\"'\x01\t0.00\t\t0.00",
  });
  const std::string page = (folder_ / "page.html").string();
  ASSERT_EQ(run(std::string(VYR_REPORT_PROGRAM) + " html " + (folder_ / "r.model").string() +
                " -o " + page + " > /dev/null"),
            0);

  const fs::path screenshot = folder_ / "page.png";
  EXPECT_EQ(
      chromium("--screenshot=" + screenshot.string() + " --window-size=1200,1600 file://" + page,
               "/dev/null"),
      0)
      << readFile(folder_ / "chromium.log");
  const std::string png = readFile(screenshot);
  ASSERT_GT(png.size(), 33u) << readFile(folder_ / "chromium.log");
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_EQ(bigEndian(png, 16), 1200u);
  EXPECT_EQ(bigEndian(png, 20), 1600u);
#ifdef VYR_HAVE_PNG
  // Not blank: a good share of the pixels differ from the page's background, in many colours.
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_memory(&image, png.data(), png.size()));
  image.format = PNG_FORMAT_RGB;
  std::string pixels(PNG_IMAGE_SIZE(image), '\0');
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
  size_t differing = 0;
  std::string colours;
  for (size_t at = 0; at + 3 <= pixels.size(); at += 3) {
    if (pixels.compare(at, 3, pixels, 0, 3) != 0) ++differing;
    if (colours.size() < size_t{3} * 64 &&
        colours.find(pixels.substr(at, 3)) == std::string::npos) {
      colours += pixels.substr(at, 3);
    }
  }
  EXPECT_GT(differing, pixels.size() / 3 / 20);
  EXPECT_GE(colours.size() / 3, 16u);
#endif

  const fs::path dom = folder_ / "dom.html";
  EXPECT_EQ(chromium("--dump-dom file://" + page, dom.string()), 0);
  const std::string tree = readFile(dom);
  ASSERT_NE(tree.find("What the fleet runs"), std::string::npos) << tree.substr(0, 400);
  // The texts are there as text, escaped again when the DOM is written out ...
  for (const char* shown : {"&lt;img src=x onerror=alert(1)&gt;", "\"&gt;&lt;script&gt;",
                            "&lt;svg&gt;", "&lt;i&gt;&amp;\"'?"}) {
    EXPECT_NE(tree.find(shown), std::string::npos) << shown;
  }
  // ... and no element came of them.
  for (const char* element : {"<img", "<script", "<i>", "<svg>"}) {
    EXPECT_EQ(tree.find(element), std::string::npos) << element;
  }
}

}  // namespace
