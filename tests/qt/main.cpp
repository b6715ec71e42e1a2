#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cstdlib>
#include <cstring>

#include "platform/qt/EpollEventDispatcher.h"

// The pieces run on the dispatcher of the server without windows; QMB_QT_DISPATCHER=qt runs
// them on Qt's own, which the windows use.
int main(int argc, char** argv) {
  const char* dispatcher = std::getenv("QMB_QT_DISPATCHER");
  if (!dispatcher || std::strcmp(dispatcher, "qt") != 0)
    QCoreApplication::setEventDispatcher(new qmb::EpollEventDispatcher);
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
