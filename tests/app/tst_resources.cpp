// The close-button images compiled into the program.
#include "core/globals.h"
#include "app/logging.h"

#include <QImage>
#include <QtTest>

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    // The bundle is registered by the process-wide objects (globals), as in
    // the agent; using them here links them in.
    void initTestCase() { installMessagePattern(); }
    void closeButton_data();
    void closeButton();
    void pressedLooksDifferent();
};

void TestResources::closeButton_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("normal") << ":/Resources/close_normal.png";
    QTest::newRow("pressed") << ":/Resources/close_pressed.png";
}

void TestResources::closeButton()
{
    QFETCH(QString, path);

    QImage image(path);
    QVERIFY2(!image.isNull(), qPrintable(path));
    QCOMPARE(image.size(), QSize(12, 12));
    QVERIFY(image.hasAlphaChannel());

    // A light mark on a transparent ground: transparent corners, an opaque
    // light centre (the crossing of the two strokes).
    image = image.convertToFormat(QImage::Format_ARGB32);
    for (const QPoint corner : {QPoint(0, 11), QPoint(11, 0)}) {
        QCOMPARE(qAlpha(image.pixel(corner)), 0);
    }
    const QRgb centre = image.pixel(5, 5);
    QVERIFY(qAlpha(centre) > 128);
    QVERIFY(qGray(centre) > 200);
}

void TestResources::pressedLooksDifferent()
{
    const QImage normal(QStringLiteral(":/Resources/close_normal.png"));
    const QImage pressed(QStringLiteral(":/Resources/close_pressed.png"));
    QVERIFY(normal != pressed);
}

QTEST_GUILESS_MAIN(TestResources)
#include "tst_resources.moc"
