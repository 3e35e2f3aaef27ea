// The main of the view tests: widgets need a QApplication (offscreen under ctest). Texts that
// depend on the locale and the time zone are checked in en_US and in Berlin time.
#include <QApplication>

#include <gmock/gmock.h>

#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <cstdlib>
#include <ctime>

int main(int argc, char** argv)
{
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
    icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("Europe/Berlin"));

    QApplication app(argc, argv);
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
