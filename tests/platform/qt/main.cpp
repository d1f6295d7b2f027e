// The Qt platform tests need a QCoreApplication for the whole run: the loop,
// timers, socket notifiers and host lookups all live on it.

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
