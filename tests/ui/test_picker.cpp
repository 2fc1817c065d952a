#include "Brand.h"
#include "Picker.h"
#include "Transcript.h"
#include "WidgetImage.h"

#include <QLineEdit>
#include <QMouseEvent>
#include <QTest>

namespace {

Conversation convo(const char *name, const char *handle, qint64 count = 3,
                   std::optional<RefDate> last = 730000000.0)
{
    return {QString::fromUtf8(handle), QString::fromUtf8(name), {1}, count, last, last};
}

const QList<Conversation> people{
    convo("Anna Smith", "+15550001111"),
    convo("Bob Jones", "joann@example.com"),
    convo("\u00C9lodie Martin", "+33612345678"),
    convo("Zo\u00EB", "+15551234567"),
    convo("Hannah", "hannah@ann.example"),
};

QStringList handles(const ConversationListModel &model)
{
    QStringList result;
    for (int row = 0; row < model.rowCount(); ++row)
        result << model.conversation(row).handle;
    return result;
}

bool near(const QColor &a, const QColor &b, int tolerance = 3)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance
        && qAbs(a.blue() - b.blue()) <= tolerance;
}

void moveTo(ConversationList *list, QPoint pos)
{
    QMouseEvent move(QEvent::MouseMove, pos, list->viewport()->mapToGlobal(pos), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(list->viewport(), &move);
}

} // namespace

