#include "ocr.h"

#include <QFont>
#include <QPainter>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

namespace
{

struct Look {
    QColor ground;
    QColor words;
    QColor bar; // the title bar, light words on it
};

void drawWords(QPainter &painter, const QString &words, int pixelSize, bool bold, QPoint at,
               QColor colour)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    painter.setFont(font);
    painter.setPen(colour);
    painter.drawText(at, words);
}

// A slide as presentation programs make them, drawn at 1920x1080 and shown
// at size: a strip of small navigation words across the top, a title in a
// bar, round bullets before each line of the body, and a column of small
// words down the right side.
QImage slide(QSize size, const Look &look, const QStringList &navigation, const QString &title,
             const QStringList &body, const QStringList &side)
{
    QImage page(1920, 1080, QImage::Format_RGB32);
    page.fill(look.ground);
    QPainter painter(&page);
    painter.setRenderHint(QPainter::Antialiasing);
    for (qsizetype i = 0; i < navigation.size(); ++i)
        drawWords(painter, navigation.at(i), 22, false, QPoint(40 + 420 * int(i), 30), look.words);
    painter.fillRect(QRect(0, 60, 1920, 110), look.bar);
    drawWords(painter, title, 52, true, QPoint(40, 135), look.ground);
    for (qsizetype i = 0; i < body.size(); ++i) {
        const int baseline = 300 + 90 * int(i);
        painter.setPen(Qt::NoPen);
        painter.setBrush(look.bar);
        painter.drawEllipse(QPoint(90, baseline - 16), 13, 13);
        drawWords(painter, body.at(i), 44, false, QPoint(130, baseline), look.words);
    }
    for (qsizetype i = 0; i < side.size(); ++i)
        drawWords(painter, side.at(i), 22, false, QPoint(1600, 300 + 40 * int(i)), look.words);
    painter.end();
    return page.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

QStringList wordsOf(const QStringList &lines)
{
    return lines.join(QLatin1Char(' ')).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QString readOne(const QImage &picture, const QString &languages)
{
    const std::shared_ptr<SlideReader> reader = startSlideReader(languages, {});
    if (!readLater(*reader, 1, picture))
        return QStringLiteral("(not handed over)");
    std::map<int, QString> texts;
    QString failure;
    if (!finishReading(reader, &texts, &failure))
        return failure;
    return texts[1];
}

} // namespace

class Ocr : public QObject
{
    Q_OBJECT
  private slots:
    void readsWordsAndNotBullets_data();
    void readsWordsAndNotBullets();
};

void Ocr::readsWordsAndNotBullets_data()
{
    QTest::addColumn<QImage>("picture");
    QTest::addColumn<QStringList>("words");

    const QStringList navigation{QStringLiteral("Introduction"), QStringLiteral("Results"),
                                 QStringLiteral("Summary")};
    const QString title = QStringLiteral("Reading slides aloud");
    const QStringList body{QStringLiteral("Pictures become searchable notes"),
                           QStringLiteral("Letters stand on bright ground"),
                           QStringLiteral("Bullets are not words")};
    const QStringList side{QStringLiteral("Margin"), QStringLiteral("remarks"),
                           QStringLiteral("matter")};
    const QStringList all = wordsOf(navigation + QStringList{title} + body + side);
    const Look paper{QColor(250, 250, 250), QColor(30, 30, 30), QColor(40, 40, 150)};
    const Look night{QColor(20, 25, 40), QColor(230, 230, 230), QColor(200, 200, 120)};

    QTest::newRow("full HD slide")
        << slide(QSize(1920, 1080), paper, navigation, title, body, side) << all;
    // The small words are 15 pixels high with their ascenders here.
    QTest::newRow("the same at 1280x720")
        << slide(QSize(1280, 720), paper, navigation, title, body, side) << all;
    QTest::newRow("light words on a dark slide")
        << slide(QSize(1280, 720), night, navigation, title, body, side) << all;

    // Big bold words on a small picture, as short title slides have them:
    // their strokes are wider than small words are high, and must not come
    // out hollow.
    QImage big(640, 360, QImage::Format_RGB32);
    big.fill(Qt::white);
    {
        QPainter painter(&big);
        painter.setRenderHint(QPainter::Antialiasing);
        drawWords(painter, QStringLiteral("CHERRY MELON"), 56, true, QPoint(90, 200), Qt::black);
    }
    QTest::newRow("big bold words on a small picture")
        << big << QStringList{QStringLiteral("CHERRY"), QStringLiteral("MELON")};
}

void Ocr::readsWordsAndNotBullets()
{
    QFETCH(QImage, picture);
    QFETCH(QStringList, words);
    const QString text = readOne(picture, QStringLiteral("eng"));
    const QStringList read = wordsOf(text.split(QLatin1Char('\n')));
    const QSet<QString> found(read.cbegin(), read.cend());
    for (const QString &word : words)
        QVERIFY2(found.contains(word), qPrintable(word + QStringLiteral(" not in: ") + text));
    // A bullet or a rule read as a letter or a sign is no word of the slide.
    for (const QString &token : read) {
        QVERIFY2(token.size() > 1, qPrintable(token + QStringLiteral(" in: ") + text));
        QVERIFY2(token.contains(QRegularExpression(QStringLiteral("\\w"))),
                 qPrintable(token + QStringLiteral(" in: ") + text));
    }
    QVERIFY2(!text.contains(QLatin1String("\n\n")), qPrintable(text));
}

QTEST_MAIN(Ocr)
#include "tst_ocr.moc"
