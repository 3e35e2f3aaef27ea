// The main of the view tests: widgets need a QApplication (offscreen under ctest).
#include <QApplication>

#include <gmock/gmock.h>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