class TestPicker : public QObject {
    Q_OBJECT

private slots:
    void search_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("expected");
        const QStringList all{"+15550001111", "joann@example.com", "+33612345678", "+15551234567", "hannah@ann.example"};
        QTest::newRow("empty") << "" << all;
        QTest::newRow("only blanks: space, tab, no-break, ideographic") << " \t\u00A0\u3000" << all;
        QTest::newRow("ANN between blanks: names and handles, in order, once each")
            << "  ANN\t" << QStringList{"+15550001111", "joann@example.com", "hannah@ann.example"};
        QTest::newRow("line break is not trimmed") << "ann\n" << QStringList{};
        QTest::newRow("blank inside stays") << "anna  smith" << QStringList{};
        QTest::newRow("run of digits") << "5551234" << QStringList{"+15551234567"};
        QTest::newRow("leading plus as typed") << "+1555" << QStringList{"+15550001111", "+15551234567"};
        QTest::newRow("spaces between digits") << "555 123" << QStringList{};
        QTest::newRow("brackets and dashes") << "(555) 123-4567" << QStringList{};
        QTest::newRow("Unicode lower case") << "\u00C9LODIE" << QStringList{"+33612345678"};
        QTest::newRow("no match") << "zzz" << QStringList{};
        QTest::newRow("never across a name's end") << "smith\uFFFF+1" << QStringList{};
    }

    void search()
    {
        QFETCH(QString, query);
        QFETCH(QStringList, expected);
        ConversationListModel model;
        model.setConversations(people);
        model.setQuery(query);
        QCOMPARE(handles(model), expected);
    }

    void emptyState_data()
    {
        QTest::addColumn<bool>("any");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("text");  // empty: the list is shown
        const QString none = QStringLiteral("No conversations found in Messages yet.");
        QTest::newRow("none, nothing typed") << false << "" << none;
        QTest::newRow("none, something typed") << false << "ann" << none;
        QTest::newRow("some, no match") << true << "zzz"
                                        << QStringLiteral("No matches \u2014 try a different name or number.");
        QTest::newRow("some, a match") << true << "ann" << QString();
    }

    void emptyState()
    {
        QFETCH(bool, any);
        QFETCH(QString, query);
        QFETCH(QString, text);
        Picker picker;
        picker.setConversations(any ? people : QList<Conversation>{});
        picker.findChild<QLineEdit *>(QStringLiteral("search"))->setText(query);
        const auto *empty = picker.findChild<BrandText *>(QStringLiteral("emptyText"));
        QCOMPARE(picker.list()->isVisibleTo(&picker), text.isEmpty());
        QCOMPARE(empty->isVisibleTo(&picker), !text.isEmpty());
        if (!text.isEmpty())
            QCOMPARE(empty->text(), text);
    }

    void subtitle_data()
    {
        QTest::addColumn<qint64>("count");
        QTest::addColumn<bool>("dated");
        QTest::addColumn<QString>("expected");
        const RefDate march2024 = 732000000;  // 2024-03-13
        const QString month = DateFmt::monthYearFormatter().string(march2024);
        QTest::newRow("one, no date") << qint64(1) << false << "1 messages";
        QTest::newRow("one, dated") << qint64(1) << true << QStringLiteral("1 messages \u00B7 last ") + month;
        QTest::newRow("no grouping") << qint64(1234567) << true << QStringLiteral("1234567 messages \u00B7 last ") + month;
    }

    void subtitle()
    {
        QFETCH(qint64, count);
        QFETCH(bool, dated);
        QFETCH(QString, expected);
        const std::optional<RefDate> last = dated ? std::optional<RefDate>(732000000) : std::nullopt;
        QCOMPARE(ConversationRow::subtitle(convo("A", "a", count, last)), expected);
    }

    // The gradient border on exactly the card under the pointer; none over a gap or outside.
    void hover_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("dy");  // from the row's top
        QTest::addColumn<int>("expected");
        QTest::newRow("first row") << 0 << 20 << 0;
        QTest::newRow("third row") << 2 << 40 << 2;
        QTest::newRow("gap below the second") << 1 << -3 << -1;
        QTest::newRow("pointer left") << -1 << 0 << -1;
    }

    void hover()
    {
        QFETCH(int, row);
        QFETCH(int, dy);
        QFETCH(int, expected);
        Picker picker;
        picker.setConversations(people);
        picker.resize(440, 700);
        picker.show();
        ConversationList *list = picker.list();
        const auto *delegate = static_cast<ConversationRow *>(list->itemDelegate());
        const auto itemRect = [&](int r) { return list->visualRect(list->model()->index(r, 0)); };
        moveTo(list, itemRect(1).center());
        if (row < 0) {
            QEvent leave(QEvent::Leave);
            QCoreApplication::sendEvent(list->viewport(), &leave);
        } else {
            const QRect item = itemRect(row);
            moveTo(list, {item.center().x(), dy < 0 ? item.top() + delegate->rowHeight() - dy : item.top() + dy});
        }
        QCOMPARE(list->hoveredRow(), expected);

        const QImage image = renderWidget(list->viewport());
        for (int r = 0; r < list->model()->rowCount(); ++r) {
            // Just inside the card's left edge, halfway down: card colour unless bordered.
            const QColor edge = image.pixelColor(ConversationRow::sidePadding + 1,
                                                 itemRect(r).top() + delegate->rowHeight() / 2);
            QVERIFY2(near(edge, Brand::surfaceCard()) == (r != expected), qPrintable(QString::number(r)));
        }
    }

    void longNameElidedBeforeTheChevron()
    {
        Picker picker;
        picker.setConversations({convo(QString(300, QLatin1Char('W')).toUtf8().constData(), "+1555")});
        picker.resize(440, 400);
        picker.show();
        ConversationList *list = picker.list();
        const auto *delegate = static_cast<ConversationRow *>(list->itemDelegate());
        const QImage image = renderWidget(list->viewport());
        const QRect item = list->visualRect(list->model()->index(0, 0));
        const int cardRight = item.right() - ConversationRow::sidePadding;
        const int chevronLeft = cardRight + 1 - 14 - int(std::ceil(Symbols::bounds(Symbol::chevronRight, 12).width()));
        const auto inkedColumns = [&](int from, int to) {
            int count = 0;
            for (int x = from; x < to; ++x)
                for (int y = item.top() + 11; y < item.top() + delegate->rowHeight() - 11; ++y)
                    if (!near(image.pixelColor(x, y), Brand::surfaceCard(), 12)) {
                        ++count;
                        break;
                    }
            return count;
        };
        QVERIFY(inkedColumns(chevronLeft, cardRight - 13) > 0);     // the chevron is drawn
        QCOMPARE(inkedColumns(chevronLeft - 20, chevronLeft), 0);  // 12 and at least 8 clear before it
        QVERIFY(inkedColumns(item.left() + 16, chevronLeft - 20) > 200);  // the name runs up to there
    }
};

QTEST_MAIN(TestPicker)
#include "test_picker.moc"
