#include "App/Views/Onboarding/PairDeviceView.h"
#include "App/Design/Colors.h"
#include "App/Views/PlainButton.h"
#include "PanelFixture.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

namespace {

using Answer = ScriptedHttpServer::Answer;

enum class Edit { type, paste, backspace };

/** Types the text as keystrokes; QTest knows keys for ASCII only, others go as key text. */
void typeText(QWidget* widget, const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x80)
            QTest::keyClicks(widget, QString(c));
        else
            QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

/** The pairing form of an unpaired computer, shown in an active window. */
class PairDeviceViewTest : public PanelFixture {
protected:
    void SetUp() override
    {
        PanelFixture::SetUp();
        startAuth();
        view = std::make_unique<PairDeviceView>(*auth);
        view->show();
        view->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    }

    void TearDown() override { view.reset(); }

    QLineEdit* box(int i) const
    {
        return child<QLineEdit>(*view, QStringLiteral("digitField%1").arg(i));
    }
    PlainButton* button() const { return child<PlainButton>(*view, "pairButton"); }

    int focusedBox() const
    {
        for (int i = 0; i < PairDeviceView::codeLength; ++i)
            if (view->focusWidget() == box(i))
                return i;
        return -1;
    }

    /** One edit of box i, as a person makes it with the keyboard (the cursor at the end). */
    void edit(int i, Edit kind, const QString& text = QString())
    {
        QTest::mouseClick(box(i), Qt::LeftButton);
        QTest::keyClick(box(i), Qt::Key_End);
        switch (kind) {
        case Edit::type:
            typeText(box(i), text);
            break;
        case Edit::paste:
            QGuiApplication::clipboard()->setText(text);
            QTest::keyClick(box(i), Qt::Key_V, Qt::ControlModifier);
            break;
        case Edit::backspace:
            QTest::keyClick(box(i), Qt::Key_Backspace);
            break;
        }
    }

    void fill(const QStringList& digits)
    {
        for (int i = 0; i < digits.size(); ++i)
            if (!digits[i].isEmpty())
                edit(i, Edit::type, digits[i]);
    }

    QStringList shown() const
    {
        QStringList texts;
        for (int i = 0; i < PairDeviceView::codeLength; ++i)
            texts << box(i)->text();
        return texts;
    }

    QColor buttonFill() const
    {
        const QImage image = button()->grab().toImage();
        return image.pixelColor(image.width() / 2, 2);
    }

    std::unique_ptr<PairDeviceView> view;
};

QStringList six(std::initializer_list<const char*> digits)
{
    QStringList list;
    for (const char* d : digits)
        list << QString::fromUtf8(d);
    while (list.size() < PairDeviceView::codeLength)
        list << QString();
    return list;
}

} // namespace

TEST_F(PairDeviceViewTest, StartsEmptyWithTheFirstBoxFocused)
{
    EXPECT_EQ(view->digits(), six({}));
    EXPECT_EQ(focusedBox(), 0);
    EXPECT_FALSE(view->isSubmitting());
    EXPECT_FALSE(child(*view, "pairingError")->isVisible());
    EXPECT_EQ(button()->text(), "Pair device");
}

