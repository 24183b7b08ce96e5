// The floor under the importer's start-up: a bare Qt Widgets program that
// shows one empty window, measured the same way as the importer.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.resize(640, 480);
  window.show();
  return QApplication::exec();
}
