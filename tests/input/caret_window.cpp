// A small Qt window with one focused line edit, for the caret tests: placed at the top-left of
// the screen, it prints "ready" once its field has the focus.

#include <QApplication>
#include <QLineEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowFlags(Qt::FramelessWindowHint);
  auto* layout = new QVBoxLayout(&window);
  auto* field = new QLineEdit("hello caret");
  layout->addWidget(field);
  window.setGeometry(100, 100, 400, 60);
  window.show();
  window.activateWindow();
  field->setFocus();
  field->setCursorPosition(static_cast<int>(field->text().size()));
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (field->hasFocus()) {
      std::printf("ready %d %d %d %d\n", field->mapToGlobal(QPoint(0, 0)).x(),
                  field->mapToGlobal(QPoint(0, 0)).y(), field->width(), field->height());
      std::fflush(stdout);
      poll.stop();
    }
  });
  poll.start(50);
  return app.exec();
}