TEST_F(PairDeviceViewTest, EditsFollowTheDigitRules)
{
    const struct {
        const char* name;
        QStringList before;
        int box;
        Edit edit;
        const char* text;
        QStringList after;
        int focus;
    } cases[] = {
        {"digit into an empty box", six({}), 2, Edit::type, "4", six({"", "", "4"}), 3},
        {"second digit into a filled box", six({"", "", "3"}), 2, Edit::type, "7",
         six({"", "", "7"}), 3},
        {"deleting in box 3", six({"", "", "", "5"}), 3, Edit::backspace, "", six({}), 2},
        {"deleting in box 0", six({"5"}), 0, Edit::backspace, "", six({}), 0},
        {"letter into an empty box", six({}), 3, Edit::type, "a", six({}), 2},
        {"letter after the digit of a filled box", six({"", "", "", "5"}), 3, Edit::type, "a",
         six({"", "", "", "5"}), 4},
        {"digit into box 5", six({}), 5, Edit::type, "8", six({"", "", "", "", "", "8"}), 5},
        {"Arabic-Indic digit", six({}), 0, Edit::type, "٣", six({"٣"}), 1},
        {"pasting 4 digits into empty box 0", six({"", "", "", "9"}), 0, Edit::paste, "12-34",
         six({"4", "", "", "9"}), 1},
        {"pasting 5 digits after a digit", six({"", "", "9"}), 2, Edit::paste, "1 2-3 45",
         six({"9", "1", "2", "3", "4", "5"}), 5},
        {"pasting 6 digits into box 3", six({}), 3, Edit::paste, "123-456",
         six({"1", "2", "3", "4", "5", "6"}), 5},
        {"pasting 8 digits", six({"7"}), 1, Edit::paste, " 12 34 56 78 ",
         six({"1", "2", "3", "4", "5", "6"}), 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        view = std::make_unique<PairDeviceView>(*auth);
        view->show();
        view->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
        fill(c.before);
        ASSERT_EQ(view->digits(), c.before);

        edit(c.box, c.edit, QString::fromUtf8(c.text));
        EXPECT_EQ(view->digits(), c.after);
        EXPECT_EQ(shown(), c.after);
        EXPECT_EQ(focusedBox(), c.focus);
    }
}

TEST_F(PairDeviceViewTest, OnlySixDecimalDigitsMakeTheButtonActive)
{
    const struct {
        const char* name;
        QStringList digits;
        bool pairable;
    } cases[] = {
        {"empty", six({}), false},
        {"five digits", six({"1", "2", "3", "4", "5"}), false},
        {"six digits", six({"1", "2", "3", "4", "5", "6"}), true},
        {"an Arabic-Indic digit", six({"1", "2", "٣", "4", "5", "6"}), false},
        {"a superscript two", six({"1", "2", "3", "4", "5", "²"}), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        view = std::make_unique<PairDeviceView>(*auth);
        view->show();
        fill(c.digits);
        ASSERT_EQ(view->digits(), c.digits);
        EXPECT_EQ(button()->isEnabled(), c.pairable);
        EXPECT_EQ(buttonFill(), c.pairable ? orvanePrimary : orvaneSurfaceContainerHigh);
        EXPECT_EQ(button()->textColor(), orvaneOnPrimary);
    }
}

TEST_F(PairDeviceViewTest, SubmitsOnceAndShowsPairingUntilTheStoreAnswers)
{
    server.enqueue(Answer::neverAnswer());
    fill(six({"1", "2", "3", "4", "5", "6"}));
    QTest::keyClick(box(5), Qt::Key_Return); // Return does not submit
    EXPECT_FALSE(view->isSubmitting());

    QTest::mouseClick(button(), Qt::LeftButton);
    EXPECT_TRUE(view->isSubmitting());
    EXPECT_EQ(button()->text(), "Pairing…");
    EXPECT_FALSE(button()->isEnabled());
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_EQ(server.requests().at(0).path(), "/api/v1/device/enroll");
    EXPECT_TRUE(server.requests().at(0).body.contains(R"("pairingCode":"123456")"));

    // Edits go on meanwhile, but neither a click nor the new digits start a second pairing.
    edit(0, Edit::type, "9");
    EXPECT_EQ(view->digits(), six({"9", "2", "3", "4", "5", "6"}));
    QTest::mouseClick(button(), Qt::LeftButton);
    EXPECT_FALSE(server.waitForRequests(2, 300));
    EXPECT_EQ(button()->text(), "Pairing…");

    // The service never answers; the connection drops and the pairing fails (a resend of the
    // request by the transport fails too).
    server.setFallback([](const ScriptedHttpServer::Request&) {
        return Answer::json(404, R"({"message":"not found"})");
    });
    server.closeAllConnections();
    ASSERT_TRUE(processEventsUntil([this] { return !view->isSubmitting(); }));
    EXPECT_EQ(button()->text(), "Pair device");
    EXPECT_TRUE(button()->isEnabled());
    EXPECT_EQ(view->digits(), six({"9", "2", "3", "4", "5", "6"})); // kept for another try

    // Only a later press sends the new digits.
    const auto sent = [this](const QByteArray& code) {
        for (const auto& request : server.requests())
            if (request.body.contains(R"("pairingCode":")" + code + '"'))
                return true;
        return false;
    };
    EXPECT_FALSE(sent("923456"));
    QTest::mouseClick(button(), Qt::LeftButton);
    EXPECT_TRUE(processEventsUntil([&] { return sent("923456"); }));
}

TEST_F(PairDeviceViewTest, ShowsTheStoresErrorInDanger)
{
    server.enqueue(Answer::json(400, R"({"title":"Bad Request","status":400,)"
                                     R"("detail":"That code has expired."})"));
    fill(six({"1", "2", "3", "4", "5", "6"}));
    QTest::mouseClick(button(), Qt::LeftButton);
    ASSERT_TRUE(processEventsUntil([this] { return !view->isSubmitting(); }));

    ASSERT_TRUE(auth->lastError().get().has_value());
    auto* error = child<QLabel>(*view, "pairingError");
    EXPECT_TRUE(error->isVisible());
    EXPECT_EQ(error->text(), auth->lastError().get()->userFacingMessage());
    EXPECT_FALSE(error->text().isEmpty());
    EXPECT_EQ(error->palette().color(QPalette::WindowText), orvaneDanger);
}
