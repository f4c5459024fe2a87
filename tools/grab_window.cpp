// vyr-grab-window: saves a picture of one X window as PNG, for the README's screenshot and for
// looking at what a test under Xvfb saw. Usage: vyr-grab-window WINDOW-ID OUT.png

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  QGuiApplication application(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: vyr-grab-window WINDOW-ID OUT.png\n");
    return 2;
  }
  const WId window = std::strtoull(argv[1], nullptr, 0);
  const QPixmap picture = QGuiApplication::primaryScreen()->grabWindow(window);
  if (picture.isNull() || !picture.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
    std::fprintf(stderr, "vyr-grab-window: cannot grab window %s into %s\n", argv[1], argv[2]);
    return 1;
  }
  return 0;
}
