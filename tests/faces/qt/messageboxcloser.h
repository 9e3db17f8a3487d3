// Closes every message box that opens while it lives and keeps its text, so
// code that shows modal boxes can run inside a test.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

class TMessageBoxCloser {
 public:
  TMessageBoxCloser() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box != nullptr && box->isVisible()) {
          texts_ << box->text();
          box->done(QMessageBox::Ok);
        }
      }
    });
    timer_.start();
  }
  const QStringList& Texts() const { return texts_; }

 private:
  QTimer timer_;
  QStringList texts_;
};
