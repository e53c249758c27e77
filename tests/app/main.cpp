#include <QCoreApplication>

#include <gtest/gtest.h>

// The model needs an event loop on the main thread; nothing here shows a window.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
