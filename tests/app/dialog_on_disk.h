#pragma once
// The dialog over a temporary folder of the real file system and a real socket, driven as the
// operator drives it.

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "app/qt/main_dialog.h"
#include "platform/paced_socket.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_udp_socket.h"

namespace vyr::testing {

class DialogOnDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vyr-dialog-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
    ASSERT_NE(socket_, nullptr);
  }

  void TearDown() override {
    dialog_.reset();
    std::filesystem::remove_all(directory_);
  }

  void openDialog(SendPacing pacing = {}) {
    files_ = openPosixFileSystem(directory_.c_str());
    ASSERT_NE(files_, nullptr);
    dialog_ = std::make_unique<MainDialog>(*files_, clock_, *socket_, socket_->fd(), pacing);
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog_.get()));
  }

  // Chooses a list with the keyboard, as the operator would; `steps` presses of Down.
  void chooseList(int steps) {
    dialog_->control(LIST_SELECTOR)->setFocus();
    for (int i = 0; i < steps; ++i) QTest::keyClick(dialog_->control(LIST_SELECTOR), Qt::Key_Down);
  }

  void click(int id) { qobject_cast<QPushButton*>(dialog_->control(id))->click(); }

  std::string read(const char* name) {
    std::ifstream in(directory_ / name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path directory_;
  std::unique_ptr<PosixUdpSocket> socket_ = PosixUdpSocket::open();
  PosixClock clock_;
  std::unique_ptr<FileSystem> files_;
  std::unique_ptr<MainDialog> dialog_;
};

}  // namespace vyr::testing
